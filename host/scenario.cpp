#include "scenario.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "peers.h"

namespace kivhost {
namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Takes the first whitespace-separated word off `rest`.
std::string Word(std::string* rest) {
  std::string r = Trim(*rest);
  const size_t end = r.find_first_of(" \t");
  std::string word = r.substr(0, end);
  *rest = end == std::string::npos ? "" : Trim(r.substr(end));
  return word;
}

// A text argument may be wrapped in double quotes.
std::string Unquote(std::string s) {
  s = Trim(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// $NAME and ${NAME} from the environment; unknown names become empty.
std::string Expand(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '$' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    size_t start = i + 1, end;
    if (s[start] == '{') {
      end = s.find('}', start);
      if (end == std::string::npos) {
        out += s.substr(i);
        break;
      }
      const char* v = std::getenv(s.substr(start + 1, end - start - 1).c_str());
      out += v != nullptr ? v : "";
      i = end;
    } else {
      end = start;
      while (end < s.size() && (std::isalnum(static_cast<unsigned char>(s[end])) || s[end] == '_')) ++end;
      if (end == start) {
        out += '$';
        continue;
      }
      const char* v = std::getenv(s.substr(start, end - start).c_str());
      out += v != nullptr ? v : "";
      i = end - 1;
    }
  }
  return out;
}

bool UrlMatches(const std::string& actual, const std::string& expected) {
  if (!expected.empty() && expected.back() == '*') return actual.rfind(expected.substr(0, expected.size() - 1), 0) == 0;
  return actual == expected;
}

std::string Shorten(const std::string& text, size_t limit = 300) {
  return text.size() <= limit ? text : text.substr(0, limit) + "...";
}

}  // namespace

void ScenarioRunner::Print(const std::string& text) {
  if (out_ == nullptr) return;
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

ScenarioResult ScenarioRunner::RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ScenarioResult r;
    r.broken = true;
    r.failures.push_back("Cannot read " + path);
    Print("scenario: cannot read " + path);
    return r;
  }
  std::stringstream text;
  text << in.rdbuf();
  const size_t slash = path.find_last_of('/');
  return Run(text.str(), path, slash == std::string::npos ? "." : path.substr(0, slash));
}

ScenarioResult ScenarioRunner::Run(const std::string& text, const std::string& origin, const std::string& baseDir) {
  ScenarioResult result;
  baseDir_ = baseDir;
  window_ = host_.Mark();
  haveAnswer_ = false;
  pendingHeaders_.clear();
  std::vector<Line> lines;
  {
    std::istringstream in(text);
    std::string raw, joined;
    int number = 0, start = 0;
    while (std::getline(in, raw)) {
      ++number;
      if (joined.empty()) start = number;
      std::string t = Trim(raw);
      if (!t.empty() && t.back() == '\\') {
        joined += t.substr(0, t.size() - 1) + " ";
        continue;
      }
      joined += t;
      joined = Trim(joined);
      if (!joined.empty() && joined[0] != '#') lines.push_back(Line{start, joined});
      joined.clear();
    }
    if (!Trim(joined).empty()) lines.push_back(Line{start, Trim(joined)});
  }
  Print("== scenario " + origin);
  for (const Line& line : lines) {
    if (stop_ != nullptr && stop_->load()) {
      Print("== stopped");
      result.broken = true;
      break;
    }
    if (!Step(line, &result)) {
      result.broken = true;
      break;
    }
  }
  host_.WaitIdle();
  Print("== " + origin + ": " + std::to_string(result.actions) + " actions, " + std::to_string(result.passed) +
        " expectations met, " + std::to_string(result.failed) + " failed" + (result.broken ? ", stopped early" : ""));
  return result;
}

void ScenarioRunner::Dispatched(const Call& call) {
  answer_ = host_.Dispatch(call);
  haveAnswer_ = true;
  host_.WaitIdle();
  const json shown = answer_.HttpBody();
  Print("   <- " + std::to_string(answer_.HttpStatus()) +
        (answer_.servedBy.empty() ? "" : " (" + answer_.servedBy + ")") +
        (shown.is_null() ? "" : " " + Shorten(DumpJson(shown))));
}

bool ScenarioRunner::Step(const Line& line, ScenarioResult* result) {
  std::string rest = line.text;
  const std::string command = Word(&rest);
  const std::string where = "line " + std::to_string(line.number) + ": ";
  auto broken = [&](const std::string& why) {
    Print("!! " + where + why);
    result->failures.push_back(where + why);
    return false;
  };
  auto parseJson = [&](const std::string& text, json* out) {
    std::string why;
    if (ParseJson(text, out, &why)) return true;
    broken("not valid JSON: " + text + " (" + why + ")");
    return false;
  };
  auto startAction = [&]() {
    ++result->actions;
    window_ = host_.Mark();
    Print(">> " + line.text);
  };

  if (command == "expect") return Expect(line, rest, result);
  if (command == "echo") {
    Print("   " + rest);
    return true;
  }
  if (command == "header") {
    const std::string name = Word(&rest);
    if (name.empty()) return broken("header needs a name and a value");
    pendingHeaders_.emplace_back(name, Unquote(rest));
    return true;
  }
  if (command == "call" || command == "request" || command == "send") {
    Call call;
    call.method = Word(&rest);
    call.url = Expand(Word(&rest));
    if (call.method.empty() || call.url.empty()) return broken(command + " needs a method and a URL");
    if (command == "send") {
      call.contentType = Word(&rest);
      call.body = Unquote(rest);
    } else if (!rest.empty()) {
      json value;
      if (!parseJson(rest, &value)) return false;
      if (command == "call") {
        call.contentType = "application/json";
        call.body = DumpJson(value);
      } else {
        call.items.push_back(Item{std::nullopt, value});
      }
    }
    call.headers = std::move(pendingHeaders_);
    pendingHeaders_.clear();
    startAction();
    Dispatched(call);
    return true;
  }
  if (command == "publish") {
    const std::string name = Word(&rest);
    json payload;
    if (name.empty()) return broken("publish needs an event name");
    if (!rest.empty() && !parseJson(rest, &payload)) return false;
    startAction();
    host_.Publish(name, payload);
    host_.WaitIdle();
    return true;
  }
  if (command == "resource") {
    const std::string uri = Word(&rest);
    const std::string type = Word(&rest);
    if (type != "Create" && type != "Update" && type != "Delete")
      return broken("resource needs a URI and Create, Update or Delete");
    json data;
    if (!rest.empty() && !parseJson(rest, &data)) return false;
    startAction();
    host_.PublishResource(uri, type, data);
    host_.WaitIdle();
    return true;
  }
  if (command == "load") {
    std::string path = Expand(Word(&rest));
    const std::string exportName = Word(&rest);
    if (path.empty()) return broken("load needs a library path");
    if (path[0] != '/') path = baseDir_ + "/" + path;
    startAction();
    auto loaded = host_.Load(path, exportName);
    if (!loaded.ok) return broken(loaded.error);
    std::string why;
    if (!host_.Initialize(&why)) return broken(why);
    return true;
  }
  if (command == "require") {
    const std::string name = Word(&rest);
    if (!host_.HasPlugin(name)) return broken("the plugin " + name + " is not loaded");
    return true;
  }
  if (command == "wait") {
    const std::string ms = Word(&rest);
    char* end = nullptr;
    const long value = std::strtol(ms.c_str(), &end, 10);
    if (ms.empty() || *end != '\0' || value < 0 || value > 600000) return broken("wait needs milliseconds");
    std::this_thread::sleep_for(std::chrono::milliseconds(value));
    host_.WaitIdle();
    return true;
  }
  if (command == "settle") {
    if (!host_.WaitIdle()) return broken("events are still being delivered after 5 seconds");
    return true;
  }
  if (command == "mark") {
    window_ = host_.Mark();
    return true;
  }
  return broken("unknown command '" + command + "'");
}

bool ScenarioRunner::Expect(const Line& line, std::string rest, ScenarioResult* result) {
  const std::string what = Word(&rest);
  const std::string where = "line " + std::to_string(line.number) + ": ";
  std::string failure;  // empty when met
  auto parse = [&](const std::string& text, json* out) -> bool {
    std::string why;
    if (ParseJson(text, out, &why)) return true;
    failure = "not valid JSON: " + text;
    return false;
  };
  auto needAnswer = [&]() {
    if (!haveAnswer_) failure = "no call was made before";
    return haveAnswer_;
  };

  if (what == "status") {
    if (needAnswer()) {
      const int expected = std::atoi(rest.c_str());
      if (answer_.HttpStatus() != expected) failure = "status " + std::to_string(answer_.HttpStatus());
    }
  } else if (what == "body" || what == "body-contains") {
    json expected;
    if (needAnswer() && parse(rest, &expected)) {
      const json actual = answer_.HttpBody();
      const bool ok = what == "body" ? JsonContains(actual, expected) && JsonContains(expected, actual)
                                     : JsonContains(actual, expected);
      if (!ok) failure = "body " + Shorten(DumpJson(actual));
    }
  } else if (what == "error") {
    const std::string text = Unquote(rest);
    if (needAnswer()) {
      if (!answer_.error) {
        failure = "no error (status " + std::to_string(answer_.HttpStatus()) + ")";
      } else if (answer_.errorText.find(text) == std::string::npos) {
        failure = "error \"" + answer_.errorText + "\"";
      }
    }
  } else if (what == "request" || what == "no-request" || what == "requests") {
    const auto requests = host_.Requests(window_);
    if (what == "requests") {
      const size_t expected = static_cast<size_t>(std::atoi(rest.c_str()));
      if (requests.size() != expected) failure = std::to_string(requests.size()) + " requests";
    } else {
      const std::string method = Word(&rest);
      const std::string url = Expand(Word(&rest));
      json item;
      const bool withItem = !rest.empty();
      if (!withItem || parse(rest, &item)) {
        size_t matches = 0;
        for (const auto& r : requests) {
          if (!method.empty() && r.method != method) continue;
          if (!url.empty() && !UrlMatches(r.url, url)) continue;
          if (withItem && (r.items.empty() || !JsonContains(r.items[0]["value"], item))) continue;
          ++matches;
        }
        if (what == "request" && matches == 0) {
          failure = "no such request; made:";
          for (const auto& r : requests)
            failure += " [" + r.method + " " + r.url + " " + Shorten(DumpJson(r.items), 120) + "]";
          if (requests.empty()) failure += " none";
        } else if (what == "no-request" && matches != 0) {
          failure = std::to_string(matches) + " matching requests";
        }
      }
    }
  } else if (what == "event" || what == "no-event") {
    const std::string name = Word(&rest);
    json expected;
    const bool withData = !rest.empty();
    if (!withData || parse(rest, &expected)) {
      size_t matches = 0;
      const auto events = host_.Events(window_);
      for (const auto& e : events) {
        if (!name.empty() && e.name != name) continue;
        if (withData && !JsonContains(e.ToJson(), expected)) continue;
        ++matches;
      }
      if (what == "event" && matches == 0) {
        failure = "no such event; published:";
        for (const auto& e : events) failure += " " + Shorten(DumpJson(e.ToJson()), 160);
        if (events.empty()) failure += " none";
      } else if (what == "no-event" && matches != 0) {
        failure = std::to_string(matches) + " matching events";
      }
    }
  } else if (what == "log" || what == "no-log") {
    std::string level = Word(&rest);
    const std::string text = Unquote(rest);
    int32_t wanted = -1;
    if (!level.empty() && level != "*") {
      wanted = LevelFromWord(level);
      if (wanted < 0) failure = "unknown level '" + level + "' (OKAY, WARN, ERROR, ALWAYS or *)";
    }
    if (failure.empty()) {
      size_t matches = 0;
      for (const auto& l : host_.Logs(window_)) {
        if (wanted >= 0 && l.level != wanted) continue;
        if (l.text.find(text) == std::string::npos) continue;
        ++matches;
      }
      if (what == "log" && matches == 0) failure = "no such log line";
      if (what == "no-log" && matches != 0) failure = std::to_string(matches) + " matching log lines";
    }
  } else if (what == "peers") {
    json expected;
    if (host_.peers() == nullptr) {
      failure = "the peers are not simulated";
    } else if (parse(rest, &expected) && !JsonContains(host_.peers()->State(), expected)) {
      failure = "peers " + Shorten(DumpJson(host_.peers()->State()), 400);
    }
  } else {
    Print("!! " + where + "unknown expectation '" + what + "'");
    result->failures.push_back(where + "unknown expectation '" + what + "'");
    return false;
  }
  if (failure.empty()) {
    ++result->passed;
    Print("   ok   " + line.text);
  } else {
    ++result->failed;
    result->failures.push_back(where + line.text + ": " + failure);
    Print("   FAIL " + line.text);
    Print("        got " + failure);
  }
  return true;
}

}  // namespace kivhost
