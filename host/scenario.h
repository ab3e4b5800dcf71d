// Scenario files: a line format for driving a host by hand-written steps and
// checking what the plugins did. See host/scenarios/FORMAT.md.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "host.h"

namespace kivhost {

struct ScenarioResult {
  int actions = 0;
  int passed = 0;
  int failed = 0;
  bool broken = false;  // a line could not be parsed or a step could not run
  std::vector<std::string> failures;
  int ExitCode() const { return broken ? 2 : (failed != 0 ? 1 : 0); }
};

class ScenarioRunner {
 public:
  // The transcript goes to `out` (null prints nothing).
  ScenarioRunner(Host& host, FILE* out) : host_(host), out_(out) {}

  // `origin` names the scenario in messages; relative paths of "load" lines
  // are taken from `baseDir`.
  ScenarioResult Run(const std::string& text, const std::string& origin, const std::string& baseDir = ".");
  ScenarioResult RunFile(const std::string& path);
  // Checked between steps: set it to stop a running scenario.
  void SetStopFlag(const std::atomic<bool>* flag) { stop_ = flag; }

 private:
  struct Line {
    int number;
    std::string text;
  };
  bool Step(const Line& line, ScenarioResult* result);
  bool Expect(const Line& line, std::string rest, ScenarioResult* result);
  void Print(const std::string& text);
  void Dispatched(const Call& call);

  Host& host_;
  FILE* out_;
  const std::atomic<bool>* stop_ = nullptr;
  std::string baseDir_;
  uint64_t window_ = 0;
  bool haveAnswer_ = false;
  Answer answer_;
  std::vector<std::pair<std::string, std::string>> pendingHeaders_;
};

}  // namespace kivhost
