#include "peers.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "host.h"

namespace kivhost {
namespace {

const char kDefaultSeed[] = R"({
  "summoners": [
    {"summonerId": 1, "displayName": "Me"},
    {"summonerId": 42, "displayName": "Ann"},
    {"summonerId": 43, "displayName": "Bob"},
    {"summonerId": 44, "displayName": "Cid"},
    {"summonerId": 45, "displayName": "Dee"}
  ],
  "session": {"summonerId": 1},
  "conversations": [
    {"id": "42", "type": "chat", "messages": []}
  ],
  "blockedPlayers": [43],
  "friends": [42, 44],
  "playtimeReminder": null
}
)";

Answer Ok(int status, json body) {
  Answer a;
  a.status = status;
  a.body = std::move(body);
  a.servedBy = "peers";
  return a;
}

Answer Fail(int status, std::string text) {
  Answer a;
  a.status = status;
  a.error = true;
  a.errorText = std::move(text);
  a.servedBy = "peers";
  return a;
}

// An id as the services take it: an unsigned JSON number or a decimal text.
bool ReadId(const json& value, uint64_t* id) {
  if (value.is_number_unsigned()) {
    *id = value.get<uint64_t>();
    return true;
  }
  if (value.is_number_integer() && value.get<int64_t>() >= 0) {
    *id = static_cast<uint64_t>(value.get<int64_t>());
    return true;
  }
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char ch) { return ch >= '0' && ch <= '9'; }))
      return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    *id = parsed;
    return true;
  }
  return false;
}

bool ReadIdText(const std::string& text, uint64_t* id) { return ReadId(json(text), id); }

bool IsBlockedPath(const std::string& path) { return path.find("/blocked-players") != std::string::npos; }

// What the stores are charged for a record besides its texts, and for an
// entry of the block and friends lists.
constexpr size_t kRecordBytes = 64;
constexpr size_t kEntryBytes = 16;

// The bytes a value is charged: its texts and keys, and a fixed share per
// value and member. Walked without recursion: a seed may nest deeply.
size_t SummonerBytes(const std::string& name) { return kRecordBytes + name.size(); }
size_t ConversationBytes(const std::string& id, const std::string& type) {
  return kRecordBytes + id.size() + type.size();
}

}  // namespace

const char* DefaultPeerSeed() { return kDefaultSeed; }

Peers::Peers(const json& seed, Emit emit, PeerLimits limits) : emit_(std::move(emit)), limits_(limits) {
  routes_.Add("/kiv-summoner/v1/summoners", 2, "", &Peers::GetSummonerByName);
  routes_.Add("/kiv-summoner/v1/summoners", 6, "", &Peers::AddSummoner);
  routes_.Add("/kiv-summoner/v1/summoners/{id}", 2, "", &Peers::GetSummonerById);
  routes_.Add("/kiv-chat/v1/conversations", 2, "", &Peers::GetConversations);
  routes_.Add("/kiv-chat/v1/conversations", 6, "", &Peers::PostConversation);
  routes_.Add("/kiv-chat/v1/conversations/{id}", 2, "", &Peers::GetConversation);
  routes_.Add("/kiv-chat/v1/conversations/{id}/messages", 2, "", &Peers::GetMessages);
  routes_.Add("/kiv-chat/v1/conversations/{id}/messages", 6, "", &Peers::PostMessage);
  for (const char* base : {"/kiv-chat/v1/blocked-players", "/kiv-chat/v1/friends"}) {
    const std::string list = base;
    routes_.Add(list, 2, "", &Peers::GetPlayers);
    routes_.Add(list, 6, "", &Peers::AddPlayer);
    routes_.Add(list + "/{id}", 2, "", &Peers::GetPlayer);
    routes_.Add(list + "/{id}", 1, "", &Peers::RemovePlayer);
  }
  routes_.Add("/kiv-login/v1/session", 2, "", &Peers::GetSession);
  routes_.Add("/kiv-login/v1/session", 7, "", &Peers::PutSession);
  routes_.Add("/kiv-login/v1/session", 1, "", &Peers::DeleteSession);
  routes_.Add("/kiv-kr-playtime-reminder/v1/message", 2, "", &Peers::GetReminder);
  routes_.Add("/kiv-kr-playtime-reminder/v1/message", 7, "", &Peers::PutReminder);
  routes_.Add("/kiv-kr-playtime-reminder/v1/message", 1, "", &Peers::DeleteReminder);
  Seed(seed.is_null() ? json::parse(kDefaultSeed) : seed);
}

void Peers::Seed(const json& seed) {
  if (!seed.is_object()) {
    seedErrors_.push_back("the peers' seed is not a JSON object");
    return;
  }
  auto section = [&](const char* key) -> const json* {
    auto it = seed.find(key);
    return it == seed.end() || it->is_null() ? nullptr : &*it;
  };
  if (const json* list = section("summoners")) {
    for (const json& s : *list) {
      uint64_t id = 0;
      if (!s.is_object() || !ReadId(s.value("summonerId", json()), &id) ||
          !s.value("displayName", json()).is_string()) {
        seedErrors_.push_back("summoner skipped (needs summonerId and displayName): " + DumpJson(s));
        continue;
      }
      if (FindSummoner(id) != nullptr) {
        seedErrors_.push_back("summoner " + std::to_string(id) + " given twice");
        continue;
      }
      const std::string& name = s["displayName"].get_ref<const std::string&>();
      if (!Fits(SummonerBytes(name))) {
        seedErrors_.push_back("summoner " + std::to_string(id) + " skipped: the peers' store is full");
        continue;
      }
      bytes_ += SummonerBytes(name);
      summoners_.push_back(Summoner{id, name});
    }
  }
  if (const json* session = section("session")) {
    uint64_t id = 0;
    if (session->is_object() && ReadId(session->value("summonerId", json()), &id) && FindSummoner(id) != nullptr) {
      loggedIn_ = true;
      sessionId_ = id;
    } else {
      seedErrors_.push_back("session skipped (needs the summonerId of a known summoner): " + DumpJson(*session));
    }
  }
  if (const json* list = section("conversations")) {
    for (const json& c : *list) {
      uint64_t id = 0;
      if (!c.is_object() || !ReadId(c.value("id", json()), &id)) {
        seedErrors_.push_back("conversation skipped (needs an id): " + DumpJson(c));
        continue;
      }
      const json type = c.value("type", json("chat"));
      Conversation conversation{std::to_string(id), type.is_string() ? type.get<std::string>() : "chat", {}};
      auto old = conversations_.find(conversation.id);
      if (old != conversations_.end()) Forget(old->second);
      if (!Fits(ConversationBytes(conversation.id, conversation.type))) {
        if (old != conversations_.end()) conversations_.erase(old);
        seedErrors_.push_back("conversation " + conversation.id + " skipped: the peers' store is full");
        continue;
      }
      bytes_ += ConversationBytes(conversation.id, conversation.type);
      const json messages = c.value("messages", json::array());
      if (messages.is_array()) {
        for (const json& m : messages) {
          json message = m.is_object() ? m : json{{"body", m}};
          if (!message.contains("id")) message["id"] = std::to_string(nextMessageId_++);
          message["conversationId"] = conversation.id;
          if (!message.contains("type")) message["type"] = "chat";
          const size_t size = JsonFootprint(message);
          if (size > limits_.conversationBytes || !Fits(size)) {
            seedErrors_.push_back("a message of conversation " + conversation.id + " skipped: " + std::to_string(size) +
                                  " bytes do not fit");
            continue;
          }
          Append(&conversation, std::move(message), size);
        }
      }
      conversations_[conversation.id] = std::move(conversation);
    }
  }
  for (const char* key : {"blockedPlayers", "friends"}) {
    if (const json* list = section(key)) {
      auto& target = std::string(key) == "friends" ? friends_ : blocked_;
      for (const json& entry : *list) {
        uint64_t id = 0;
        const json idValue = entry.is_object() ? entry.value("summonerId", json()) : entry;
        if (!ReadId(idValue, &id) || FindSummoner(id) == nullptr) {
          seedErrors_.push_back(std::string(key) + " entry skipped (not a known summoner id): " + DumpJson(entry));
          continue;
        }
        if (std::find(target.begin(), target.end(), id) != target.end()) continue;
        if (!Fits(kEntryBytes)) {
          seedErrors_.push_back(std::string(key) + " entry skipped: the peers' store is full");
          continue;
        }
        bytes_ += kEntryBytes;
        target.push_back(id);
      }
    }
  }
  if (const json* reminder = section("playtimeReminder")) {
    if (reminder->is_string() && Fits(reminder->get_ref<const std::string&>().size())) {
      hasReminder_ = true;
      reminder_ = reminder->get<std::string>();
      bytes_ += reminder_.size();
    } else if (reminder->is_string()) {
      seedErrors_.push_back("playtimeReminder skipped: the peers' store is full");
    } else {
      seedErrors_.push_back("playtimeReminder skipped (not a text)");
    }
  }
}

const Peers::Summoner* Peers::FindSummoner(uint64_t id) const {
  for (const Summoner& s : summoners_) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

const Peers::Summoner* Peers::FindSummonerByName(const std::string& name) const {
  for (const Summoner& s : summoners_) {
    if (s.displayName == name) return &s;
  }
  return nullptr;
}

json Peers::SummonerRecord(const Summoner& s) const {
  // Member by member: cheaper than an initializer list on every lookup.
  json record = json::object();
  record["summonerId"] = s.id;
  record["displayName"] = s.displayName;
  return record;
}

json Peers::PlayerRecord(const Summoner& s) const {
  return json{{"summonerId", s.id}, {"id", std::to_string(s.id)}, {"name", s.displayName}};
}

json Peers::ConversationRecord(const Conversation& c) const {
  // Built member by member: an initializer list would copy the last message twice.
  json record = json::object();
  record["id"] = c.id;
  record["type"] = c.type;
  record["messageCount"] = c.messages.size();
  record["lastMessage"] = c.messages.empty() ? json() : c.messages.back();
  return record;
}

bool Peers::Serves(const std::string& method, const std::string& path, bool* methodOk,
                   std::vector<std::string>* allowed, Found* found) const {
  Found match = routes_.Find(MethodNumber(method), method, path);
  *methodOk = match.route != nullptr;
  if (allowed != nullptr) *allowed = match.allowed;
  const bool served = match.route != nullptr || match.methodMismatch;
  if (found != nullptr) *found = std::move(match);
  return served;
}

Answer Peers::Handle(const PeerRequest& request) {
  return Handle(request, routes_.Find(MethodNumber(request.method), request.method, request.path));
}

Answer Peers::Handle(const PeerRequest& request, const Found& match) {
  if (match.route == nullptr) {
    Answer a =
        Fail(match.methodMismatch ? 405 : 404,
             (match.methodMismatch ? "Method not allowed: " : "No resource: ") + request.method + " " + request.path);
    a.allowed = match.allowed;
    return a;
  }
  std::vector<Pending> pending;
  Answer answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answer = (this->*(match.route->target))(request, match.captures, &pending);
  }
  // Outside the lock: subscribers may well call back into the peers.
  for (Pending& p : pending) {
    if (emit_) emit_(p.uri, p.type, std::move(p.data));
  }
  return answer;
}

Answer Peers::GetSummonerByName(const PeerRequest& r, const std::map<std::string, std::string>&,
                                std::vector<Pending>*) {
  std::string name;
  if (r.input.is_string()) {
    name = r.input.get<std::string>();
  } else if (r.input.is_object() && r.input.value("name", json()).is_string()) {
    name = r.input["name"].get<std::string>();
  } else if (r.query.count("name") != 0) {
    name = r.query.at("name");
  } else if (r.hasInput) {
    return Fail(400, "The summoner name must be a text");
  } else {
    json all = json::array();
    for (const Summoner& s : summoners_) all.push_back(SummonerRecord(s));
    return Ok(200, all);
  }
  const Summoner* s = FindSummonerByName(name);
  if (s == nullptr) return Fail(404, "No summoner named '" + name + "'");
  return Ok(200, SummonerRecord(*s));
}

Answer Peers::AddSummoner(const PeerRequest& r, const std::map<std::string, std::string>&, std::vector<Pending>* out) {
  uint64_t id = 0;
  if (!r.input.is_object() || !ReadId(r.input.value("summonerId", json()), &id) ||
      !r.input.value("displayName", json()).is_string()) {
    return Fail(400, "A summoner needs 'summonerId' (a number) and 'displayName' (a text)");
  }
  const std::string name = r.input["displayName"].get<std::string>();
  if (FindSummoner(id) != nullptr) return Fail(409, "Summoner " + std::to_string(id) + " exists");
  if (FindSummonerByName(name) != nullptr) return Fail(409, "The name '" + name + "' is taken");
  if (!Fits(SummonerBytes(name))) return Fail(507, Full("summoner"));
  bytes_ += SummonerBytes(name);
  summoners_.push_back(Summoner{id, name});
  json record{{"summonerId", id}, {"displayName", name}};
  out->push_back({"/kiv-summoner/v1/summoners/" + std::to_string(id), "Create", record});
  return Ok(201, record);
}

Answer Peers::GetSummonerById(const PeerRequest&, const std::map<std::string, std::string>& c, std::vector<Pending>*) {
  uint64_t id = 0;
  const Summoner* s = ReadIdText(c.at("id"), &id) ? FindSummoner(id) : nullptr;
  if (s == nullptr) return Fail(404, "No summoner with id '" + c.at("id") + "'");
  return Ok(200, SummonerRecord(*s));
}

Answer Peers::GetConversations(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*) {
  json all = json::array();
  for (const auto& [id, c] : conversations_) all.push_back(ConversationRecord(c));
  return Ok(200, all);
}

Answer Peers::PostConversation(const PeerRequest& r, const std::map<std::string, std::string>&,
                               std::vector<Pending>* out) {
  uint64_t id = 0;
  if (!r.input.is_object() || !ReadId(r.input.value("id", json()), &id)) {
    return Fail(400, "A conversation needs an 'id': the summoner id of the other player");
  }
  const json type = r.input.value("type", json("chat"));
  if (!type.is_string()) return Fail(400, "The conversation 'type' must be a text");
  if (FindSummoner(id) == nullptr) return Fail(404, "No summoner with id " + std::to_string(id));
  const std::string key = std::to_string(id);
  auto it = conversations_.find(key);
  if (it != conversations_.end()) return Ok(200, ConversationRecord(it->second));
  Conversation c{key, type.get<std::string>(), {}};
  if (!Fits(ConversationBytes(c.id, c.type))) return Fail(507, Full("conversation"));
  bytes_ += ConversationBytes(c.id, c.type);
  json record = ConversationRecord(c);
  conversations_[key] = std::move(c);
  out->push_back({"/kiv-chat/v1/conversations/" + key, "Create", record});
  return Ok(201, record);
}

Answer Peers::GetConversation(const PeerRequest&, const std::map<std::string, std::string>& c, std::vector<Pending>*) {
  auto it = conversations_.find(c.at("id"));
  if (it == conversations_.end()) return Fail(404, "No conversation '" + c.at("id") + "'");
  return Ok(200, ConversationRecord(it->second));
}

void Peers::Append(Conversation* c, json message, size_t size) {
  c->messages.push_back(std::move(message));
  c->sizes.push_back(size);
  c->bytes += size;
  bytes_ += size;
  size_t drop = 0, freed = 0;
  while (c->messages.size() - drop > 1 &&
         (c->messages.size() - drop > kMessageHistory || c->bytes - freed > limits_.conversationBytes ||
          bytes_ - freed > limits_.storeBytes)) {
    freed += c->sizes[drop++];
  }
  for (size_t i = 0; i < drop; ++i) {
    c->messages.pop_front();
    c->sizes.pop_front();
  }
  c->bytes -= freed;
  bytes_ -= freed;
}

void Peers::Forget(const Conversation& c) { bytes_ -= ConversationBytes(c.id, c.type) + c.bytes; }

std::string Peers::Full(const std::string& what) const {
  return "The simulated peers hold " + std::to_string(bytes_) + " of their " + std::to_string(limits_.storeBytes) +
         " bytes; the " + what + " does not fit";
}

Answer Peers::GetMessages(const PeerRequest&, const std::map<std::string, std::string>& c, std::vector<Pending>*) {
  auto it = conversations_.find(c.at("id"));
  if (it == conversations_.end()) return Fail(404, "No conversation '" + c.at("id") + "'");
  return Ok(200, json(it->second.messages));
}

Answer Peers::PostMessage(const PeerRequest& r, const std::map<std::string, std::string>& c,
                          std::vector<Pending>* out) {
  auto it = conversations_.find(c.at("id"));
  if (it == conversations_.end()) return Fail(404, "No conversation '" + c.at("id") + "'");
  if (!r.input.is_object() || !r.input.value("body", json()).is_string()) {
    return Fail(400, "A message needs a 'body' text");
  }
  uint64_t from = loggedIn_ ? sessionId_ : 0;
  if (r.input.contains("fromId") && !ReadId(r.input["fromId"], &from)) {
    return Fail(400, "The message's 'fromId' must be a summoner id");
  }
  json type = r.input.value("type", json("chat"));
  json timestamp = r.input.value("timestamp", json(UtcNow()));
  if (!type.is_string() || !timestamp.is_string()) return Fail(400, "The message's 'type' and 'timestamp' are texts");
  const std::string messageId = std::to_string(nextMessageId_);
  json message = json::object();
  message["id"] = messageId;
  message["conversationId"] = it->second.id;
  message["body"] = r.input["body"];
  message["fromId"] = from;
  message["type"] = std::move(type);
  message["timestamp"] = std::move(timestamp);
  const size_t size = JsonFootprint(message);
  if (size > limits_.conversationBytes) {
    return Fail(413, "The message takes " + std::to_string(size) + " bytes; a conversation keeps at most " +
                         std::to_string(limits_.conversationBytes));
  }
  // Its own conversation's oldest messages may make room; nobody else's.
  if (size > limits_.storeBytes || bytes_ - it->second.bytes > limits_.storeBytes - size) {
    return Fail(507, Full("message"));
  }
  ++nextMessageId_;
  out->push_back({"/kiv-chat/v1/conversations/" + it->second.id + "/messages/" + messageId, "Create", message});
  Answer answer = Ok(201, message);
  Append(&it->second, std::move(message), size);
  return answer;
}

Answer Peers::GetPlayers(const PeerRequest& r, const std::map<std::string, std::string>&, std::vector<Pending>*) {
  const auto& ids = IsBlockedPath(r.path) ? blocked_ : friends_;
  json all = json::array();
  for (uint64_t id : ids) {
    if (const Summoner* s = FindSummoner(id)) all.push_back(PlayerRecord(*s));
  }
  return Ok(200, all);
}

Answer Peers::GetPlayer(const PeerRequest& r, const std::map<std::string, std::string>& c, std::vector<Pending>*) {
  const auto& ids = IsBlockedPath(r.path) ? blocked_ : friends_;
  uint64_t id = 0;
  if (!ReadIdText(c.at("id"), &id) || std::find(ids.begin(), ids.end(), id) == ids.end()) {
    return Fail(404, "No entry '" + c.at("id") + "'");
  }
  return Ok(200, PlayerRecord(*FindSummoner(id)));
}

Answer Peers::AddPlayer(const PeerRequest& r, const std::map<std::string, std::string>&, std::vector<Pending>* out) {
  const bool blocked = IsBlockedPath(r.path);
  auto& ids = blocked ? blocked_ : friends_;
  uint64_t id = 0;
  const json idValue = r.input.is_object() ? r.input.value("summonerId", json()) : r.input;
  if (!ReadId(idValue, &id)) return Fail(400, "The entry needs a 'summonerId'");
  const Summoner* s = FindSummoner(id);
  if (s == nullptr) return Fail(404, "No summoner with id " + std::to_string(id));
  if (std::find(ids.begin(), ids.end(), id) != ids.end()) return Ok(200, PlayerRecord(*s));
  if (!Fits(kEntryBytes)) return Fail(507, Full("entry"));
  bytes_ += kEntryBytes;
  ids.push_back(id);
  const std::string base = blocked ? "/kiv-chat/v1/blocked-players/" : "/kiv-chat/v1/friends/";
  out->push_back({base + std::to_string(id), "Create", PlayerRecord(*s)});
  return Ok(201, PlayerRecord(*s));
}

Answer Peers::RemovePlayer(const PeerRequest& r, const std::map<std::string, std::string>& c,
                           std::vector<Pending>* out) {
  const bool blocked = IsBlockedPath(r.path);
  auto& ids = blocked ? blocked_ : friends_;
  uint64_t id = 0;
  auto it = ReadIdText(c.at("id"), &id) ? std::find(ids.begin(), ids.end(), id) : ids.end();
  if (it == ids.end()) return Fail(404, "No entry '" + c.at("id") + "'");
  ids.erase(it);
  bytes_ -= kEntryBytes;
  const std::string base = blocked ? "/kiv-chat/v1/blocked-players/" : "/kiv-chat/v1/friends/";
  out->push_back({base + std::to_string(id), "Delete", json()});
  return Ok(204, json());
}

Answer Peers::GetSession(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*) {
  if (!loggedIn_) return Fail(404, "No login session");
  const Summoner* s = FindSummoner(sessionId_);
  return Ok(200, {{"summonerId", sessionId_},
                  {"displayName", s != nullptr ? s->displayName : std::string()},
                  {"state", "connected"}});
}

Answer Peers::PutSession(const PeerRequest& r, const std::map<std::string, std::string>&, std::vector<Pending>* out) {
  uint64_t id = 0;
  if (!r.input.is_object() || !ReadId(r.input.value("summonerId", json()), &id)) {
    return Fail(400, "A session needs a 'summonerId'");
  }
  const Summoner* s = FindSummoner(id);
  if (s == nullptr) return Fail(404, "No summoner with id " + std::to_string(id));
  const bool existed = loggedIn_;
  const bool changed = !loggedIn_ || sessionId_ != id;
  loggedIn_ = true;
  sessionId_ = id;
  json record{{"summonerId", id}, {"displayName", s->displayName}, {"state", "connected"}};
  if (changed) out->push_back({"/kiv-login/v1/session", existed ? "Update" : "Create", record});
  return Ok(existed ? 200 : 201, record);
}

Answer Peers::DeleteSession(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>* out) {
  if (!loggedIn_) return Fail(404, "No login session");
  loggedIn_ = false;
  sessionId_ = 0;
  out->push_back({"/kiv-login/v1/session", "Delete", json()});
  return Ok(204, json());
}

Answer Peers::GetReminder(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>*) {
  if (!hasReminder_) return Fail(404, "No playtime reminder");
  return Ok(200, reminder_);
}

Answer Peers::PutReminder(const PeerRequest& r, const std::map<std::string, std::string>&, std::vector<Pending>* out) {
  if (!r.input.is_string()) return Fail(400, "The playtime reminder must be a JSON text");
  const size_t size = r.input.get_ref<const std::string&>().size();
  if (size > reminder_.size() && !Fits(size - reminder_.size())) return Fail(507, Full("playtime reminder"));
  const bool existed = hasReminder_;
  hasReminder_ = true;
  bytes_ = bytes_ - reminder_.size() + size;
  reminder_ = r.input.get<std::string>();
  out->push_back({"/kiv-kr-playtime-reminder/v1/message", existed ? "Update" : "Create", reminder_});
  return Ok(existed ? 200 : 201, reminder_);
}

Answer Peers::DeleteReminder(const PeerRequest&, const std::map<std::string, std::string>&, std::vector<Pending>* out) {
  if (!hasReminder_) return Fail(404, "No playtime reminder");
  hasReminder_ = false;
  bytes_ -= reminder_.size();
  reminder_.clear();
  out->push_back({"/kiv-kr-playtime-reminder/v1/message", "Delete", json()});
  return Ok(204, json());
}

size_t Peers::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

json Peers::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  json state;
  state["summoners"] = json::array();
  for (const Summoner& s : summoners_) state["summoners"].push_back(SummonerRecord(s));
  state["session"] = loggedIn_ ? json{{"summonerId", sessionId_}} : json();
  state["conversations"] = json::array();
  for (const auto& [id, c] : conversations_) {
    state["conversations"].push_back({{"id", c.id}, {"type", c.type}, {"messages", c.messages}});
  }
  state["blockedPlayers"] = blocked_;
  state["friends"] = friends_;
  state["playtimeReminder"] = hasReminder_ ? json(reminder_) : json();
  return state;
}

}  // namespace kivhost
