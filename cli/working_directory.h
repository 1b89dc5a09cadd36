// -C DIR, as every command that reads or writes files takes it: the names on
// the command line are the caller's, so they are made full against the folder
// the command started in before it moves, and that folder comes back however
// the command ends (the commands also run inside the tests' process).
#pragma once

#include <optional>
#include <string>

namespace cli {

class WorkingDirectory {
 public:
  WorkingDirectory();
  ~WorkingDirectory();
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  // `path` made full against the current folder; "-" (standard input or
  // output), an empty name, no name and a name the system cannot make full
  // stay as they are.
  static void make_full(std::string& path);
  static void make_full(std::optional<std::string>& path);

  // Moves into `directory`: "" or the message that says why it cannot.
  static std::string enter(const std::string& directory);

  // The folder the command works in now.
  static std::string current();

 private:
  std::string saved_;
  bool ok_ = false;
};

}  // namespace cli
