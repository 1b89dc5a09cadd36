#include "platform/memory_env.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <set>
#include <vector>

#include "platform/path.h"
#include "platform/system_error.h"

namespace platform {

namespace {

// One lock held by one File; last is inclusive so that a range ending at
// max_file_offset needs no overflowing end.
struct LockRange {
  std::uint64_t owner;
  std::uint64_t first;
  std::uint64_t last;
  LockKind kind;
};

struct Node {
  std::string data;
  bool read_only = false;
  std::vector<LockRange> locks;
};

bool range_ok(std::uint64_t offset, std::uint64_t length) {
  return length != 0 && offset <= max_file_offset && length - 1 <= max_file_offset - offset;
}

bool conflicts(const Node& node, std::uint64_t owner, std::uint64_t first, std::uint64_t last, LockKind kind) {
  return std::any_of(node.locks.begin(), node.locks.end(), [&](const LockRange& held) {
    return held.owner != owner && held.first <= last && first <= held.last &&
           (kind == LockKind::exclusive || held.kind == LockKind::exclusive);
  });
}

// Takes [first, last] out of owner's locks, splitting a lock that sticks out
// on either side.
void release_range(Node* node, std::uint64_t owner, std::uint64_t first, std::uint64_t last) {
  std::vector<LockRange> kept;
  kept.reserve(node->locks.size() + 1);
  for (const LockRange& held : node->locks) {
    if (held.owner != owner || held.last < first || last < held.first) {
      kept.push_back(held);
      continue;
    }
    if (held.first < first) kept.push_back({owner, held.first, first - 1, held.kind});
    if (held.last > last) kept.push_back({owner, last + 1, held.last, held.kind});
  }
  node->locks.swap(kept);
}

}  // namespace

struct MemoryEnv::State {
  std::mutex mu;
  std::condition_variable lock_released;
  std::map<std::string, std::shared_ptr<Node>> files;  // by full path
  std::set<std::string> directories{"/"};
  std::string cwd = "/";
  std::uint64_t next_owner = 1;
  std::uint64_t max_file_size = std::uint64_t{1} << 30;
  std::atomic<std::uint64_t> ticks{0};
  std::atomic<std::int64_t> now{0};

  // Caller holds mu.
  Status resolve(const std::string& path, std::string* full) const {
    if (!normalize_path(cwd, path, full)) return Status(syserr::path_not_found);
    return Status::success();
  }

  // 2 or 3 for a full path at which nothing is found. Caller holds mu.
  int missing(const std::string& full) const {
    return directories.count(parent_directory(full)) != 0 ? syserr::file_not_found : syserr::path_not_found;
  }
};

namespace {

using State = MemoryEnv::State;

class MemoryFile final : public File {
 public:
  MemoryFile(std::shared_ptr<State> state, std::shared_ptr<Node> node, std::uint64_t owner, std::string path,
             Access access, bool append)
      : state_(std::move(state)),
        node_(std::move(node)),
        owner_(owner),
        path_(std::move(path)),
        access_(access),
        append_(append) {}

  ~MemoryFile() override {
    std::lock_guard<std::mutex> guard(state_->mu);
    release_range(node_.get(), owner_, 0, max_file_offset);
    state_->lock_released.notify_all();
  }

  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  Status read_at(std::uint64_t offset, void* buf, std::size_t n, std::size_t* got) override {
    std::size_t done = 0;
    Status result;
    if (access_ == Access::write) {
      result = Status(syserr::access_denied);
    } else if (offset > max_file_offset || (n != 0 && buf == nullptr)) {
      result = Status(syserr::invalid_parameter);
    } else {
      std::lock_guard<std::mutex> guard(state_->mu);
      const std::string& data = node_->data;
      if (offset < data.size()) {
        done = static_cast<std::size_t>(std::min<std::uint64_t>(n, data.size() - offset));
        std::copy_n(data.data() + offset, done, static_cast<char*>(buf));
      }
    }
    if (got != nullptr) *got = done;
    return result;
  }

  Status write_at(std::uint64_t offset, const void* buf, std::size_t n, std::size_t* written) override {
    std::size_t done = 0;
    Status result;
    if (access_ == Access::read) {
      result = Status(syserr::access_denied);
    } else if (n != 0 && (buf == nullptr || !range_ok(offset, n))) {
      result = Status(syserr::invalid_parameter);
    } else if (n != 0) {
      std::lock_guard<std::mutex> guard(state_->mu);
      if (append_) offset = node_->data.size();
      const std::uint64_t limit = state_->max_file_size;
      done = n;
      if (offset >= limit) {
        done = 0;
      } else if (n > limit - offset) {
        done = static_cast<std::size_t>(limit - offset);
      }
      if (done != 0) {
        std::string& data = node_->data;
        try {
          if (data.size() < offset + done) data.resize(static_cast<std::size_t>(offset + done));
        } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
          done = 0;
          result = Status(syserr::insufficient_memory);
        }
        if (done != 0) std::copy_n(static_cast<const char*>(buf), done, data.data() + offset);
      }
      if (result.ok() && done < n) result = Status(syserr::disk_full);
    }
    if (written != nullptr) *written = done;
    return result;
  }

  Status size(std::uint64_t* out) override {
    std::lock_guard<std::mutex> guard(state_->mu);
    *out = node_->data.size();
    return Status::success();
  }

  Status truncate(std::uint64_t size) override {
    if (access_ == Access::read) return Status(syserr::access_denied);
    if (size > max_file_offset) return Status(syserr::invalid_parameter);
    std::lock_guard<std::mutex> guard(state_->mu);
    if (size > state_->max_file_size) return Status(syserr::disk_full);
    try {
      node_->data.resize(static_cast<std::size_t>(size));
    } catch (const std::exception&) {
      return Status(syserr::insufficient_memory);
    }
    return Status::success();
  }

  Status sync() override { return Status::success(); }

  Status lock(std::uint64_t offset, std::uint64_t length, LockKind kind, bool wait) override {
    if (!range_ok(offset, length)) return Status(syserr::invalid_parameter);
    const std::uint64_t last = offset + (length - 1);
    std::unique_lock<std::mutex> guard(state_->mu);
    // Mirrors the POSIX env: its descriptor is read/write unless the
    // permissions forbid writing, and then it can carry no write lock.
    if (kind == LockKind::exclusive && access_ == Access::read && node_->read_only) {
      return Status(syserr::access_denied);
    }
    while (conflicts(*node_, owner_, offset, last, kind)) {
      if (!wait) return Status(syserr::lock_violation);
      state_->lock_released.wait(guard);
    }
    release_range(node_.get(), owner_, offset, last);
    node_->locks.push_back({owner_, offset, last, kind});
    // A conversion to shared may let waiting readers in.
    if (kind == LockKind::shared) state_->lock_released.notify_all();
    return Status::success();
  }

  Status unlock(std::uint64_t offset, std::uint64_t length) override {
    if (!range_ok(offset, length)) return Status(syserr::invalid_parameter);
    std::lock_guard<std::mutex> guard(state_->mu);
    release_range(node_.get(), owner_, offset, offset + (length - 1));
    state_->lock_released.notify_all();
    return Status::success();
  }

  const std::string& path() const override { return path_; }

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<Node> node_;
  std::uint64_t owner_;
  std::string path_;
  Access access_;
  bool append_;
};

}  // namespace

MemoryEnv::MemoryEnv() : state_(std::make_shared<State>()) {}
MemoryEnv::~MemoryEnv() = default;

Status MemoryEnv::open(const std::string& path, const OpenMode& mode, std::unique_ptr<File>* out) {
  if (mode.truncate && mode.access == Access::read) return Status(syserr::invalid_parameter);
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->resolve(path, &full); !s.ok()) return s;
  if (state_->directories.count(full) != 0) return Status(syserr::access_denied);
  auto it = state_->files.find(full);
  if (it == state_->files.end()) {
    if (!mode.create) return Status(state_->missing(full));
    if (state_->directories.count(parent_directory(full)) == 0) return Status(syserr::path_not_found);
    it = state_->files.emplace(full, std::make_shared<Node>()).first;
  } else {
    if (mode.create && mode.exclusive) return Status(syserr::file_exists);
    if (it->second->read_only && mode.access != Access::read) return Status(syserr::access_denied);
    if (mode.truncate) it->second->data.clear();
  }
  *out = std::make_unique<MemoryFile>(state_, it->second, state_->next_owner++, path, mode.access, mode.append);
  return Status::success();
}

Status MemoryEnv::remove(const std::string& path) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->resolve(path, &full); !s.ok()) return s;
  if (state_->directories.count(full) != 0) return Status(syserr::access_denied);
  if (state_->files.erase(full) == 0) return Status(state_->missing(full));
  return Status::success();
}

Status MemoryEnv::rename(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string source;
  std::string target;
  if (const Status s = state_->resolve(from, &source); !s.ok()) return s;
  if (const Status s = state_->resolve(to, &target); !s.ok()) return s;
  if (state_->directories.count(source) != 0 || state_->directories.count(target) != 0) {
    return Status(syserr::access_denied);
  }
  auto it = state_->files.find(source);
  if (it == state_->files.end()) return Status(state_->missing(source));
  if (state_->directories.count(parent_directory(target)) == 0) return Status(syserr::path_not_found);
  if (source == target) return Status::success();
  auto node = it->second;
  state_->files.erase(it);
  state_->files[target] = std::move(node);
  return Status::success();
}

bool MemoryEnv::exists(const std::string& path) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (!state_->resolve(path, &full).ok()) return false;
  return state_->files.count(full) != 0 || state_->directories.count(full) != 0;
}

Status MemoryEnv::full_path(const std::string& path, std::string* out) {
  std::lock_guard<std::mutex> guard(state_->mu);
  return state_->resolve(path, out);
}

Status MemoryEnv::current_directory(std::string* out) {
  std::lock_guard<std::mutex> guard(state_->mu);
  *out = state_->cwd;
  return Status::success();
}

Status MemoryEnv::set_current_directory(const std::string& path) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->resolve(path, &full); !s.ok()) return s;
  if (state_->directories.count(full) == 0) {
    if (state_->files.count(full) != 0) return Status(syserr::path_not_found);
    return Status(state_->missing(full));
  }
  state_->cwd = full;
  return Status::success();
}

Status MemoryEnv::sync_directory_of(const std::string& path) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->resolve(path, &full); !s.ok()) return s;
  if (state_->directories.count(parent_directory(full)) == 0) return Status(syserr::path_not_found);
  return Status::success();
}

std::uint64_t MemoryEnv::ticks() { return state_->ticks.load(); }
std::int64_t MemoryEnv::now() { return state_->now.load(); }
void MemoryEnv::set_ticks(std::uint64_t hundredths) { state_->ticks.store(hundredths); }
void MemoryEnv::advance_ticks(std::uint64_t hundredths) { state_->ticks.fetch_add(hundredths); }
void MemoryEnv::set_now(std::int64_t seconds) { state_->now.store(seconds); }

Status MemoryEnv::make_directory(const std::string& path) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->resolve(path, &full); !s.ok()) return s;
  std::vector<std::string> chain;
  for (std::string dir = full; dir != "/"; dir = parent_directory(dir)) chain.push_back(dir);
  for (const auto& dir : chain) {
    if (state_->files.count(dir) != 0) return Status(syserr::path_not_found);
  }
  state_->directories.insert(chain.begin(), chain.end());
  return Status::success();
}

bool MemoryEnv::read_file(const std::string& path, std::string* out) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (!state_->resolve(path, &full).ok()) return false;
  const auto it = state_->files.find(full);
  if (it == state_->files.end()) return false;
  *out = it->second->data;
  return true;
}

Status MemoryEnv::write_file(const std::string& path, std::string_view bytes) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->resolve(path, &full); !s.ok()) return s;
  if (state_->directories.count(full) != 0) return Status(syserr::access_denied);
  if (state_->directories.count(parent_directory(full)) == 0) return Status(syserr::path_not_found);
  auto& node = state_->files[full];
  if (!node) node = std::make_shared<Node>();
  node->data.assign(bytes.begin(), bytes.end());
  return Status::success();
}

Status MemoryEnv::set_read_only(const std::string& path, bool read_only) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->resolve(path, &full); !s.ok()) return s;
  const auto it = state_->files.find(full);
  if (it == state_->files.end()) return Status(state_->missing(full));
  it->second->read_only = read_only;
  return Status::success();
}

void MemoryEnv::set_max_file_size(std::uint64_t bytes) {
  std::lock_guard<std::mutex> guard(state_->mu);
  state_->max_file_size = bytes;
}

}  // namespace platform
