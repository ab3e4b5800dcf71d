// Simulated peers: the summoner directory, the chat service, the login
// session and the playtime reminder, kept in memory and seeded from JSON.
// Every change of their state fires the resource events the real services
// would fire, through the emit function given at construction.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host_value.h"
#include "router.h"

namespace kivhost {

struct Answer;

// The seed used when none is given (documented in the README).
const char* DefaultPeerSeed();

struct PeerRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without query
  std::map<std::string, std::string> query;
  json input;  // first positional parameter item, else the named items, else the JSON body; null when none
  bool hasInput = false;
};

class Peers {
  struct Pending {
    std::string uri, type;
    json data;
  };
  using Handler = Answer (Peers::*)(const PeerRequest&, const std::map<std::string, std::string>&,
                                    std::vector<Pending>*);

 public:
  // The event data is handed over: it is not used after the call.
  using Emit = std::function<void(const std::string& uri, const std::string& type, json data)>;
  // A lookup of a path, kept by Serves for the Handle that follows.
  using Found = Router<Handler>::Match;
  Peers(const json& seed, Emit emit);

  // A conversation keeps its latest messages only, as a chat service keeps a
  // history window: a host sending for hours stays bounded in memory.
  static constexpr std::size_t kMessageHistory = 1000;

  // true when some peer path matches; `methodOk` tells whether the method fits.
  bool Serves(const std::string& method, const std::string& path, bool* methodOk, std::vector<std::string>* allowed,
              Found* found = nullptr) const;
  Answer Handle(const PeerRequest& request);
  // Handles a request whose lookup Serves made (with the same method and path).
  Answer Handle(const PeerRequest& request, const Found& found);
  json State() const;
  // Entries of the seed that were skipped, with the reason.
  const std::vector<std::string>& seedErrors() const { return seedErrors_; }

 private:
  struct Summoner {
    uint64_t id;
    std::string displayName;
  };
  struct Conversation {
    std::string id;
    std::string type;
    json messages = json::array();
  };
  void Seed(const json& seed);
  static void KeepHistory(json* messages);  // drops the oldest beyond kMessageHistory
  const Summoner* FindSummoner(uint64_t id) const;
  const Summoner* FindSummonerByName(const std::string& name) const;
  json SummonerRecord(const Summoner& s) const;  // {summonerId, displayName}
  json PlayerRecord(const Summoner& s) const;
  json ConversationRecord(const Conversation& c) const;

  Answer GetSummonerByName(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer AddSummoner(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer GetSummonerById(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer GetConversations(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer PostConversation(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer GetConversation(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer GetMessages(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer PostMessage(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer GetPlayers(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer GetPlayer(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer AddPlayer(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer RemovePlayer(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer GetSession(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer PutSession(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer DeleteSession(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer GetReminder(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer PutReminder(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);
  Answer DeleteReminder(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*);

  Emit emit_;
  Router<Handler> routes_;
  mutable std::mutex mutex_;
  std::vector<Summoner> summoners_;
  std::map<std::string, Conversation> conversations_;
  std::vector<uint64_t> blocked_;  // in the order added
  std::vector<uint64_t> friends_;
  bool loggedIn_ = false;
  uint64_t sessionId_ = 0;
  bool hasReminder_ = false;
  std::string reminder_;
  uint64_t nextMessageId_ = 1;
  std::vector<std::string> seedErrors_;
};

}  // namespace kivhost
