// An Env that keeps its files in memory, for fast engine tests.
//
// It answers like the POSIX env: the same error numbers for the same
// mistakes (2 missing file, 3 missing directory, 5 directory or read-only
// file, 80 exclusive create of an existing file, 87 bad ranges), the same
// lock semantics between File objects (conflicts between different Files
// even on one thread, none within one File, conversion on re-lock, a
// waiting lock blocks until the range is free), and POSIX name semantics:
// removing or renaming a file that is open leaves the open Files working on
// the same contents, and locks belong to the contents, not to the name.
//
// The file system starts with only the root directory "/", which is also
// the current directory; make_directory adds more. ticks() and now() return
// whatever the test set (0 at the start).
//
// Thread-safe: any thread may call the env and its Files (each File still
// has one owner at a time). Files may outlive the env.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace platform {

class MemoryEnv final : public Env {
 public:
  MemoryEnv();
  ~MemoryEnv() override;
  MemoryEnv(const MemoryEnv&) = delete;
  MemoryEnv& operator=(const MemoryEnv&) = delete;

  Status open(const std::string& path, const OpenMode& mode, std::unique_ptr<File>* out) override;
  Status remove(const std::string& path) override;
  // Directories cannot be renamed (5); renaming onto a directory is 5 too.
  Status rename(const std::string& from, const std::string& to) override;
  bool exists(const std::string& path) override;
  Status full_path(const std::string& path, std::string* out) override;
  Status current_directory(std::string* out) override;
  Status set_current_directory(const std::string& path) override;
  // Nothing is ever lost here, so this only checks that the directory exists.
  Status sync_directory_of(const std::string& path) override;
  std::uint64_t ticks() override;
  std::int64_t now() override;

  // --- Test controls ---

  void set_ticks(std::uint64_t hundredths);
  void advance_ticks(std::uint64_t hundredths);
  void set_now(std::int64_t seconds);

  // Makes the directory and any missing parents. 3 when a component is a file.
  Status make_directory(const std::string& path);

  // Copies the whole contents of the file at path into *out; false (and *out
  // untouched) when no file is there.
  bool read_file(const std::string& path, std::string* out);
  // Creates or replaces the contents of the file at path (3 when its
  // directory is missing, 5 when path is a directory). Open Files see the
  // new contents.
  Status write_file(const std::string& path, std::string_view bytes);

  // A read-only file refuses opens for write access and exclusive locks
  // through Files opened for reading (5), as the POSIX env does when the
  // permissions allow no writing. 2/3 when there is no such file.
  Status set_read_only(const std::string& path, bool read_only);

  // Files cannot grow past this many bytes (default 1 GiB): a write that
  // would stores what fits and fails with 39, a truncate fails with 39.
  void set_max_file_size(std::uint64_t bytes);

  struct State;  // shared with the Files; defined in memory_env.cpp

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
