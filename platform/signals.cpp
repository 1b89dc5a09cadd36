#include "platform/signals.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace platform {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSlots = 64;

// Names to remove, each a malloc'd copy. A slot is emptied before its name
// is freed, and a name is never freed once the handler has started: the
// handler may be reading it on another thread, and the program ends anyway.
std::atomic<char*> g_names[kSlots];
std::atomic<bool> g_ending{false};
std::atomic<int> g_held{0};
std::atomic<int> g_pending{0};

void end_by(int sig) {
  remove_files_registered_for_signals();
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
}

// The signal is noted before the hold is looked at, and the last holder
// looks at the note after letting go, so that no signal falls between them.
extern "C" void on_signal(int sig) {
  g_pending.store(sig);
  if (g_held.load() > 0) return;
  end_by(sig);
}

// Looked at on every use, not once: whoever set a signal back to its
// default since (a child after fork) gets the handler again.
void install() {
  static std::mutex mu;
  const std::lock_guard<std::mutex> guard(mu);
  for (const int sig : kSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) continue;
    if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction ours {};
    ours.sa_handler = on_signal;
    ::sigemptyset(&ours.sa_mask);
    for (const int other : kSignals) ::sigaddset(&ours.sa_mask, other);
    ours.sa_flags = SA_RESTART;
    ::sigaction(sig, &ours, nullptr);
  }
}

}  // namespace

void remove_files_registered_for_signals() {
  g_ending.store(true);
  for (auto& slot : g_names) {
    if (char* name = slot.load()) ::unlink(name);
  }
}

RemovedOnSignal::RemovedOnSignal(const std::string& path) {
  install();
  char* copy = ::strdup(path.c_str());
  if (copy == nullptr) return;
  for (int i = 0; i < kSlots; ++i) {
    char* expected = nullptr;
    if (g_names[i].compare_exchange_strong(expected, copy)) {
      slot_ = i;
      return;
    }
  }
  ::free(copy);
}

RemovedOnSignal& RemovedOnSignal::operator=(RemovedOnSignal&& other) noexcept {
  if (this != &other) {
    release();
    slot_ = other.slot_;
    other.slot_ = -1;
  }
  return *this;
}

void RemovedOnSignal::release() {
  if (slot_ < 0) return;
  char* name = g_names[slot_].exchange(nullptr);
  slot_ = -1;
  if (!g_ending.load()) ::free(name);
}

SignalsHeld::SignalsHeld() {
  install();
  g_held.fetch_add(1);
}

SignalsHeld::~SignalsHeld() {
  if (g_held.fetch_sub(1) == 1) {
    if (const int sig = g_pending.exchange(0); sig != 0) end_by(sig);
  }
}

}  // namespace platform
