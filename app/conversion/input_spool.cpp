#include "app/conversion/input_spool.h"

#include <random>
#include <vector>

#include "app/conversion/text_output.h"
#include "files/textline/textline_driver.h"
#include "platform/system_error.h"

namespace conversion {
namespace {

constexpr std::size_t kChunk = 256 * 1024;

}  // namespace

InputSpool::~InputSpool() { drop(); }

void InputSpool::drop() {
  file_.reset();
  if (!named_.empty()) (void)files::textline_env()->remove(named_);
  named_.clear();
  guard_.release();
  path_.clear();
}

bool InputSpool::fill(const ReadFn& read, const std::string& shown, std::uint64_t largest) {
  drop();
  error_.clear();
  platform::Env* env = files::textline_env();
  const std::string folder = platform::temporary_directory();
  auto fail = [&](const std::string& message) {
    error_ = message;
    drop();
    return false;
  };
  const std::string keeping = "cannot keep " + shown + " in " + folder + ": ";
  platform::Status st = env->open_unnamed(folder, 0600, &file_);
  if (st.error == platform::syserr::not_supported) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
      char name[40];
      std::snprintf(name, sizeof name, "/markfit-%08x.stdin", static_cast<unsigned>(random()));
      platform::OpenMode how;
      how.access = platform::Access::read_write;
      how.create = true;
      how.exclusive = true;
      how.permissions = 0600;
      st = env->open(folder + name, how, &file_);
      if (st.ok()) {
        named_ = folder + name;
        guard_ = platform::RemovedOnSignal(named_);
        break;
      }
      if (st.error != platform::syserr::file_exists) break;
    }
  }
  if (!st.ok()) return fail(keeping + system_error_text(st.error));

  std::vector<char> chunk(kChunk);
  for (std::uint64_t at = 0;;) {
    // Never more than one byte past the bound: a larger input is refused
    // as soon as that byte comes, not after all of it was read.
    const std::uint64_t room = largest + 1 - at;
    std::size_t got = 0;
    if (const platform::Status r = read(chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), room)), &got);
        !r.ok()) {
      return fail("cannot read " + shown + ": " + system_error_text(r.error));
    }
    if (got == 0) break;
    if (at + got > largest) {
      return fail(shown + " is 4 GiB or more; inputs of 4 GiB or more are not supported");
    }
    if (const platform::Status w = file_->write_at(at, chunk.data(), got); !w.ok()) {
      return fail(keeping + system_error_text(w.error));
    }
    at += got;
  }
  path_ = named_.empty() ? file_->path() : named_;
  return true;
}

}  // namespace conversion
