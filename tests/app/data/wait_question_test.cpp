// The question that lets the user end a wait for another program's lock.
#include "app/data/wait_question.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QWidget>
#include <csignal>

#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/layout.h"
#include "files/kestrel/pager.h"
#include "platform/env.h"
#include "tests/ui/gui_fixture.h"
#include "ui/task.h"

namespace {

using namespace std::chrono_literals;
using ui::Button;

class WaitQuestionTest : public gui_test::GuiTest {
 protected:
  std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
  app::WaitQuestion question{[this] { return now; }};
  // Calls the hook every 100 ms for `span`; false as soon as it says stop.
  bool wait(std::chrono::milliseconds span) {
    for (auto end = now + span; now < end; now += 100ms) {
      if (!question("/data/TRANSLAT.KSF")) return false;
    }
    return true;
  }
};

TEST_F(WaitQuestionTest, AsksAfterItsPatienceAndCancelEndsTheWait) {
  EXPECT_TRUE(wait(app::kWaitPatience - 100ms));
  EXPECT_TRUE(responder.messages().empty());
  responder.next_answer(Button::Retry);
  EXPECT_TRUE(wait(app::kWaitPatience));
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "File In Use");
  EXPECT_EQ(responder.messages()[0].text,
            "The file /data/TRANSLAT.KSF is in use by another program.  Do you want to keep waiting for it?");
  responder.next_answer(Button::Cancel);
  EXPECT_FALSE(wait(app::kWaitPatience + 100ms));
  EXPECT_EQ(responder.messages().size(), 2u);
}

TEST_F(WaitQuestionTest, EachNewWaitHasItsOwnPatience) {
  EXPECT_TRUE(wait(app::kWaitPatience - 500ms));
  now += 5s;  // that wait ended; another begins
  EXPECT_TRUE(wait(app::kWaitPatience - 500ms));
  EXPECT_TRUE(responder.messages().empty());
}

// Counts the paints a widget gets.
class PaintCounter final : public QObject {
 public:
  using QObject::QObject;
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    paints += e->type() == QEvent::Paint;
    return false;
  }
};

constexpr ui::WindowDef kWaiting{"test$WAITING", "Waiting", 10, 10, 80, 40, {}, {}, 0, {}};

ui::Task counting_procedure(int* events) {
  ui::Window w(kWaiting);
  while (co_await w.next_event()) ++*events;
}

// Another program (a real process) holds the writer byte of a data file;
// our write waits for it through the hook the driver keeps (and copies).
TEST_F(WaitQuestionTest, AnotherProgramsLockIsQuestionedAfterThePatienceAndTheWindowsArePainted) {
  app::use_file(dictionary::Translations);
  ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    std::unique_ptr<platform::File> f;
    char c = 'x';
    if (!platform::Env::posix()->open(file("TRANSLAT.KSF"), {platform::Access::read_write}, &f).ok() ||
        !f->lock(files::kestrel::layout::kWriterByte, 1, platform::LockKind::exclusive, false).ok()) {
      c = 'e';
    }
    (void)!::write(pipe_fds[1], &c, 1);
    ::sleep(20);  // until killed; a wait that never asks ends here, and fails
    ::_exit(0);
  }
  char ready = 0;
  ASSERT_EQ(::read(pipe_fds[0], &ready, 1), 1);
  ASSERT_EQ(ready, 'x');

  // Each call of the hook seen half a second later, so the patience runs
  // out after about ten of the driver's 100 ms pauses.
  files::kestrel::set_wait_hook(app::WaitQuestion([this] { return now += 500ms; }));
  int events = 0;
  ui::Task procedure = counting_procedure(&events);
  gui_test::pump();
  const int events_before = events;
  for (ui::Window* w : ui::Window::open_windows()) w->post(ui::events::kUser);
  QWidget shown_now;
  PaintCounter counter;
  shown_now.installEventFilter(&counter);
  shown_now.show();
  const auto start = now;

  responder.next_answer(Button::Cancel);
  dictionary::clear(dictionary::TRA);
  dictionary::TRA.translationtableid = 1;
  files::add(dictionary::Translations);
  EXPECT_EQ(files::ERRORCODE(), 5) << "Cancel ends the wait";
  ASSERT_EQ(responder.messages().size(), 1u);
  EXPECT_EQ(responder.messages()[0].caption, "File In Use");
  EXPECT_GE(now - start, app::kWaitPatience);
  EXPECT_LT(now - start, app::kWaitPatience + 2s) << "asked once the patience ran out, not later";
  EXPECT_GT(counter.paints, 0) << "painted while waiting";
  EXPECT_EQ(events, events_before) << "no procedure ran inside the file operation";
  gui_test::pump();
  EXPECT_GT(events, events_before) << "held events come once the operation is over";

  files::kestrel::set_wait_hook(nullptr);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  app::release_file(dictionary::Translations);
}

}  // namespace
