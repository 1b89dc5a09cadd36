#include "platform/session_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/signals.h"

namespace platform {
namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_seen = 0;
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void on_signal(int number) {
  if (g_seen != 0) {
    // The second: the default action, now, leaving no temporary file of
    // ours behind (signals.h).
    remove_files_registered_for_signals();
    ::signal(number, SIG_DFL);
    ::raise(number);
    return;
  }
  g_seen = number;
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  (void)!::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

int watch_session_signals() {
  if (g_pipe[0] >= 0) return g_pipe[0];
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
    return -1;
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);  // one handler at a time
  action.sa_flags = SA_RESTART;
  for (int s : kSignals) {
    if (::sigaction(s, &action, nullptr) != 0) return -1;
  }
  return g_pipe[0];
}

int take_session_signal() {
  if (g_pipe[0] < 0) return 0;
  unsigned char byte = 0;
  return ::read(g_pipe[0], &byte, 1) == 1 ? byte : 0;
}

}  // namespace platform
