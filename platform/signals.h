// What the program does when it is told to stop (SIGINT from Ctrl-C,
// SIGTERM, SIGHUP when the terminal goes away): files it made beside the
// user's and would have removed itself are removed, and a step that must
// not be cut in two finishes first. The program then ends by the signal, as
// it would have without any of this.
//
// The handlers are installed on first use, only for signals whose action is
// still the default (a signal ignored under nohup stays ignored, another
// handler stays). SIGKILL and a power cut cannot be caught: files that must
// never be left behind are better made without a name (Env::open_unnamed).
#pragma once

#include <string>

namespace platform {

// A file removed if one of those signals ends the program while this object
// lives. The file itself is left alone when the object goes (its owner
// renames or removes it). Paths should be absolute: the handler cannot know
// which directory a relative one meant.
class RemovedOnSignal {
 public:
  RemovedOnSignal() = default;
  explicit RemovedOnSignal(const std::string& path);
  ~RemovedOnSignal() { release(); }
  RemovedOnSignal(RemovedOnSignal&& other) noexcept : slot_(other.slot_) { other.slot_ = -1; }
  RemovedOnSignal& operator=(RemovedOnSignal&& other) noexcept;
  RemovedOnSignal(const RemovedOnSignal&) = delete;
  RemovedOnSignal& operator=(const RemovedOnSignal&) = delete;

  // Forgets the file: a signal no longer removes it.
  void release();
  // False when the file could not be registered (too many at once).
  bool armed() const { return slot_ >= 0; }

 private:
  int slot_ = -1;
};

// Removes every file registered above, now. Safe inside a signal handler:
// for another handler of those signals that ends the program itself.
void remove_files_registered_for_signals();

// While any of these lives, those signals wait; the last one to go lets a
// signal that came meanwhile end the program (files registered above are
// removed then). Holds for every thread of the program.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

}  // namespace platform
