// Watching files for saves, and the signals that end a watch: the seam
// under `markfit convert --watch` (Linux inotify and signalfd).
//
//   std::unique_ptr<platform::Watcher> w;
//   if (!platform::Watcher::open(&w).ok()) ...
//   int id;  w->watch_file("site/index.htm", &id);
//   for (;;) {
//     platform::WatchReport r;
//     if (!w->wait(-1, &r).ok()) ...
//     if (r.stop) break;                    // Ctrl-C, SIGTERM, SIGHUP
//     for (int saved : r.saved) ...         // convert it again
//   }
//
// A file is watched through the folder that holds it, by name, never
// through the file itself: an editor that saves by writing a new file and
// renaming it over the old one replaces the file, and the name is what
// stays. Saves in place (truncated and rewritten) are seen as well. A
// watched path that is a symbolic link is watched at the file it leads to
// too.
//
// One save is one report. A save's events (open, many writes, close; or a
// new file, its writes, the rename; an editor's backup moved aside and a
// new file made) are gathered per name and reported once the name has been
// quiet for a moment: `settle_ms` after the save was closed or renamed into
// place, `quiet_ms` after a write that nobody has closed yet (a program that
// keeps the file open while writing), and never later than `longest_ms`
// after the first event of a burst that does not end. A file only opened
// for writing and closed without a change (as reading it through Env does,
// which opens read/write) is no save.
//
// Signals: while a Watcher lives, SIGINT, SIGTERM and SIGHUP do not end the
// program; they are held for it, end wait() with `stop`, and make
// stop_requested() true. Whatever was running when one came (a conversion)
// finishes first. A signal the program ignores (SIGHUP under nohup) stays
// ignored. The destructor lets those signals go as they were before,
// dropping any that came after the last wait (the program was ending
// anyway). One Watcher at a time; the program is expected to have one
// thread while it lives (the signals are held for the calling thread).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"

namespace platform {

struct WatchTiming {
  int settle_ms = 20;
  int quiet_ms = 300;
  int longest_ms = 2000;
};

struct WatchReport {
  // Watched files saved since the last report, each once.
  std::vector<int> saved;
  // Watched files whose name is gone (removed or moved away) and has not
  // come back; they stay watched and are reported saved when it does.
  std::vector<int> removed;
  // Watched files and folders no longer watched: the folder that holds
  // them was removed or its file system unmounted.
  std::vector<int> lost;
  // New names in folders given to watch_folder, once settled (a new page,
  // a new subfolder). Not reported for names watched as files.
  struct NewName {
    int folder = 0;
    std::string name;
    bool is_folder = false;
  };
  std::vector<NewName> created;
  // The system dropped events: any watched file may have changed.
  bool overflow = false;
  // SIGINT, SIGTERM or SIGHUP came: the watch should end.
  bool stop = false;

  bool empty() const {
    return saved.empty() && removed.empty() && lost.empty() && created.empty() && !overflow && !stop;
  }
};

class Watcher {
 public:
  // A new watcher, holding the signals from now on. 4 when the system's
  // limit of watchers is reached, 50 where there are none.
  static Status open(std::unique_ptr<Watcher>* out, const WatchTiming& timing = {});
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Watches the file at `path` for saves; it need not exist yet, its folder
  // must (3 otherwise). *id is the same for every path that names the same
  // place. 4 when the system's limit of watched folders is reached
  // (fs.inotify.max_user_watches).
  Status watch_file(const std::string& path, int* id);

  // Watches the folder at `path` for new names (see WatchReport::created).
  // 3 when it is not a folder, 4 at the limit.
  Status watch_folder(const std::string& path, int* id);

  // Waits until something is to report, or a stop, or `timeout_ms` passed
  // (-1: no limit); then fills *out (empty after a timeout). A failure of
  // the system's notification is returned as its error number.
  Status wait(int timeout_ms, WatchReport* out);

  // Whether a stop signal has come, without waiting. It stays noted until
  // a wait() reports it.
  bool stop_requested();

  // For tests: while set (from any thread), every watcher drops the events
  // the system gives it, as when the system's queue overflows; the overflow
  // is reported once it is cleared. The system's own limit cannot be
  // lowered by an ordinary user.
  static void drop_events_for_test(bool drop);

 private:
  struct Impl;
  explicit Watcher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
