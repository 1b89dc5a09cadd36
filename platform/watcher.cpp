// The watcher over inotify and signalfd. Everything is watched at folder
// level: a watch on a file would follow the file an editor's rename has
// just thrown away, where a watch on the folder sees the name take its new
// file. Events are gathered per (folder, name) in `pending_` and reported
// when that name's burst has settled (see watcher.h).
#include "platform/watcher.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <map>
#include <utility>

#include "platform/path.h"
#include "platform/system_error.h"

namespace platform {
namespace {

constexpr std::uint32_t kFolderEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM |
                                        IN_DELETE | IN_DELETE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<bool> g_dropping{false};

long long now_ms() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// An add_watch failure in the seam's numbers: running out of watches is the
// system's limit, not a full disk, whatever ENOSPC usually says.
int watch_error(int err) {
  if (err == ENOSPC) return syserr::too_many_open_files;
  if (err == ENOENT) return syserr::path_not_found;
  return system_error_from_errno(err);
}

}  // namespace

struct Watcher::Impl {
  using Key = std::pair<int, std::string>;  // (watch descriptor, name)

  struct Folder {
    int id = 0;  // its id for watch_folder, 0 when only its files are watched
  };
  // What one name went through since it was last reported.
  struct Pending {
    bool changed = false;  // written, made, or renamed into place
    bool closed = false;   // the writer is done: closed, or renamed into place
    bool gone = false;     // removed or moved away (and not back since)
    bool is_folder = false;
    long long first = 0;
    long long last = 0;
  };

  WatchTiming timing;
  int inotify = -1;
  int signals = -1;
  sigset_t held{};        // the stop signals
  sigset_t let_go{};      // those of them that were not held before us
  std::map<int, Folder> folders;
  std::map<Key, int> names;  // a watched file's names
  std::map<Key, Pending> pending;
  int next_id = 1;
  bool overflow = false;
  bool dropped = false;  // events dropped for a test; an overflow once it ends
  bool stop = false;
  std::vector<int> lost;

  ~Impl() {
    if (inotify >= 0) ::close(inotify);
    if (signals >= 0) ::close(signals);
    // Signals that came after the last wait would end the program the
    // moment they are let go; it is ending its watch anyway.
    const struct timespec zero {};
    while (::sigtimedwait(&held, nullptr, &zero) > 0) {
    }
    ::pthread_sigmask(SIG_UNBLOCK, &let_go, nullptr);
  }

  Status add_folder(const std::string& path, int* wd) {
    const int w = ::inotify_add_watch(inotify, path.c_str(), kFolderEvents);
    if (w < 0) return Status(watch_error(errno));
    folders.try_emplace(w);
    *wd = w;
    return Status::success();
  }

  void read_signals() {
    struct signalfd_siginfo info {};
    while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) stop = true;
  }

  // Reads every event waiting; false with *error on a failed read.
  bool read_events(int* error) {
    alignas(struct inotify_event) char buf[16 * 1024];
    for (;;) {
      const ssize_t n = ::read(inotify, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return true;
        *error = system_error_from_errno(errno, IoKind::read);
        return false;
      }
      if (n == 0) return true;
      if (g_dropping.load()) {
        dropped = true;
        continue;
      }
      const long long now = now_ms();
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
        take(*e, now);
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
      }
    }
  }

  void take(const struct inotify_event& e, long long now) {
    if (e.mask & IN_Q_OVERFLOW) {
      overflow = true;
      return;
    }
    if (e.mask & IN_IGNORED) {  // the folder is gone (removed, unmounted)
      forget_folder(e.wd);
      return;
    }
    if (e.len == 0) return;
    const auto folder = folders.find(e.wd);
    if (folder == folders.end()) return;
    Key key(e.wd, std::string(e.name));
    if (folder->second.id == 0 && names.find(key) == names.end()) return;

    Pending& p = pending[key];
    if (p.first == 0) p.first = now;
    p.last = now;
    if (e.mask & (IN_DELETE | IN_MOVED_FROM)) {
      p.gone = true;
      p.changed = false;
      p.closed = false;
    }
    if (e.mask & (IN_CREATE | IN_MOVED_TO)) {
      p.gone = false;
      p.changed = true;
      p.is_folder = (e.mask & IN_ISDIR) != 0;
      if (p.is_folder) p.closed = true;  // nothing writes a folder: it is there
    }
    if (e.mask & IN_MODIFY) p.changed = true;
    if (e.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) p.closed = true;
    // Opened for writing and closed without a write: somebody read it
    // through a read/write descriptor. No save.
    if (!p.changed && !p.gone) pending.erase(key);
  }

  void forget_folder(int wd) {
    const auto folder = folders.find(wd);
    if (folder == folders.end()) return;
    if (folder->second.id != 0) lost.push_back(folder->second.id);
    for (auto it = names.begin(); it != names.end();) {
      if (it->first.first == wd) {
        // Lost only when no other name of it is still watched.
        const int id = it->second;
        it = names.erase(it);
        const bool still = std::any_of(names.begin(), names.end(), [id](const auto& n) { return n.second == id; });
        if (!still && std::find(lost.begin(), lost.end(), id) == lost.end()) lost.push_back(id);
      } else {
        ++it;
      }
    }
    for (auto it = pending.begin(); it != pending.end();) {
      it = it->first.first == wd ? pending.erase(it) : std::next(it);
    }
    folders.erase(folder);
  }

  long long due(const Pending& p) const {
    const int wait = p.closed || p.gone ? timing.settle_ms : timing.quiet_ms;
    return std::min(p.last + wait, p.first + timing.longest_ms);
  }

  // Moves what is due at `now` into *out.
  void collect(long long now, WatchReport* out) {
    auto add = [](std::vector<int>& to, int id) {
      if (std::find(to.begin(), to.end(), id) == to.end()) to.push_back(id);
    };
    for (auto it = pending.begin(); it != pending.end();) {
      if (due(it->second) > now) {
        ++it;
        continue;
      }
      const Pending& p = it->second;
      if (const auto named = names.find(it->first); named != names.end()) {
        add(p.gone ? out->removed : out->saved, named->second);
      } else if (!p.gone) {
        const auto folder = folders.find(it->first.first);
        if (folder != folders.end() && folder->second.id != 0) {
          out->created.push_back({folder->second.id, it->first.second, p.is_folder});
        }
      }
      it = pending.erase(it);
    }
    // A file saved through one name and removed through another (a link
    // and its target) is saved.
    for (const int id : out->saved) {
      out->removed.erase(std::remove(out->removed.begin(), out->removed.end(), id), out->removed.end());
    }
    for (const int id : lost) add(out->lost, id);
    lost.clear();
    if (dropped && !g_dropping.load()) {
      dropped = false;
      overflow = true;
    }
    if (overflow) {
      out->overflow = true;
      overflow = false;
    }
  }
};

Watcher::Watcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Watcher::~Watcher() = default;

Status Watcher::open(std::unique_ptr<Watcher>* out, const WatchTiming& timing) {
  auto impl = std::make_unique<Impl>();
  impl->timing = timing;
  ::sigemptyset(&impl->held);
  ::sigemptyset(&impl->let_go);
  for (const int sig : kStopSignals) {
    // A signal ignored (SIGHUP under nohup, SIGINT for a job a script
    // started in the background) stays ignored: held, it would be kept for
    // us instead of dropped.
    struct sigaction action {};
    if (::sigaction(sig, nullptr, &action) == 0 && (action.sa_flags & SA_SIGINFO) == 0 &&
        action.sa_handler == SIG_IGN) {
      continue;
    }
    ::sigaddset(&impl->held, sig);
  }
  sigset_t before;
  if (::pthread_sigmask(SIG_BLOCK, &impl->held, &before) != 0) return Status(syserr::general_failure);
  for (const int sig : kStopSignals) {
    if (::sigismember(&before, sig) == 0) ::sigaddset(&impl->let_go, sig);
  }
  // From here on the Impl's destructor gives the signals back.
  impl->signals = ::signalfd(-1, &impl->held, SFD_NONBLOCK | SFD_CLOEXEC);
  if (impl->signals < 0) return Status(system_error_from_errno(errno));
  impl->inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (impl->inotify < 0) return Status(system_error_from_errno(errno));
  out->reset(new Watcher(std::move(impl)));
  return Status::success();
}

Status Watcher::watch_file(const std::string& path, int* id) {
  std::string full;
  if (const Status s = Env::posix()->full_path(path, &full); !s.ok()) return s;
  if (full == "/") return Status(syserr::path_not_found);
  std::vector<std::string> places{full};
  // A link is watched where it leads as well: a save there changes what
  // the link reads.
  if (char* real = ::realpath(full.c_str(), nullptr)) {
    if (full != real) places.emplace_back(real);
    ::free(real);
  }
  std::vector<Impl::Key> keys;
  for (const std::string& place : places) {
    int wd = -1;
    if (const Status s = impl_->add_folder(parent_directory(place), &wd); !s.ok()) {
      if (keys.empty()) return s;
      continue;  // the link's own folder is watched; that will do
    }
    keys.emplace_back(wd, place.substr(place.rfind('/') + 1));
  }
  int found = 0;
  for (const Impl::Key& k : keys) {
    if (const auto it = impl_->names.find(k); it != impl_->names.end()) found = it->second;
  }
  if (found == 0) found = impl_->next_id++;
  for (const Impl::Key& k : keys) impl_->names.emplace(k, found);
  *id = found;
  return Status::success();
}

Status Watcher::watch_folder(const std::string& path, int* id) {
  std::string full;
  if (const Status s = Env::posix()->full_path(path, &full); !s.ok()) return s;
  int wd = -1;
  if (const Status s = impl_->add_folder(full, &wd); !s.ok()) return s;
  Impl::Folder& folder = impl_->folders[wd];
  if (folder.id == 0) folder.id = impl_->next_id++;
  *id = folder.id;
  return Status::success();
}

void Watcher::drop_events_for_test(bool drop) { g_dropping.store(drop); }

bool Watcher::stop_requested() {
  impl_->read_signals();
  return impl_->stop;
}

Status Watcher::wait(int timeout_ms, WatchReport* out) {
  *out = WatchReport();
  const long long deadline = timeout_ms < 0 ? LLONG_MAX : now_ms() + timeout_ms;
  for (;;) {
    impl_->read_signals();
    int error = 0;
    if (!impl_->read_events(&error)) return Status(error);
    const long long now = now_ms();
    impl_->collect(now, out);
    if (impl_->stop) {
      out->stop = true;
      impl_->stop = false;
    }
    if (!out->empty() || now >= deadline) return Status::success();

    long long next = deadline;
    for (const auto& [key, p] : impl_->pending) next = std::min(next, impl_->due(p));
    if (impl_->dropped) next = std::min(next, now + 10);  // nothing wakes us when a test stops dropping
    const int wait_ms = next == LLONG_MAX ? -1 : static_cast<int>(std::clamp<long long>(next - now, 0, INT_MAX));
    struct pollfd fds[2] = {{impl_->inotify, POLLIN, 0}, {impl_->signals, POLLIN, 0}};
    if (::poll(fds, 2, wait_ms) < 0 && errno != EINTR) return Status(system_error_from_errno(errno));
  }
}

}  // namespace platform
