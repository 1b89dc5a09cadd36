#include "app/data/wait_question.h"

#include "files/kestrel/pager.h"
#include "ui/services.h"
#include "ui/window.h"

namespace app {
namespace {

// The driver asks about ten times a second; a gap longer than this means
// the wait it asked about has ended and a new one began.
constexpr std::chrono::milliseconds kSameWait{1000};

}  // namespace

WaitQuestion::WaitQuestion(Clock clock) : clock_(std::move(clock)) {}

bool WaitQuestion::operator()(const std::string& path) {
  Timing& t = *timing_;
  const auto now = clock_();
  if (t.last_call == std::chrono::steady_clock::time_point{} || now - t.last_call > kSameWait) {
    t.ask_at = now + kWaitPatience;
  }
  t.last_call = now;
  if (now < t.ask_at) {
    ui::paint_windows();
    return true;
  }
  // The question's own event loop must not run another procedure in the
  // middle of the file operation that waits.
  const ui::ProcedureHold hold;
  const ui::Button answer =
      ui::message("The file " + ui::system_text(path) +
                      " is in use by another program.  Do you want to keep waiting for it?",
                  "File In Use", ui::MessageIcon::Question, ui::Button::Retry | ui::Button::Cancel, ui::Button::Retry);
  // The time the box was up is no part of the next patience.
  t.last_call = clock_();
  t.ask_at = t.last_call + kWaitPatience;
  return answer == ui::Button::Retry;
}

void install_wait_question(bool on) {
  if (on) {
    files::kestrel::set_wait_hook(WaitQuestion());
  } else {
    files::kestrel::set_wait_hook(nullptr);
  }
}

}  // namespace app
