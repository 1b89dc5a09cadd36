#include "platform/fault_env.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/path.h"
#include "platform/system_error.h"

namespace platform {

namespace {

// One change since the last sync: a write of `bytes` at `offset`, or, when
// is_truncate, a truncate to `offset` bytes.
struct Change {
  bool is_truncate = false;
  std::uint64_t offset = 0;
  std::string bytes;
};

// The contents behind one or more names, the way a disk sees them.
struct Inode {
  std::string durable;
  std::vector<Change> pending;
};

struct Handle {
  std::unique_ptr<File> base;
  std::uint64_t inode = 0;
  bool append = false;  // every write lands at the end, whatever its offset
  bool dead = false;   // the power went; the base File is closed
  int sync_error = 0;  // the first failed sync, kept for every later one
};

std::uint64_t splitmix64(std::uint64_t* state) {
  std::uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Sizes stay below max_file_offset (the base env checked every change), so
// the conversions below are exact on a 64-bit size_t.
void apply_bytes(std::string* image, std::uint64_t offset, std::string_view bytes) {
  if (bytes.empty()) return;
  const auto end = static_cast<std::size_t>(offset + bytes.size());
  if (image->size() < end) image->resize(end);
  std::copy(bytes.begin(), bytes.end(), image->begin() + static_cast<std::ptrdiff_t>(offset));
}

void apply_change(std::string* image, const Change& change) {
  if (change.is_truncate) {
    image->resize(static_cast<std::size_t>(change.offset));
  } else {
    apply_bytes(image, change.offset, change.bytes);
  }
}

// Lands the write one whole sector at a time, each by a coin of the seed.
void apply_torn(std::string* image, const Change& change, std::uint64_t* rng) {
  const std::uint64_t begin = change.offset;
  const std::uint64_t end = change.offset + change.bytes.size();
  if (begin == end) return;
  for (std::uint64_t sector = begin / sector_size; sector <= (end - 1) / sector_size; ++sector) {
    if ((splitmix64(rng) & 1) == 0) continue;
    const std::uint64_t lo = std::max(begin, sector * sector_size);
    const std::uint64_t hi = std::min(end, (sector + 1) * sector_size);
    apply_bytes(image, lo, std::string_view(change.bytes).substr(lo - begin, hi - lo));
  }
}

bool in_directory(const std::string& full, const std::string& dir) { return parent_directory(full) == dir; }

}  // namespace

struct FaultEnv::State {
  std::mutex mu;
  Env* base;
  std::uint64_t rng;
  bool names_need_sync = true;

  std::map<std::uint64_t, Inode> inodes;
  std::uint64_t next_inode = 1;
  std::map<std::string, std::uint64_t> current;  // full path -> inode, as the names are now
  std::map<std::string, std::uint64_t> durable;  // full path -> inode, as the disk holds the names
  std::vector<std::weak_ptr<Handle>> handles;

  std::uint64_t countdown = 0;  // 0: not armed
  unsigned countdown_ops = 0;
  int countdown_error = 0;
  bool countdown_sticky = false;
  bool failing = false;  // a sticky countdown has fired
  std::uint64_t short_countdown = 0;
  std::size_t short_prefix = 0;
  bool space_limited = false;
  std::uint64_t space = 0;
  std::uint64_t fired = 0;
  std::map<unsigned, std::uint64_t> counts;
  std::uint64_t action_countdown = 0;  // 0: no action armed
  unsigned action_ops = 0;
  std::function<void()> action;

  State(Env* b, std::uint64_t seed) : base(b), rng(seed) {}

  // Counts one call of kind op; returns the error to inject, or 0.
  int injected(unsigned op) {
    ++counts[op];
    if ((action_ops & op) != 0 && action_countdown != 0 && --action_countdown == 0) {
      const std::function<void()> run = std::move(action);
      action = nullptr;
      run();
    }
    if ((countdown_ops & op) == 0) return 0;
    if (!failing) {
      if (countdown == 0 || --countdown != 0) return 0;
      failing = countdown_sticky;
    }
    ++fired;
    if (countdown_error != 0) return countdown_error;
    return op == fault_op::read ? syserr::read_fault : syserr::write_fault;
  }

  void disarm() {
    countdown = 0;
    countdown_ops = 0;
    countdown_error = 0;
    countdown_sticky = false;
    failing = false;
    short_countdown = 0;
    space_limited = false;
    action_countdown = 0;
    action = nullptr;
  }

  // Makes sure a file present at full has an inode among the current names;
  // a file met for the first time is durable as it stands. *id is 0 when
  // nothing is there. Caller holds mu.
  Status track(const std::string& full, std::uint64_t* id) {
    if (const auto it = current.find(full); it != current.end()) {
      *id = it->second;
      return Status::success();
    }
    *id = 0;
    if (!base->exists(full)) return Status::success();
    std::unique_ptr<File> file;
    if (const Status s = base->open(full, OpenMode{}, &file); !s.ok()) return s;
    std::uint64_t size = 0;
    if (const Status s = file->size(&size); !s.ok()) return s;
    if (size > max_file_offset) return Status(syserr::insufficient_memory);
    Inode inode;
    try {
      inode.durable.resize(static_cast<std::size_t>(size));
    } catch (const std::exception&) {
      return Status(syserr::insufficient_memory);
    }
    std::size_t got = 0;
    if (const Status s = file->read_at(0, inode.durable.data(), inode.durable.size(), &got); !s.ok()) return s;
    inode.durable.resize(got);
    *id = next_inode++;
    inodes.emplace(*id, std::move(inode));
    current[full] = *id;
    durable[full] = *id;
    return Status::success();
  }

  void set_name(const std::string& full, std::uint64_t id) {
    current[full] = id;
    if (!names_need_sync) durable[full] = id;
  }

  void drop_name(const std::string& full) {
    current.erase(full);
    if (!names_need_sync) durable.erase(full);
  }

  std::string image_after_cut(const Inode& inode, PowerCut mode) { return image_after_cut(inode, mode, &rng); }
  std::string image_after_cut(const Inode& inode, PowerCut mode, std::uint64_t* coins) const {
    std::string image = inode.durable;
    if (mode == PowerCut::drop_unsynced) return image;
    std::size_t last_write = inode.pending.size();
    for (std::size_t i = 0; i < inode.pending.size(); ++i) {
      if (!inode.pending[i].is_truncate) last_write = i;
    }
    for (std::size_t i = 0; i < inode.pending.size(); ++i) {
      const Change& change = inode.pending[i];
      const bool torn = !change.is_truncate && (mode == PowerCut::tear_all_writes || i == last_write);
      if (torn) {
        apply_torn(&image, change, coins);
      } else {
        apply_change(&image, change);
      }
    }
    return image;
  }

  Status put_file(const std::string& full, const std::string& image) {
    std::unique_ptr<File> file;
    const OpenMode mode{Access::read_write, true, true, false};
    if (const Status s = base->open(full, mode, &file); !s.ok()) return s;
    if (const Status s = file->write_at(0, image.data(), image.size()); !s.ok()) return s;
    return file->sync();
  }
};

namespace {

using State = FaultEnv::State;

class FaultFile final : public File {
 public:
  FaultFile(std::shared_ptr<State> state, std::shared_ptr<Handle> handle, std::string path)
      : state_(std::move(state)), handle_(std::move(handle)), path_(std::move(path)) {}

  ~FaultFile() override {
    std::lock_guard<std::mutex> guard(state_->mu);
    handle_.reset();
  }

  FaultFile(const FaultFile&) = delete;
  FaultFile& operator=(const FaultFile&) = delete;

  Status read_at(std::uint64_t offset, void* buf, std::size_t n, std::size_t* got) override {
    if (got != nullptr) *got = 0;
    std::lock_guard<std::mutex> guard(state_->mu);
    if (handle_->dead) return Status(syserr::invalid_handle);
    if (const int e = state_->injected(fault_op::read); e != 0) return Status(e);
    return handle_->base->read_at(offset, buf, n, got);
  }

  Status write_at(std::uint64_t offset, const void* buf, std::size_t n, std::size_t* written) override {
    if (written != nullptr) *written = 0;
    std::lock_guard<std::mutex> guard(state_->mu);
    if (handle_->dead) return Status(syserr::invalid_handle);
    if (const int e = state_->injected(fault_op::write); e != 0) return Status(e);

    if (handle_->append) {
      if (const Status s = handle_->base->size(&offset); !s.ok()) return s;
    }
    std::size_t keep = n;
    bool fail_full = false;
    if (state_->short_countdown != 0 && --state_->short_countdown == 0) {
      keep = std::min(state_->short_prefix, n == 0 ? 0 : n - 1);
      fail_full = true;
    }
    std::uint64_t size_before = 0;
    if (state_->space_limited && offset <= max_file_offset) {
      if (const Status s = handle_->base->size(&size_before); !s.ok()) return s;
      const std::uint64_t room_end = size_before + std::min(state_->space, max_file_offset - size_before);
      if (offset >= room_end) {
        keep = 0;
        fail_full = true;
      } else if (keep > room_end - offset) {
        keep = static_cast<std::size_t>(room_end - offset);
        fail_full = true;
      }
    }

    std::size_t done = 0;
    Status result = handle_->base->write_at(offset, buf, keep, &done);
    if (done != 0) {
      state_->inodes[handle_->inode].pending.push_back(
          Change{false, offset, std::string(static_cast<const char*>(buf), done)});
    }
    if (state_->space_limited && offset + done > size_before) {
      state_->space -= std::min(state_->space, offset + done - size_before);
    }
    if (written != nullptr) *written = done;
    if (result.ok() && fail_full) {
      ++state_->fired;
      result = Status(syserr::disk_full);
    }
    return result;
  }

  Status size(std::uint64_t* out) override {
    std::lock_guard<std::mutex> guard(state_->mu);
    if (handle_->dead) return Status(syserr::invalid_handle);
    return handle_->base->size(out);
  }

  Status truncate(std::uint64_t size) override {
    std::lock_guard<std::mutex> guard(state_->mu);
    if (handle_->dead) return Status(syserr::invalid_handle);
    if (const int e = state_->injected(fault_op::truncate); e != 0) return Status(e);
    const Status s = handle_->base->truncate(size);
    if (s.ok()) state_->inodes[handle_->inode].pending.push_back(Change{true, size, {}});
    return s;
  }

  Status sync() override {
    std::lock_guard<std::mutex> guard(state_->mu);
    if (handle_->dead) return Status(syserr::invalid_handle);
    if (handle_->sync_error != 0) return Status(handle_->sync_error);
    int error = state_->injected(fault_op::sync);
    if (error == 0) error = handle_->base->sync().error;
    if (error != 0) {
      handle_->sync_error = error;
      return Status(error);
    }
    // fsync makes the inode durable, whichever descriptor wrote the data.
    Inode& inode = state_->inodes[handle_->inode];
    for (const Change& change : inode.pending) apply_change(&inode.durable, change);
    inode.pending.clear();
    return Status::success();
  }

  // A waiting lock must not hold the wrapper's mutex, or the holder could
  // never get in to release the range.
  Status lock(std::uint64_t offset, std::uint64_t length, LockKind kind, bool wait) override {
    File* base = live_base();
    if (base == nullptr) return Status(syserr::invalid_handle);
    return base->lock(offset, length, kind, wait);
  }

  Status unlock(std::uint64_t offset, std::uint64_t length) override {
    File* base = live_base();
    if (base == nullptr) return Status(syserr::invalid_handle);
    return base->unlock(offset, length);
  }

  const std::string& path() const override { return path_; }

 private:
  File* live_base() {
    std::lock_guard<std::mutex> guard(state_->mu);
    return handle_->dead ? nullptr : handle_->base.get();
  }

  std::shared_ptr<State> state_;
  std::shared_ptr<Handle> handle_;
  std::string path_;
};

}  // namespace

FaultEnv::FaultEnv(Env* base, std::uint64_t seed) : state_(std::make_shared<State>(base, seed)) {}
FaultEnv::~FaultEnv() = default;

Status FaultEnv::open(const std::string& path, const OpenMode& mode, std::unique_ptr<File>* out) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->base->full_path(path, &full); !s.ok()) return s;
  std::uint64_t id = 0;
  if (const Status s = state_->track(full, &id); !s.ok()) return s;
  std::unique_ptr<File> file;
  if (const Status s = state_->base->open(path, mode, &file); !s.ok()) return s;
  if (id == 0) {
    id = state_->next_inode++;
    state_->inodes.emplace(id, Inode{});
    state_->set_name(full, id);
  } else if (mode.truncate) {
    state_->inodes[id].pending.push_back(Change{true, 0, {}});
  }
  auto handle = std::make_shared<Handle>();
  handle->base = std::move(file);
  handle->inode = id;
  handle->append = mode.append;
  std::erase_if(state_->handles, [](const std::weak_ptr<Handle>& h) { return h.expired(); });
  state_->handles.push_back(handle);
  *out = std::make_unique<FaultFile>(state_, std::move(handle), path);
  return Status::success();
}

Status FaultEnv::remove(const std::string& path) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->base->full_path(path, &full); !s.ok()) return s;
  std::uint64_t id = 0;
  if (const Status s = state_->track(full, &id); !s.ok()) return s;
  const Status s = state_->base->remove(path);
  if (s.ok()) state_->drop_name(full);
  return s;
}

Status FaultEnv::rename(const std::string& from, const std::string& to) { return rename_tracked(from, to, true); }

Status FaultEnv::rename_no_replace(const std::string& from, const std::string& to) {
  return rename_tracked(from, to, false);
}

Status FaultEnv::rename_tracked(const std::string& from, const std::string& to, bool replace) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string source;
  std::string target;
  if (const Status s = state_->base->full_path(from, &source); !s.ok()) return s;
  if (const Status s = state_->base->full_path(to, &target); !s.ok()) return s;
  std::uint64_t id = 0;
  std::uint64_t replaced = 0;
  if (const Status s = state_->track(source, &id); !s.ok()) return s;
  if (const Status s = state_->track(target, &replaced); !s.ok()) return s;
  const Status s = replace ? state_->base->rename(from, to) : state_->base->rename_no_replace(from, to);
  if (s.ok() && source != target && id != 0) {
    state_->drop_name(source);
    state_->set_name(target, id);
  }
  return s;
}

bool FaultEnv::exists(const std::string& path) { return state_->base->exists(path); }
Status FaultEnv::file_info(const std::string& path, FileInfo* out) { return state_->base->file_info(path, out); }
Status FaultEnv::read_link(const std::string& path, std::string* target) { return state_->base->read_link(path, target); }
bool FaultEnv::is_descriptor_link(const std::string& path) { return state_->base->is_descriptor_link(path); }
Status FaultEnv::real_path(const std::string& path, std::string* out) { return state_->base->real_path(path, out); }
Status FaultEnv::open_stream(const std::string& path, Access access, std::unique_ptr<Stream>* out) {
  return state_->base->open_stream(path, access, out);
}

Status FaultEnv::full_path(const std::string& path, std::string* out) { return state_->base->full_path(path, out); }

Status FaultEnv::current_directory(std::string* out) { return state_->base->current_directory(out); }

Status FaultEnv::set_current_directory(const std::string& path) {
  return state_->base->set_current_directory(path);
}

Status FaultEnv::sync_directory_of(const std::string& path) {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::string full;
  if (const Status s = state_->base->full_path(path, &full); !s.ok()) return s;
  if (const Status s = state_->base->sync_directory_of(path); !s.ok()) return s;
  const std::string dir = parent_directory(full);
  std::erase_if(state_->durable, [&](const auto& entry) {
    return in_directory(entry.first, dir) && state_->current.count(entry.first) == 0;
  });
  for (const auto& [name, id] : state_->current) {
    if (in_directory(name, dir)) state_->durable[name] = id;
  }
  return Status::success();
}

std::uint64_t FaultEnv::ticks() { return state_->base->ticks(); }
std::int64_t FaultEnv::now() { return state_->base->now(); }

void FaultEnv::fail_nth(std::uint64_t nth, unsigned ops, int error, bool sticky) {
  std::lock_guard<std::mutex> guard(state_->mu);
  state_->countdown = nth;
  state_->countdown_ops = nth == 0 ? 0 : ops;
  state_->countdown_error = error;
  state_->countdown_sticky = sticky;
  state_->failing = false;
}

void FaultEnv::at_nth(std::uint64_t nth, unsigned ops, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(state_->mu);
  state_->action_countdown = nth;
  state_->action_ops = ops;
  state_->action = std::move(action);
}

void FaultEnv::short_write_nth(std::uint64_t nth, std::size_t prefix) {
  std::lock_guard<std::mutex> guard(state_->mu);
  state_->short_countdown = nth;
  state_->short_prefix = prefix;
}

void FaultEnv::set_space(std::uint64_t bytes) {
  std::lock_guard<std::mutex> guard(state_->mu);
  state_->space_limited = true;
  state_->space = bytes;
}

void FaultEnv::clear_faults() {
  std::lock_guard<std::mutex> guard(state_->mu);
  state_->disarm();
  state_->fired = 0;
}

std::uint64_t FaultEnv::faults_fired() const {
  std::lock_guard<std::mutex> guard(state_->mu);
  return state_->fired;
}

std::uint64_t FaultEnv::operations(unsigned ops) const {
  std::lock_guard<std::mutex> guard(state_->mu);
  std::uint64_t total = 0;
  for (const auto& [op, count] : state_->counts) {
    if ((ops & op) != 0) total += count;
  }
  return total;
}

void FaultEnv::set_names_need_directory_sync(bool need) {
  std::lock_guard<std::mutex> guard(state_->mu);
  state_->names_need_sync = need;
}

std::map<std::string, std::string> FaultEnv::disk_after_cut(PowerCut mode, std::uint64_t seed) const {
  std::lock_guard<std::mutex> guard(state_->mu);
  const State& st = *state_;
  std::map<std::string, std::string> files;
  std::uint64_t coins = seed;
  for (const auto& [name, id] : st.durable) {
    files[name] = st.image_after_cut(st.inodes.at(id), mode, &coins);
  }
  return files;
}

Status FaultEnv::power_cut(PowerCut mode) {
  std::lock_guard<std::mutex> guard(state_->mu);
  State& st = *state_;
  for (const auto& weak : st.handles) {
    if (const auto handle = weak.lock()) {
      handle->base.reset();  // its locks go with the machine
      handle->dead = true;
    }
  }
  st.handles.clear();

  std::set<std::string> names;
  for (const auto& entry : st.current) names.insert(entry.first);
  for (const auto& entry : st.durable) names.insert(entry.first);

  Status first;
  for (const auto& name : names) {
    Status s;
    if (const auto it = st.durable.find(name); it != st.durable.end()) {
      try {
        s = st.put_file(name, st.image_after_cut(st.inodes[it->second], mode));
      } catch (const std::exception&) {
        s = Status(syserr::insufficient_memory);
      }
    } else if (st.base->exists(name)) {
      s = st.base->remove(name);
    }
    if (first.ok() && !s.ok()) first = s;
  }

  st.inodes.clear();
  st.current.clear();
  st.durable.clear();
  st.disarm();
  st.fired = 0;
  return first;
}

}  // namespace platform
