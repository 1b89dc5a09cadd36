// Two programs adding lines to one shared text file at the same time.
//
// The test needs real processes, so it forks; that is the only reason it
// reaches for <unistd.h> and <sys/wait.h>.
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "tests/files/textline/text_file_fixture.h"

namespace files::textline_test {
namespace {

constexpr int kLinesPerWriter = 2000;

std::string line_of(int writer, int n) {
  // Lines of varying length, so that writes straddle buffer boundaries in
  // every possible way.
  std::string text = "writer " + std::to_string(writer) + " line " + std::to_string(n) + " ";
  text.append(static_cast<std::size_t>(n % 37), static_cast<char>('a' + writer));
  return text + "|";
}

// Runs in the child: opens its own handle (locks belong to the open file, so
// nothing may be inherited from the parent) and adds its lines.
int write_lines(const std::string& file_name, int writer) {
  TextFile f(file_name, 80);
  share(f.fd, 0x42);
  if (ERRORCODE() != 0) return 10;
  for (int n = 0; n < kLinesPerWriter; ++n) {
    f.set(line_of(writer, n));
    add(f.fd);
    if (ERRORCODE() != 0) return 11;
  }
  close(f.fd);
  return ERRORCODE() == 0 ? 0 : 12;
}

class ConcurrencyTest : public TextLineTest {};

TEST_F(ConcurrencyTest, TwoProcessesAddingToASharedFileLoseNoLine) {
  const std::string file_name = path("shared.txt");
  write_bytes(file_name, "");
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(write_lines(file_name, writer));
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  std::map<std::string, int> seen;
  TextFile f(file_name, 80);
  open(f.fd, 0x20);
  ASSERT_EQ(ERRORCODE(), 0);
  const auto lines = read_all(f);
  EXPECT_EQ(ERRORCODE(), 33);
  for (const std::string& line : lines) ++seen[line];
  EXPECT_EQ(lines.size(), 2u * kLinesPerWriter);
  for (int writer = 0; writer < 2; ++writer) {
    for (int n = 0; n < kLinesPerWriter; ++n) {
      EXPECT_EQ(seen[line_of(writer, n)], 1) << line_of(writer, n);
    }
  }
  // Each writer's own lines stay in the order it wrote them.
  int expected_next[2] = {0, 0};
  for (const std::string& line : lines) {
    const int writer = line[7] - '0';
    ASSERT_TRUE(writer == 0 || writer == 1) << line;
    EXPECT_EQ(line, line_of(writer, expected_next[writer]));
    ++expected_next[writer];
  }
}

}  // namespace
}  // namespace files::textline_test
