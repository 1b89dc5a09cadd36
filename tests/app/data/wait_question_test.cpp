// The question that lets the user end a wait for another program's lock.
#include "app/data/wait_question.h"

#include <gtest/gtest.h>

#include "tests/ui/gui_fixture.h"

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

}  // namespace
