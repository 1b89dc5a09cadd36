// Stopping the program with a signal: registered files go, released ones
// stay, a held signal waits for the hold to end, and the program still ends
// by the signal (its parent sees how it ended).
#include "platform/signals.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/platform/temp_dir.h"

namespace platform {
namespace {

TEST(SignalsTest, AStopRemovesWhatIsRegisteredAfterAnyHoldAndEndsByTheSignal) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    platform_test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string doomed = dir.file("doomed é");
    const std::string kept = dir.file("kept");
    const std::string after_hold = dir.file("after hold");
    std::ofstream(doomed) << "x";
    std::ofstream(kept) << "x";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);  // as a program starts
      RemovedOnSignal removed(doomed);
      { RemovedOnSignal released(kept); }
      {
        const SignalsHeld held;
        ::raise(sig);
        std::ofstream(after_hold) << "the signal waited";
      }
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_FALSE(std::filesystem::exists(doomed));
    EXPECT_TRUE(std::filesystem::exists(kept));
    EXPECT_TRUE(std::filesystem::exists(after_hold));
  }
}

}  // namespace
}  // namespace platform
