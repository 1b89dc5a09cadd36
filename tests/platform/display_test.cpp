#include "platform/display.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/platform/temp_dir.h"

namespace {

TEST(DisplayTest, ALocalDisplayIsReachableWhenItsSocketTakesAConnection) {
  platform_test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("X7");
  const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(server, 4), 0);
  // A socket file that nobody listens on any more, as a crashed server leaves.
  const std::string stale = dir.file("X8");
  const int gone = ::socket(AF_UNIX, SOCK_STREAM, 0);
  std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(gone, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(gone);

  const struct {
    const char* display;
    bool reachable;
  } cases[] = {
      {":7", true},          {":7.0", true},  {"unix:7", true},  {":8", false}, {":9", false},
      {"far.example:0", true},  // another host: left to the toolkit
      {"", false},           {"7", false},    {":", false},      {":x", false}, {":7x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::x_server_reachable(c.display, dir.path()), c.reachable) << "'" << c.display << "'";
  }
  ::close(server);
}

}  // namespace
