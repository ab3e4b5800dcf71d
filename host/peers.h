// Simulated peers: the summoner directory, the chat service, the login
// session and the playtime reminder, kept in memory and seeded from JSON.
// Every change of their state fires the resource events the real services
// would fire, through the emit function given at construction.
#pragma once

#include <deque>
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

// What the peers keep, counted in bytes of their records: a host fed large
// messages for hours stays bounded however the bytes are spread.
struct PeerLimits {
  size_t storeBytes = 64u << 20;        // everything together; what would pass it is refused (507)
  size_t conversationBytes = 4u << 20;  // one conversation's history; its oldest messages go first
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
  Peers(const json& seed, Emit emit, PeerLimits limits = PeerLimits());

  // A conversation keeps its latest messages only, as a chat service keeps a
  // history window, and within its share of bytes.
  static constexpr std::size_t kMessageHistory = 1000;

  // true when some peer path matches; `methodOk` tells whether the method fits.
  bool Serves(const std::string& method, const std::string& path, bool* methodOk, std::vector<std::string>* allowed,
              Found* found = nullptr) const;
  Answer Handle(const PeerRequest& request);
  // Handles a request whose lookup Serves made (with the same method and path).
  Answer Handle(const PeerRequest& request, const Found& found);
  json State() const;
  // The bytes the stores hold, as counted against the limits.
  size_t bytes() const;
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
    // Oldest first; a deque, because every message past the history window
    // pushes the oldest out of the front.
    std::deque<json> messages;
    std::deque<size_t> sizes{};  // each message's footprint, so dropping one does not walk it
    size_t bytes = 0;            // of the messages
  };
  void Seed(const json& seed);
  bool Fits(size_t more) const { return more <= limits_.storeBytes && bytes_ <= limits_.storeBytes - more; }
  // Adds a message, then drops the oldest beyond kMessageHistory or the limits.
  void Append(Conversation* c, json message, size_t size);
  void Forget(const Conversation& c);               // its bytes, when it is replaced
  std::string Full(const std::string& what) const;  // the message of a refusal for want of room
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
  PeerLimits limits_;
  size_t bytes_ = 0;
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
