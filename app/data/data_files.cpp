#include "app/data/data_files.h"

#include <string>
#include <thread>

#include "app/dictionary/dictionary.h"
#include "app/data/standard_messages.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "platform/env.h"

namespace app {
namespace {

constexpr std::uint32_t kShared = 0x42;  // read/write, others may read and write

bool refused(std::int32_t code) { return code == 32 || code == 5; }

// The disk file the driver makes for `file`: its resolved name without a
// table part.
std::string disk_path(files::FileDescriptor& file) {
  std::string name = files::name(file);
  const auto marker = name.find("\\!");
  if (marker != std::string::npos) name.erase(marker);
  return name;
}

// Opens, waiting out a refusal (another program's lock) for kRetryTime,
// and, when `missing_too`, also a file whose table is not there yet.
void open_waiting(files::FileDescriptor& file, bool missing_too) {
  const auto deadline = std::chrono::steady_clock::now() + kRetryTime;
  for (;;) {
    files::open(file, kShared);
    const std::int32_t code = files::ERRORCODE();
    if (!(refused(code) || (missing_too && code == 2)) || std::chrono::steady_clock::now() >= deadline) return;
    // Permissions do not change by waiting; the error stays posted.
    if (code == 5) {
      const files::ErrorState posted = files::save_error_state();
      const bool ours_to_write = system_lets_write(file);
      files::restore_error_state(posted);
      if (!ours_to_write) return;
    }
    std::this_thread::sleep_for(kRetryPause);
  }
}

// Claims the making of the file: true when this program made the empty
// disk file (so it alone creates the table in it), false when something
// is at that path already. Any other failure is left to the create.
bool claim(files::FileDescriptor& file) {
  platform::OpenMode mode;
  mode.access = platform::Access::read_write;
  mode.create = true;
  mode.exclusive = true;
  std::unique_ptr<platform::File> made;
  const platform::Status s = files::kestrel_env()->open(disk_path(file), mode, &made);
  return s.ok() || s.error != 80;
}

// Makes the missing file and opens it (step 3, error 2).
void create_and_open(files::FileDescriptor& file) {
  if (claim(file)) {
    files::create(file);
    if (files::ERRORCODE() != 0) standard_message(msg::kFileCreationError, files::name(file));
    files::open(file, kShared);
  } else {
    // Another program made it just now: open what it makes, give it time to
    // write the table, and make the table only if it never comes.
    open_waiting(file, true);
    if (files::ERRORCODE() == 2) {
      files::create(file);
      if (files::ERRORCODE() != 0) standard_message(msg::kFileCreationError, files::name(file));
      files::open(file, kShared);
    }
  }
  const std::int32_t code = files::ERRORCODE();
  if (code != 0 && code != 52) standard_message(msg::kCreatedFileOpenError, files::name(file));
}

}  // namespace

bool system_lets_write(files::FileDescriptor& file) {
  platform::OpenMode mode;
  mode.access = platform::Access::read_write;
  std::unique_ptr<platform::File> opened;
  const platform::Status s = files::kestrel_env()->open(disk_path(file), mode, &opened);
  return s.ok() || s.error == 2;
}

void checked_open(files::FileDescriptor& file) {
  open_waiting(file, false);
  switch (files::ERRORCODE()) {
    case 0:
    case 52:
      return;
    case 2:
      create_and_open(file);
      return;
    case 47:
      standard_message(msg::kInvalidFile, files::name(file));
      return;  // not reached: message 1 ends the program
    case 46:
      standard_message(msg::kInvalidKey, files::name(file));  // No ends the program
      files::build(file);
      if (files::ERRORCODE() != 0) standard_message(msg::kKeyRebuildError, files::name(file));
      files::open(file, kShared);
      break;
    default:
      break;
  }
  const std::int32_t code = files::ERRORCODE();
  if (code == 0 || code == 52) return;
  standard_message(msg::kFileAccessError, files::name(file));
  end_program("Disk Error");
}

void use_file(files::FileDescriptor& file) {
  std::int32_t& count = dictionary::usage_count(file);
  if (count == 0) checked_open(file);
  ++count;
}

void release_file(files::FileDescriptor& file) {
  std::int32_t& count = dictionary::usage_count(file);
  if (count <= 0) return;
  if (--count == 0) files::close(file);
}

}  // namespace app
