// kiv-template: a plugin to start from. It keeps notes in memory:
//
//   PUT /kiv-template/v1/notes/{id}?authorId=N  body: {"title": ..., "text": ...}
//   GET /kiv-template/v1/notes/{id}
//
// Saving a note asks another plugin, the summoner directory, for the
// author's name, publishes the note as a resource event and logs a line.
#include <cstdint>
#include <string_view>
#include <utility>

#include "framework/plugin.h"
#include "logging/format.h"
#include "logging/log.h"
#include "platform/platform.h"
#include "value/convert.h"

namespace kiv_template {

using kiv::HttpMethod;
using kiv::String;
using kiv::binding::CallResult;

// Log lines of the general group, which the host shows.
constexpr uint32_t kGeneral = static_cast<uint32_t>(kiv::log::kGen);

// A note as the endpoints take it (from a body) and give it back.
struct Note {
  String title;
  String text;
  uint64_t authorId = 0;
  String authorName;
};

// The part of the summoner directory's answer this plugin reads.
struct Summoner {
  uint64_t summonerId = 0;
  String displayName;
};

class TemplatePlugin : public kiv::framework::Plugin {
 public:
  TemplatePlugin() : Plugin("kiv-template") {}

  void RegisterApi() override {
    kiv::binding::BindingApi& api = Api();
    const kiv::Vector<String>& tags = EndpointTags();

    auto note = api.Types().BeginStruct<Note>(kiv::Format("%1Note", TypePrefix()));
    note.Field("title", &Note::title, "What the note is about.", {.flags = kiv::binding::kFieldRequired})
        .Field("text", &Note::text)
        .Field("authorId", &Note::authorId)
        .Field("authorName", &Note::authorName, "Filled in from the summoner directory.");
    auto summoner = api.Types().BeginStruct<Summoner>(kiv::Format("%1Summoner", TypePrefix()));
    summoner.Field("summonerId", &Summoner::summonerId).Field("displayName", &Summoner::displayName);
    for (const String& tag : tags) {
      note.Tag(tag);
      summoner.Tag(tag);
    }

    api.Endpoint(HttpMethod::kPut, "/kiv-template/v1/notes/{id}", this, &TemplatePlugin::PutNote)
        .PathArg("id")
        .Arg("authorId", "The summoner id of the author.")
        .BodyArg("note")
        .Description("Saves a note and publishes it.")
        .Tags(tags);
    api.Endpoint(HttpMethod::kGet, "/kiv-template/v1/notes/{id}", this, &TemplatePlugin::GetNote)
        .PathArg("id")
        .Description("A saved note.")
        .Tags(tags);

    DeclareResourceEvent("/kiv-template/v1/notes/*");
  }

  bool OnInitialize() override {
    kiv::log::Log(kiv::log::kOkay, kGeneral, 0, "kiv-template is ready");
    return true;
  }

  Note PutNote(CallResult& result, uint32_t id, uint64_t authorId, Note note) {
    // A request to another plugin, its answer converted to a bound structure.
    auto author = RequestAs<Summoner>(HttpMethod::kGet, kiv::Format("/kiv-summoner/v1/summoners/%1", authorId));
    if (!author.ok()) {
      kiv::log::Log(kiv::log::kError, kGeneral, 0, "Note %u not saved: no summoner %llu - %s", id,
                    static_cast<unsigned long long>(authorId), author.error().message.c_str());
      result.Fail(author.error().message);
      result.SetStatus(author.error().code != 0 ? author.error().code : 502);
      return {};
    }
    note.authorId = authorId;
    note.authorName = author.value().displayName;
    {
      // Requests run on several host threads at once.
      kiv::platform::LockGuard<kiv::platform::Mutex> lock(notesMutex_);
      notes_[id] = note;
    }

    const String uri = kiv::Format("/kiv-template/v1/notes/%1", id);
    kiv::binding::ValueResult data;
    kiv::binding::ToValue(data, note, Api().Types());
    auto published = PublishResourceEvent(
        kiv::framework::kJsonApiEventName,
        kiv::framework::PluginResourceEvent{uri, kiv::framework::PluginResourceEventType::Create, std::move(data)});
    if (!published.ok()) {
      kiv::log::Log(kiv::log::kWarn, kGeneral, 0, "Note %u saved, not published - %s", id,
                    published.error().message.c_str());
    }
    kiv::log::Log(kiv::log::kOkay, kGeneral, 0, "Note %u saved by %s", id, note.authorName.c_str());
    return note;
  }

  Note GetNote(CallResult& result, uint32_t id) {
    kiv::platform::LockGuard<kiv::platform::Mutex> lock(notesMutex_);
    auto found = notes_.find(id);
    if (found == notes_.end()) {
      result.Fail(kiv::Format("No note %1", id));
      result.SetStatus(404);
      return {};
    }
    return found->second;
  }

 private:
  kiv::platform::Mutex notesMutex_;
  kiv::Map<uint32_t, Note> notes_;
};

}  // namespace kiv_template

// The library's one export: the host looks for load_ and the file's name.
KIV_DEFINE_PLUGIN_EXPORT(load_kiv_template, kiv_template::TemplatePlugin, "kiv-template")
