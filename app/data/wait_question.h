// Waiting for another program. When a data file stays locked by another
// program (it holds a transaction, or it hangs), the keyed driver waits for
// it; this lets the user end such a wait instead of watching a frozen
// window: after kWaitPatience of one wait the user is asked whether to keep
// waiting. Retry waits on (and asks again after as long again), Cancel ends
// the wait: the operation then fails with 5 ("Access Denied") and the
// procedure reports it with its usual message.
//
// While it waits the program's windows are painted (nothing else runs:
// no procedure, no input), so the program never looks dead.
//
// UI thread only; the question goes through the window engine's responder.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace app {

inline constexpr std::chrono::milliseconds kWaitPatience{5000};

class WaitQuestion {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit WaitQuestion(Clock clock = [] { return std::chrono::steady_clock::now(); });

  // Called by the driver again and again while one wait goes on: true to
  // go on waiting. A call long after the last one begins a new wait.
  // Copies share one timing: whoever keeps the hook may call a copy.
  bool operator()(const std::string& path);

 private:
  struct Timing {
    std::chrono::steady_clock::time_point last_call{};
    std::chrono::steady_clock::time_point ask_at{};
  };
  Clock clock_;
  std::shared_ptr<Timing> timing_ = std::make_shared<Timing>();
};

// Makes the keyed driver ask so (program start); `on` false stops asking.
void install_wait_question(bool on = true);

}  // namespace app
