#include "cli/working_directory.h"

#include "platform/env.h"
#include "runtime/messages.h"

namespace cli {

WorkingDirectory::WorkingDirectory() { ok_ = platform::Env::posix()->current_directory(&saved_).ok(); }

WorkingDirectory::~WorkingDirectory() {
  if (ok_) (void)platform::Env::posix()->set_current_directory(saved_);
}

void WorkingDirectory::make_full(std::string& path) {
  std::string full;
  if (!path.empty() && path != "-" && platform::Env::posix()->full_path(path, &full).ok()) path = full;
}

void WorkingDirectory::make_full(std::optional<std::string>& path) {
  if (path) make_full(*path);
}

std::string WorkingDirectory::enter(const std::string& directory) {
  const platform::Status st = platform::Env::posix()->set_current_directory(directory);
  if (st.ok()) return {};
  return "cannot use the directory '" + directory + "': " + runtime::system_error_text(st.error);
}

std::string WorkingDirectory::current() {
  std::string directory;
  (void)platform::Env::posix()->current_directory(&directory);
  return directory;
}

}  // namespace cli
