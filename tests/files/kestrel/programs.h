// Real programs for the keyed driver's tests: a test forks children that
// open the same files on disk through their own file objects, so that locks,
// journals and transactions meet as they do between two running programs
// (not as two objects of one process would).
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "tests/files/kestrel/kestrel_fixture.h"

namespace files::kestrel_test {

// A one-way pipe between two programs: one says a letter, the other waits
// for it.
class Channel {
 public:
  Channel() {
    if (::pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Channel() {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  void say(char c) { (void)!::write(fds_[1], &c, 1); }
  // The next letter, or 0 when none came within the time (or the other
  // side is gone).
  char hear(int milliseconds = 20000) {
    pollfd p{fds_[0], POLLIN, 0};
    if (::poll(&p, 1, milliseconds) != 1) return 0;
    char c = 0;
    return ::read(fds_[0], &c, 1) == 1 ? c : 0;
  }

 private:
  int fds_[2];
};

// Runs `body` as another program and returns its process id; its exit
// status is body's result. The child opens files through a registry of its
// own (the objects it inherited belong to the parent's open files) and
// leaves without running the parent's exit handlers.
inline pid_t start_program(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  set_kestrel_env(nullptr);
  set_kestrel_registry(new kestrel::FileRegistry);  // lives as long as the child
  clear_error();
  const int code = body();
  ::_exit(code);
}

// The program's exit status, 128 + the signal when one ended it.
inline int finish_program(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

inline double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Files on a real disk, in a fresh directory per test.
class ProgramsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    setenv("MARKFIT_PROFILE", dir_.file("no-profile.ini").c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    set_kestrel_env(nullptr);
    set_kestrel_registry(nullptr);
    kestrel::set_control_file(dir_.file("kestrel.tcf"));
    clear_error();
  }
  void TearDown() override { set_kestrel_registry(nullptr); }

  std::string path(std::string_view name) const { return dir_.file(name); }

  // Makes the file with its table and leaves it closed.
  template <class File>
  void make(File& f) {
    create(f.fd);
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
  }

  platform_test::TempDir dir_;
};

}  // namespace files::kestrel_test
