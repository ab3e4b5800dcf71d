#include "signal_watcher.h"

#include <pthread.h>

namespace kivhost {

SignalWatcher::SignalWatcher() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  thread_ = std::thread([this] {
    int signal = 0;
    while (sigwait(&set_, &signal) == 0) {
      if (done_.load()) return;
      received_.store(signal);
      std::function<void()> onSignal;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        onSignal = onSignal_;
      }
      if (onSignal) onSignal();
    }
  });
}

SignalWatcher::~SignalWatcher() {
  done_.store(true);
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

void SignalWatcher::OnSignal(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  onSignal_ = std::move(fn);
}

}  // namespace kivhost
