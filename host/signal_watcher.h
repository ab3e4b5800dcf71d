// SIGINT and SIGTERM for kivhost (on Windows: Ctrl-C, Ctrl-Break and closing
// the console): one thread takes them and ends whatever runs, so that the
// plugins are then destroyed and unloaded on the main thread rather than
// from a signal handler.
#pragma once

#if !defined(_WIN32)
#include <signal.h>
#endif

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace kivhost {

class SignalWatcher {
 public:
  // Blocks both signals for this thread and every thread started after it
  // (on Windows: takes the console's control events; one watcher at a time).
  SignalWatcher();
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  // Called on the watching thread for each signal; null calls nothing.
  void OnSignal(std::function<void()> fn);
  const std::atomic<bool>& stopFlag() const { return stop_; }
  int received() const { return received_.load(); }
  void RequestStop() { stop_.store(true); }

  // Records the signal and calls the OnSignal function: the watching
  // thread's work, on whichever thread the system reports it.
  void Deliver(int signal);

 private:
#if !defined(_WIN32)
  sigset_t set_;
  std::thread thread_;
  std::atomic<bool> done_{false};
#endif
  std::atomic<bool> stop_{false};
  std::atomic<int> received_{0};
  std::mutex mutex_;
  std::function<void()> onSignal_;
};

}  // namespace kivhost
