// The coroutine type of window procedures.
//
// A procedure is written in the shape of every window procedure: open the
// window, loop on `co_await window.next_event()`, act on (event, control),
// close. It returns ui::Task:
//
//   ui::Task AboutMarkfit() {
//     ui::Window w(kAboutWindow);
//     while (co_await w.next_event()) { ... }
//   }
//
// A Task starts at once and runs until its first wait. Then:
//   * `co_await Procedure()` makes the caller wait until the callee returns
//     (a browse waiting for its update form);
//   * dropping the Task lets the procedure run on by itself, side by side
//     with its starter (the toolbox starting the About window); its frame is
//     freed when it returns.
// Everything runs on the one UI thread; a procedure is resumed only from the
// Qt event loop (window.h), never from inside a widget's own signal.
//
// An exception escaping a procedure is a programming error and ends the
// program (std::terminate).
#pragma once

#include <coroutine>
#include <exception>
#include <utility>

namespace ui {

class [[nodiscard]] Task {
 public:
  struct promise_type {
    std::coroutine_handle<> continuation;
    bool detached = false;

    Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    std::suspend_never initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        promise_type& p = h.promise();
        if (p.continuation) return p.continuation;
        if (p.detached) h.destroy();
        return std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };

  Task() = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      release();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { release(); }

  // True once the procedure has returned (or for an empty Task).
  bool done() const { return !handle_ || handle_.done(); }

  // Awaiting a Task waits for the procedure to return.
  bool await_ready() const noexcept { return done(); }
  void await_suspend(std::coroutine_handle<> waiter) noexcept { handle_.promise().continuation = waiter; }
  void await_resume() const noexcept {}

 private:
  explicit Task(std::coroutine_handle<promise_type> h) : handle_(h) {}

  void release() {
    if (!handle_) return;
    if (handle_.done()) {
      handle_.destroy();
    } else {
      // Still running: it frees itself when it returns.
      handle_.promise().detached = true;
      handle_.promise().continuation = {};
    }
    handle_ = {};
  }

  std::coroutine_handle<promise_type> handle_;
};

}  // namespace ui
