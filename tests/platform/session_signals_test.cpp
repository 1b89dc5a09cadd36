#include "platform/session_signals.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/signals.h"
#include "tests/platform/temp_dir.h"

namespace {

// In a child of its own per signal (handlers are for the whole process):
// the first signal only makes the pipe readable and is read back once; the
// second ends the process as the signal does by default, removing the
// temporary file the program registered.
TEST(SessionSignalsTest, FirstSignalIsReadFromThePipeSecondEndsTheProcess) {
  platform_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string doomed = dir.file("part \xC3\xA9.tmp");
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    std::ofstream(doomed) << "x";
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(report[0]);
      const int fd = platform::watch_session_signals();
      const platform::RemovedOnSignal removed(doomed);
      char verdict = fd >= 0 && platform::watch_session_signals() == fd && platform::take_session_signal() == 0
                         ? 'y'
                         : 'n';
      ::raise(number);  // handled: the process goes on
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) verdict = 'n';
      if (platform::take_session_signal() != number || platform::take_session_signal() != 0) verdict = 'n';
      (void)!::write(report[1], &verdict, 1);
      ::raise(number);
      ::_exit(0);  // not reached when the second signal ends the process
    }
    ::close(report[1]);
    char verdict = 0;
    EXPECT_EQ(::read(report[0], &verdict, 1), 1);
    ::close(report[0]);
    EXPECT_EQ(verdict, 'y') << "signal " << number;
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << "signal " << number << ", status " << status;
    EXPECT_FALSE(std::filesystem::exists(doomed)) << "signal " << number;
  }
}

}  // namespace
