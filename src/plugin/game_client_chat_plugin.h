// The bridge between the in-game client's chat and the platform's chat,
// friends and summoner services. Requests of the game client become calls to
// those services; their events are republished under this plugin's paths.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "framework/plugin.h"
#include "logging/memory.h"

namespace Tarn::Client::GameClientChat {

namespace Api {

// A private message as the game client receives it.
struct Message {
  kiv::String fromSummonerName;
  kiv::String body;
};

}  // namespace Api

class GameClientChatPlugin : public kiv::framework::Plugin {
 public:
  using ResourceEvent = kiv::framework::PluginResourceEvent;

  GameClientChatPlugin();
  ~GameClientChatPlugin() override;

  void RegisterApi() override;
  bool OnInitialize() override;

  // Endpoints. A failed call to another plugin is logged, never answered.
  void SendInstantMessage(kiv::String summonerName, kiv::String message);
  void SendPartyMessage(kiv::String message);
  kiv::Vector<kiv::String> GetIgnoredSummoners();
  void IgnoreSummoner(kiv::String summonerName);
  void UnignoreSummoner(kiv::String summonerName);
  kiv::Vector<kiv::String> GetBuddies();

  // Relay of other plugins' events.
  void OnLoginSession(const ResourceEvent& event);
  void OnChatMessage(const ResourceEvent& event);
  void OnBlockedPlayer(const ResourceEvent& event);
  void OnFriend(const ResourceEvent& event);
  void OnPlaytimeReminder(const ResourceEvent& event);

  uint64_t OwnSummonerId() const { return ownSummonerId.load(std::memory_order_acquire); }
  // Empty until OnInitialize has stamped the start.
  std::string_view StartTimestamp() const;

 private:
  // The id of the named summoner as decimal text; logs and fails otherwise.
  bool LookUpSummonerId(std::string_view summonerName, kiv::String* id);
  // Names from one of the chat service's player lists.
  kiv::Vector<kiv::String> ReadNameList(std::string_view path, const char* readFailedFormat, const char* malformedLine);
  // A player added to or removed from one of the chat service's lists,
  // republished under `publishBase` + name.
  void RelayPlayerEvent(const ResourceEvent& event, std::string_view publishBase);
  // The display name of a summoner id; logs and fails otherwise.
  bool LookUpDisplayName(std::string_view idText, kiv::String* name);

  // Events are delivered on host threads, possibly while OnInitialize runs:
  // both fields are read without a lock.
  std::atomic<uint64_t> ownSummonerId{0};
  // Written once; the text it points to never changes afterwards.
  std::atomic<const kiv::String*> startTimestamp{nullptr};
};

}  // namespace Tarn::Client::GameClientChat
