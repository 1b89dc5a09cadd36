#include "platform/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/system_error.h"

namespace platform {

Status list_folder(const std::string& path, std::vector<FolderEntry>* out) {
  out->clear();
  if (path.empty() || path.find('\0') != std::string::npos) return Status(syserr::path_not_found);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    // A missing folder is a path not found, whatever holds it.
    if (errno == ENOENT || errno == ENOTDIR) return Status(syserr::path_not_found);
    return Status(system_error_from_errno(errno));
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(fd);
    return Status(system_error_from_errno(err));
  }
  int error = 0;
  for (;;) {
    errno = 0;
    const struct dirent* d = ::readdir(dir);
    if (d == nullptr) {
      error = errno;
      break;
    }
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry e;
    e.name = name;
    struct stat st {};
    if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      e.link = true;
      if (::fstatat(fd, d->d_name, &st, 0) != 0) {
        out->push_back(std::move(e));  // leads nowhere
        continue;
      }
    } else if (::fstatat(fd, d->d_name, &st, 0) != 0) {
      continue;  // removed while we looked
    }
    e.kind = S_ISREG(st.st_mode) ? EntryKind::file : S_ISDIR(st.st_mode) ? EntryKind::folder : EntryKind::other;
    e.info.device = static_cast<std::uint64_t>(st.st_dev);
    e.info.inode = static_cast<std::uint64_t>(st.st_ino);
    e.info.directory = e.kind == EntryKind::folder;
    out->push_back(std::move(e));
  }
  ::closedir(dir);
  if (error != 0) {
    out->clear();
    return Status(system_error_from_errno(error, IoKind::read));
  }
  std::sort(out->begin(), out->end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return Status::success();
}

Status make_folders(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return Status(syserr::path_not_found);
  // Every prefix that ends before a "/", then the whole path.
  for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    const std::string part = path.substr(0, at);
    if (!part.empty() && part.back() != '/' && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      const int err = errno;
      return Status(err == ENOENT ? syserr::path_not_found : system_error_from_errno(err, IoKind::write));
    }
    if (at == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Status(syserr::path_not_found);
  return Status::success();
}

}  // namespace platform
