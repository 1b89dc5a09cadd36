#include "app/data/wait_question.h"

#include "files/kestrel/pager.h"
#include "ui/services.h"

namespace app {
namespace {

// The driver asks about ten times a second; a gap longer than this means
// the wait it asked about has ended and a new one began.
constexpr std::chrono::milliseconds kSameWait{1000};

}  // namespace

WaitQuestion::WaitQuestion(Clock clock) : clock_(std::move(clock)) {}

bool WaitQuestion::operator()(const std::string& path) {
  const auto now = clock_();
  if (last_call_ == std::chrono::steady_clock::time_point{} || now - last_call_ > kSameWait) ask_at_ = now + kWaitPatience;
  last_call_ = now;
  if (now < ask_at_) return true;
  const ui::Button answer =
      ui::message("The file " + path + " is in use by another program.  Do you want to keep waiting for it?",
                  "File In Use", ui::MessageIcon::Question, ui::Button::Retry | ui::Button::Cancel, ui::Button::Retry);
  // The time the box was up is no part of the next patience.
  last_call_ = clock_();
  ask_at_ = last_call_ + kWaitPatience;
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
