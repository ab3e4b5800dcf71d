#include "plugin/game_client_chat_plugin.h"

#include <utility>

#include "logging/diagnostics.h"
#include "logging/format.h"
#include "logging/log.h"
#include "plugin/chat_helpers.h"
#include "value/convert.h"

namespace Tarn::Client::GameClientChat {

using kiv::HttpMethod;
using kiv::String;
using kiv::Vector;
using kiv::framework::PluginResourceEventType;

namespace {

constexpr std::string_view kInstantMessagesPath = "/kiv-game-client-chat/v1/instant-messages";
constexpr std::string_view kPartyMessagesPath = "/kiv-game-client-chat/v1/party-messages";
constexpr std::string_view kAasMessagesPath = "/kiv-game-client-chat/v1/aas-messages";
constexpr std::string_view kIgnoredSummonersPath = "/kiv-game-client-chat/v1/ignored-summoners";
constexpr std::string_view kBuddiesPath = "/kiv-game-client-chat/v1/buddies";
constexpr std::string_view kIgnoredSummonerBase = "/kiv-game-client-chat/v1/ignored-summoners/";
constexpr std::string_view kBuddyBase = "/kiv-game-client-chat/v1/buddies/";

constexpr std::string_view kSummonersPath = "/kiv-summoner/v1/summoners";
constexpr std::string_view kSummonerBase = "/kiv-summoner/v1/summoners/";
constexpr std::string_view kConversationsPath = "/kiv-chat/v1/conversations";
constexpr std::string_view kConversationBase = "/kiv-chat/v1/conversations/";
constexpr std::string_view kBlockedPlayersPath = "/kiv-chat/v1/blocked-players";
constexpr std::string_view kBlockedPlayerBase = "/kiv-chat/v1/blocked-players/";
constexpr std::string_view kFriendsPath = "/kiv-chat/v1/friends";

constexpr std::string_view kSessionPath = "/kiv-login/v1/session";
constexpr std::string_view kChatMessagesPattern = "/kiv-chat/v1/conversations/*/messages/*";
constexpr std::string_view kBlockedPlayersPattern = "/kiv-chat/v1/blocked-players/*";
constexpr std::string_view kFriendsPattern = "/kiv-chat/v1/friends/*";
constexpr std::string_view kPlaytimeReminderPath = "/kiv-kr-playtime-reminder/v1/message";

// Progress lines go to the "DBG" and "XTR" groups, which are muted by default.
constexpr uint32_t kProgressGroups = 5;
constexpr uint32_t kErrorGroups = 1;

String Join(std::string_view a, std::string_view b, std::string_view c = {}) {
  String text;
  text.reserve(a.size() + b.size() + c.size());
  text.append(a).append(b).append(c);
  return text;
}

// A relayed event the host could not be given (its data would not convert or
// nests too deep for the host's records) is dropped: say so.
void LogIfDropped(const kiv::framework::Result<void>& published, std::string_view uri) {
  if (published.ok()) return;
  kiv::log::Log(kiv::log::kError, kErrorGroups, 0, "Couldn't relay an event for \"%s\" - %s",
                kiv::ToString(uri).c_str(), published.error().message.c_str());
}

}  // namespace

GameClientChatPlugin::GameClientChatPlugin() : Plugin("kiv-game-client-chat") {}

GameClientChatPlugin::~GameClientChatPlugin() { kiv::mem::Delete(startTimestamp.exchange(nullptr)); }

std::string_view GameClientChatPlugin::StartTimestamp() const {
  const String* stamp = startTimestamp.load(std::memory_order_acquire);
  return stamp != nullptr ? std::string_view(*stamp) : std::string_view();
}

void GameClientChatPlugin::RegisterApi() {
  auto& api = Api();
  const auto tags = EndpointTags();
  auto message = api.Types().BeginStruct<Api::Message>(kiv::Format("%1GameClientChatMessageResource", TypePrefix()));
  message.Field("fromSummonerName", &Api::Message::fromSummonerName).Field("body", &Api::Message::body);
  for (const String& tag : tags) message.Tag(tag);

  using Self = GameClientChatPlugin;
  api.Endpoint(HttpMethod::kPost, kInstantMessagesPath, this, &Self::SendInstantMessage)
      .Arg("summonerName")
      .Arg("message")
      .Tags(tags);
  api.Endpoint(HttpMethod::kPost, kPartyMessagesPath, this, &Self::SendPartyMessage).Arg("message").Tags(tags);
  api.Endpoint(HttpMethod::kGet, kIgnoredSummonersPath, this, &Self::GetIgnoredSummoners).Tags(tags);
  api.Endpoint(HttpMethod::kPost, kIgnoredSummonersPath, this, &Self::IgnoreSummoner).Arg("summonerName").Tags(tags);
  api.Endpoint(HttpMethod::kDelete, kIgnoredSummonersPath, this, &Self::UnignoreSummoner)
      .Arg("summonerName")
      .Tags(tags);
  api.Endpoint(HttpMethod::kGet, kBuddiesPath, this, &Self::GetBuddies).Tags(tags);

  for (std::string_view path : {kInstantMessagesPath, kPartyMessagesPath, kAasMessagesPath,
                                std::string_view("/kiv-game-client-chat/v1/ignored-summoners/*"),
                                std::string_view("/kiv-game-client-chat/v1/buddies/*")}) {
    DeclareResourceEvent(path);
  }
}

bool GameClientChatPlugin::OnInitialize() {
  // The session comes first so that the own id is known before messages flow.
  ObserveResource(kSessionPath, [this](const ResourceEvent& event) { OnLoginSession(event); });
  ObserveResource(kChatMessagesPattern, [this](const ResourceEvent& event) { OnChatMessage(event); });
  ObserveResource(kBlockedPlayersPattern, [this](const ResourceEvent& event) { OnBlockedPlayer(event); });
  ObserveResource(kFriendsPattern, [this](const ResourceEvent& event) { OnFriend(event); });
  ObserveResource(kPlaytimeReminderPath, [this](const ResourceEvent& event) { OnPlaytimeReminder(event); });

  String stamp;
  if (!FormatStartTimestamp(UtcMillisecondsNow(), &stamp)) {
    kiv::diag::Report(kiv::diag::kStartTimeConversionFailed, "", 0, "", "%s", "");
    stamp.clear();
  }
  // Readers may hold the previous text; only the first stamp is kept.
  const String* expected = nullptr;
  String* stored = kiv::mem::New<String>(std::move(stamp));
  if (!startTimestamp.compare_exchange_strong(expected, stored, std::memory_order_acq_rel)) {
    kiv::mem::Delete(stored);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Outgoing operations

bool GameClientChatPlugin::LookUpSummonerId(std::string_view summonerName, String* id) {
  const String name = kiv::ToString(summonerName);
  auto found = RequestAs<kiv::binding::Value>(HttpMethod::kGet, kSummonersPath, name);
  if (!found.ok()) {
    kiv::log::Log(kiv::log::kError, kErrorGroups, 0, "Couldn't retrieve a summoner id for \"%s\" - %s", name.c_str(),
                  found.error().message.c_str());
    return false;
  }
  uint64_t number = 0;
  if (!LookedUpSummonerId(found.value(), &number)) {
    // Going on with a made-up id would address some other player's conversation.
    kiv::log::Log(kiv::log::kError, kErrorGroups, 0, "Couldn't retrieve a summoner id for \"%s\" - %s", name.c_str(),
                  "The answer holds no usable summonerId.");
    return false;
  }
  *id = DecimalText(number);
  return true;
}

void GameClientChatPlugin::SendInstantMessage(String summonerName, String message) {
  String id;
  if (!LookUpSummonerId(summonerName, &id)) return;

  auto conversation = RequestAs<kiv::binding::Value>(HttpMethod::kGet, Join(kConversationBase, id));
  if (!conversation.ok()) {
    kiv::log::Log(kiv::log::kOkay, kProgressGroups, 0, "Couldn't find a conversation with \"%s\" - %s",
                  summonerName.c_str(), conversation.error().message.c_str());
    kiv::binding::Value created;
    created.MakeStructure();
    created.Member("id").SetString(std::string_view(id));
    created.Member("type").SetString("chat");
    auto made = Request(HttpMethod::kPost, kConversationsPath, created);
    if (!made.ok()) {
      kiv::log::Log(kiv::log::kError, kErrorGroups, 0, "Couldn't create a conversation with \"%s\" - %s",
                    summonerName.c_str(), made.error().message.c_str());
      return;
    }
  }

  kiv::binding::Value posted;
  posted.MakeStructure();
  posted.Member("body").SetString(std::string_view(message));
  auto sent = Request(HttpMethod::kPost, Join(kConversationBase, id, "/messages"), posted);
  if (!sent.ok()) {
    kiv::log::Log(kiv::log::kError, kErrorGroups, 0, "Couldn't post a new message to a conversation with \"%s\" - %s",
                  summonerName.c_str(), sent.error().message.c_str());
    return;
  }
  kiv::log::Log(kiv::log::kOkay, kProgressGroups, 0, "Sent message to \"%s\"", summonerName.c_str());
}

void GameClientChatPlugin::SendPartyMessage(String) {}

void GameClientChatPlugin::IgnoreSummoner(String) {}

void GameClientChatPlugin::UnignoreSummoner(String summonerName) {
  String id;
  if (!LookUpSummonerId(summonerName, &id)) return;
  auto removed = Request(HttpMethod::kDelete, Join(kBlockedPlayerBase, id));
  if (!removed.ok()) {
    kiv::log::Log(kiv::log::kError, kErrorGroups, 0, "Couldn't unblock \"%s\" - %s", summonerName.c_str(),
                  removed.error().message.c_str());
  }
}

Vector<String> GameClientChatPlugin::ReadNameList(std::string_view path, const char* readFailedFormat,
                                                  const char* malformedLine) {
  Vector<String> names;
  auto list = RequestAs<kiv::binding::Value>(HttpMethod::kGet, path);
  if (!list.ok()) {
    kiv::log::Log(kiv::log::kError, kErrorGroups, 0, readFailedFormat, list.error().message.c_str());
    return names;
  }
  if (!ExtractNames(list.value(), names)) kiv::log::Log(kiv::log::kError, kErrorGroups, 0, "%s", malformedLine);
  return names;
}

Vector<String> GameClientChatPlugin::GetIgnoredSummoners() {
  return ReadNameList(kBlockedPlayersPath, "Couldn't retrieve your ignore list - %s", "Your ignore list is malformed.");
}

Vector<String> GameClientChatPlugin::GetBuddies() {
  return ReadNameList(kFriendsPath, "Couldn't retrieve your friends list - %s", "Your friends list is malformed.");
}

// ---------------------------------------------------------------------------
// Relay

void GameClientChatPlugin::OnLoginSession(const ResourceEvent& event) {
  switch (event.eventType) {
    case PluginResourceEventType::Create:
    case PluginResourceEventType::Update:
      ownSummonerId.store(SummonerIdOf(event.data.FindMember("summonerId")), std::memory_order_release);
      break;
    case PluginResourceEventType::Delete:
      ownSummonerId.store(0, std::memory_order_release);
      break;
  }
}

bool GameClientChatPlugin::LookUpDisplayName(std::string_view idText, String* name) {
  auto summoner = RequestAs<kiv::binding::Value>(HttpMethod::kGet, Join(kSummonerBase, idText));
  if (!summoner.ok()) {
    const String id = kiv::ToString(idText);
    kiv::log::Log(kiv::log::kError, kErrorGroups, 0, "Couldn't retrieve a summoner name for id %s - %s", id.c_str(),
                  summoner.error().message.c_str());
    return false;
  }
  *name = kiv::ToString(summoner.value().FindMember("displayName").AsText());
  return true;
}

void GameClientChatPlugin::OnChatMessage(const ResourceEvent& event) {
  if (event.eventType != PluginResourceEventType::Create) return;
  const kiv::binding::Value& data = event.data;
  if (StampsBefore(data.FindMember("timestamp").AsText(), StartTimestamp())) return;
  if (data.FindMember("type").AsText() != "chat") return;
  const uint64_t fromId = data.FindMember("fromId").AsUnsigned();
  if (fromId == OwnSummonerId()) return;

  String name;
  if (!LookUpDisplayName(DecimalText(fromId), &name)) return;
  Api::Message message{std::move(name), kiv::ToString(data.FindMember("body").AsText())};
  kiv::binding::ValueResult value;
  kiv::binding::ToValue(value, message, Api().Types());
  if (!value.Succeeded()) return;
  LogIfDropped(PublishResourceEvent(kiv::framework::kJsonApiEventName,
                                    ResourceEvent{kiv::ToString(kInstantMessagesPath), PluginResourceEventType::Create,
                                                  static_cast<kiv::binding::Value&&>(value)}),
               kInstantMessagesPath);
}

void GameClientChatPlugin::RelayPlayerEvent(const ResourceEvent& event, std::string_view publishBase) {
  switch (event.eventType) {
    case PluginResourceEventType::Create:
    case PluginResourceEventType::Update: {
      const std::string_view name = event.data.FindMember("name").AsText();
      const String uri = Join(publishBase, name);
      LogIfDropped(PublishTextResource(uri, name), uri);
      break;
    }
    case PluginResourceEventType::Delete: {
      const Vector<String> segments = SplitUriPath(event.uri);
      if (segments.size() < 4) return;
      String name;
      if (!LookUpDisplayName(DecimalText(ParseUnsigned(segments[3], 10)), &name)) return;
      const String uri = Join(publishBase, name);
      LogIfDropped(PublishResourceDeletion(uri), uri);
      break;
    }
  }
}

void GameClientChatPlugin::OnBlockedPlayer(const ResourceEvent& event) {
  RelayPlayerEvent(event, kIgnoredSummonerBase);
}

void GameClientChatPlugin::OnFriend(const ResourceEvent& event) { RelayPlayerEvent(event, kBuddyBase); }

void GameClientChatPlugin::OnPlaytimeReminder(const ResourceEvent& event) {
  LogIfDropped(PublishTextResource(kAasMessagesPath, event.data.AsText()), kAasMessagesPath);
}

}  // namespace Tarn::Client::GameClientChat
