// SIGINT and SIGTERM for kivhost: one thread takes them and ends whatever
// runs, so that the plugins are then destroyed and unloaded on the main
// thread rather than from a signal handler.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace kivhost {

class SignalWatcher {
 public:
  // Blocks both signals for this thread and every thread started after it.
  SignalWatcher();
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  // Called on the watching thread for each signal; null calls nothing.
  void OnSignal(std::function<void()> fn);
  const std::atomic<bool>& stopFlag() const { return stop_; }
  int received() const { return received_.load(); }
  void RequestStop() { stop_.store(true); }

 private:
  sigset_t set_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  std::atomic<bool> stop_{false};
  std::atomic<int> received_{0};
  std::mutex mutex_;
  std::function<void()> onSignal_;
};

}  // namespace kivhost
