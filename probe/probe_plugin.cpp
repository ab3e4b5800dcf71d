// A second plugin built from the same framework: one endpoint per way an
// argument can reach a bound function, results of every shape, publishing
// and calls to other plugins. The host-side tests drive it through the
// library boundary to check the binding machinery end to end.
#include <cstdint>
#include <string_view>
#include <utility>

#include "api/binding_api.h"
#include "value/value.h"
#include "framework/plugin.h"
#include "logging/format.h"
#include "logging/memory.h"

namespace kiv::probe {

using binding::ArgumentLocation;
using binding::CallResult;
using binding::Value;

enum class ProbeState : int32_t { Idle = 0, Busy = 1, Done = 7 };

struct ProbeItem {
  int32_t id = 0;
  bool verbose = false;
  String tag;
  ProbeState state = ProbeState::Idle;
  Vector<String> labels;
  Value extra;
};

class ProbePlugin : public framework::Plugin {
 public:
  ProbePlugin() : Plugin("kiv-binding-probe") {}

  void RegisterApi() override {
    binding::BindingApi& api = Api();
    const Vector<String>& tags = EndpointTags();
    auto state = api.Types().BeginEnum<ProbeState>(Format("%1State", TypePrefix()));
    state.Enumerator("Idle", ProbeState::Idle)
        .Enumerator("Busy", ProbeState::Busy)
        .Enumerator("Done", ProbeState::Done);
    auto item = api.Types().BeginStruct<ProbeItem>(Format("%1Item", TypePrefix()));
    item.Field("id", &ProbeItem::id)
        .Field("verbose", &ProbeItem::verbose)
        .Field("tag", &ProbeItem::tag, {}, {.flags = binding::kFieldOmitEmpty})
        .Field("state", &ProbeItem::state)
        .Field("labels", &ProbeItem::labels)
        .Field("extra", &ProbeItem::extra, {}, {.flags = binding::kFieldOmitEmpty});
    for (const String& tag : tags) {
      state.Tag(tag);
      item.Tag(tag);
    }

    api.Endpoint(HttpMethod::kPost, "/kiv-binding-probe/v1/echo", [](Value value) { return value; })
        .BodyArg("value")
        .Tags(tags);
    api.Endpoint(HttpMethod::kGet, "/kiv-binding-probe/v1/echo", [](Value value) { return value; })
        .Arg("value")
        .Tags(tags);
    // The same arguments twice: once all required, once all but the id
    // optional (left out, such an argument keeps its native default).
    auto makeItem = [](int32_t id, bool verbose, String tag, Vector<String> labels) {
      ProbeItem result;
      result.id = id;
      result.verbose = verbose;
      result.tag = std::move(tag);
      result.state = ProbeState::Busy;
      result.labels = std::move(labels);
      return result;
    };
    api.Endpoint(HttpMethod::kGet, "/kiv-binding-probe/v1/items/{id}", makeItem)
        .PathArg("id")
        .Arg("verbose")
        .HeaderArg("tag")
        .AnyArg("labels")
        .Tags(tags);
    api.Endpoint(HttpMethod::kGet, "/kiv-binding-probe/v1/drafts/{id}", makeItem)
        .PathArg("id")
        .Arg("verbose")
        .Optional()
        .HeaderArg("tag")
        .Optional()
        .AnyArg("labels")
        .Optional()
        .Tags(tags);
    api.Endpoint(HttpMethod::kPut, "/kiv-binding-probe/v1/items/{id}",
                 [](int32_t id, ProbeItem body) {
                   body.id = id;
                   return body;
                 })
        .PathArg("id")
        .BodyArg("item")
        .Tags(tags);
    api.Endpoint(HttpMethod::kGet, "/kiv-binding-probe/v1/state", [](ProbeState value) { return value; })
        .Arg("state")
        .Tags(tags);
    api.Endpoint(HttpMethod::kGet, "/kiv-binding-probe/v1/files/{+rest}", [](String rest) { return rest; })
        .PathArg("rest")
        .Tags(tags);
    api.Endpoint(HttpMethod::kPost, "/kiv-binding-probe/v1/publish",
                 [this](CallResult& result, String uri, String text) {
                   auto published = PublishTextResource(uri, text);
                   if (!published.ok()) Fail(result, published.error());
                 })
        .Arg("uri")
        .Arg("text")
        .Tags(tags);
    api.Endpoint(HttpMethod::kGet, "/kiv-binding-probe/v1/remote",
                 [this](CallResult& result, String url) -> Value {
                   auto answer = RequestAs<Value>(HttpMethod::kGet, url);
                   if (!answer.ok()) {
                     Fail(result, answer.error());
                     return Value();
                   }
                   return std::move(answer.value());
                 })
        .Arg("url")
        .Tags(tags);
  }

 private:
  static void Fail(CallResult& result, const framework::CallError& error) {
    result.Fail(error.message);
    if (error.code != 0) result.SetStatus(error.code);
  }
};

}  // namespace kiv::probe

KIV_DEFINE_PLUGIN_EXPORT(load_kiv_binding_probe, kiv::probe::ProbePlugin, "kiv-binding-probe")
