#include "signal_watcher.h"

#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace kivhost {

#if defined(_WIN32)

namespace {

std::atomic<SignalWatcher*> activeWatcher{nullptr};

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  SignalWatcher* watcher = activeWatcher.load();
  if (watcher == nullptr) return FALSE;
  watcher->Deliver(event == CTRL_C_EVENT ? SIGINT : SIGTERM);
  return TRUE;
}

}  // namespace

SignalWatcher::SignalWatcher() {
  activeWatcher.store(this);
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

SignalWatcher::~SignalWatcher() {
  SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
  activeWatcher.store(nullptr);
}

#else

SignalWatcher::SignalWatcher() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  thread_ = std::thread([this] {
    int signal = 0;
    while (sigwait(&set_, &signal) == 0) {
      if (done_.load()) return;
      Deliver(signal);
    }
  });
}

SignalWatcher::~SignalWatcher() {
  done_.store(true);
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

#endif

void SignalWatcher::Deliver(int signal) {
  received_.store(signal);
  std::function<void()> onSignal;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    onSignal = onSignal_;
  }
  if (onSignal) onSignal();
}

void SignalWatcher::OnSignal(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  onSignal_ = std::move(fn);
}

}  // namespace kivhost
