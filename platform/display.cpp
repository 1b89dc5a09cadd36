#include "platform/display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace platform {
namespace {

// Connects to a unix socket, by path or (a leading '@') by abstract name.
bool connects(const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, name.data(), name.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (name[0] == '@') {
    address.sun_path[0] = '\0';
  } else {
    length += 1;  // the path's terminator
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

bool x_server_reachable(std::string_view display, std::string_view socket_dir) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view host = display.substr(0, colon);
  std::string_view number = display.substr(colon + 1);
  if (const std::size_t dot = number.find('.'); dot != std::string_view::npos) number = number.substr(0, dot);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) return false;
  if (!host.empty() && host != "unix") return true;
  const std::string socket = std::string(socket_dir) + "/X" + std::string(number);
  return connects(socket) || connects("@" + socket);
}

}  // namespace platform
