// What every widget test needs: one QApplication (offscreen), a fresh
// current directory with the profile pointed into it, a responder that
// answers from a queue, and a way to let the event loop run.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QTest>
#include <QWidget>
#include <atomic>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "ui/queued_responder.h"
#include "ui/window.h"

namespace gui_test {

inline QApplication& application() {
  static int argc = 1;
  static char name[] = "markfit-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* a = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return a;
  }();
  return *app;
}

// Lets queued events run until `done` holds, at most `rounds` passes of the
// event loop (no clock involved). Returns `done()`.
inline bool pump_until(const std::function<bool()>& done, int rounds = 2000) {
  for (int i = 0; i < rounds; ++i) {
    if (done()) return true;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  return done();
}

inline void pump(int rounds = 20) {
  pump_until([] { return false; }, rounds);
}

// A click as a person gives it: the press, the event loop's turn (the
// procedure answers what the press brought, Selected say), the release.
// QTest::mouseClick gives the window no turn between the two and hides
// every fault that lies there. `at` defaults to the widget's centre.
inline void click(QWidget* widget, QPoint at = QPoint(), Qt::MouseButton button = Qt::LeftButton) {
  QTest::mousePress(widget, button, {}, at);
  pump();
  QTest::mouseRelease(widget, button, {}, at);
  pump();
}

// Whether a window is blocked by a modal one now, as Qt tells the window.
class BlockWatch final : public QObject {
 public:
  explicit BlockWatch(QWidget* window) { window->installEventFilter(this); }
  bool blocked() const { return blocked_; }

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::WindowBlocked) blocked_ = true;
    if (e->type() == QEvent::WindowUnblocked) blocked_ = false;
    return false;
  }

 private:
  bool blocked_ = false;
};

// Types `text` into the focused widget of `target`'s window, one key event
// per character, whatever the characters (QTest types ASCII alone).
inline void type_text(QWidget* target, const QString& text) {
  for (QChar ch : text) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(ch));
    QCoreApplication::sendEvent(target, &release);
  }
}

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application();
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() / ("markfit-gui-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir_);
    previous_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    qputenv("MARKFIT_PROFILE", QByteArray::fromStdString((dir_ / "profile.ini").string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_.string()));
  }

  void TearDown() override {
    // Every window's procedure finishes, so no coroutine outlives its test.
    ui::close_down_all();
    pump_until([] { return ui::Window::open_windows().empty(); });
    EXPECT_TRUE(ui::Window::open_windows().empty());
    for (ui::Window* w : ui::Window::open_windows()) w->close();
    pump();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::filesystem::current_path(previous_dir_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string file(const std::string& name) const { return (dir_ / name).string(); }
  const std::filesystem::path& dir() const { return dir_; }

  ui::QueuedResponder responder;

 private:
  std::filesystem::path dir_;
  std::filesystem::path previous_dir_;
};

}  // namespace gui_test
