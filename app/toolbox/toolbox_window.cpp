#include "app/toolbox/toolbox_window.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/toolbox/about_markfit.h"
#include "app/toolbox/platform_choice.h"
#include "app/tables/abandoned_tables.h"
#include "app/tables/add_translations.h"
#include "app/data/wait_question.h"
#include "app/tables/character_table.h"
#include "app/commands/commands_table.h"
#include "app/data/globals.h"
#include "app/data/settings_writes.h"
#include "app/windows/placement.h"
#include "app/toolbox/screenshots.h"
#include "app/conversion/window/write_target_code.h"
#include "files/driver/error_state.h"
#include "platform/display.h"
#include "platform/font_preload.h"
#include "platform/session_signals.h"
#include "runtime/startup.h"
#include "ui/control_map.h"
#include "ui/icons.h"
#include "ui/services.h"
#include "ui/session_end.h"
#include "ui/window.h"

namespace app {
namespace {

using ui::ControlDef;
using ui::ControlKind;
using ui::control;

constexpr ControlDef kToolboxControls[] = {
    control(ControlKind::Button, "", 0, 10, 20, 12).with_icon("code").with_flags(ui::kOwnIcon),
    // A thin line between the two buttons; no behaviour.
    control(ControlKind::Box, "", 3, 24, 14, 1),
    control(ControlKind::Button, "", 0, 27, 20, 12).with_icon("ok").with_flags(ui::kOwnIcon),
    control(ControlKind::Region, "", 0, 0, 20, 7),
    // Outside the visible area: it takes the focus so that no visible button
    // shows a focus frame.
    control(ControlKind::Button, "", 0, -15, 12, 12),
    // A unit below the top edge: centred in the strip itself, the letters
    // of a font this small touch the edge.
    control(ControlKind::String, "Markfit", 0, 1, 20, 7)
        .with_font({"Small Fonts", 6, false})
        .with_color(ui::rgb_color(128, 128, 128))
        .with_flags(ui::kCentred),
};

ui::WindowDef make_toolbox_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT002";
  d.w = toolbox::kWidthUnits;
  d.h = toolbox::kHeightUnits;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kNoCaption | ui::kAlwaysOnTop | ui::kMinimizeBox | ui::kAcceptFiles;
  d.controls = kToolboxControls;
  return d;
}
const ui::WindowDef kToolboxWindow = make_toolbox_window();

constexpr std::string_view kSection = "ToolboxWindow";

// A procedure the toolbox starts runs once at a time: the windows of two
// would share the one record buffer of each file. Choosing it again brings
// its window to the front.
struct Started {
  const ui::WindowDef* definition;
  ui::Task task;
};

void start_once(Started& started, ui::Task (*procedure)()) {
  if (!started.task.done()) {
    for (ui::Window* w : ui::Window::open_windows()) {
      if (&w->definition() != started.definition || !w->widget()) continue;
      QWidget* top = w->widget();
      if (top->isMinimized()) top->showNormal();
      top->raise();
      top->activateWindow();
      break;
    }
    return;
  }
  started.task = procedure();
}

}  // namespace

const ui::WindowDef& toolbox_definition() { return kToolboxWindow; }

DragState drag_start(int window_x, int window_y, int mouse_x, int mouse_y) {
  return DragState{window_x, window_y, mouse_x, mouse_y};
}

void drag_step(DragState& s, int window_x, int window_y, int mouse_x, int mouse_y) {
  const auto axis = [](int& origin, int& reference, int window, int mouse) {
    const long long d = static_cast<long long>(reference) - mouse;
    if (d > origin) origin = 0;
    else origin = static_cast<int>(origin - d);
    reference = static_cast<int>(static_cast<long long>(window) + mouse - origin);
  };
  axis(s.origin_x, s.reference_x, window_x, mouse_x);
  axis(s.origin_y, s.reference_y, window_y, mouse_y);
}

ui::Task ToolboxWindow(ToolboxOptions options) {
  using namespace ui::events;
  namespace tb = toolbox;
  take_request();
  ui::Window window(kToolboxWindow);
  // No translations at all: the standard table is built before the toolbox
  // is shown.
  if (standard_table_needed()) co_await AddTranslations(1);
  // A table an insert left half made when its program was killed.
  remove_abandoned_tables();

  restore_placement(window, kSection, kSettingsFile);
  const bool placement_restored = true;
  window.set_property(0, ui::props::kIcon, "~markfit.ico");
  // Only the restored position is kept: the toolbox is always this small.
  window.set_position(0, ui::Window::kUnchanged, ui::Window::kUnchanged, window.du_x(tb::kWidthUnits),
                      window.du_y(tb::kHeightUnits));

  bool tray_shown = false;
  bool dragging = false;
  DragState drag;
  std::unique_ptr<TrayIcon> tray = options.make_tray ? options.make_tray() : make_desktop_tray();

  const auto restore_from_tray = [&] {
    if (!tray_shown) return;
    ui::post_to_first_thread(kSuspend);
    ui::post_to_first_thread(kRestore);
    if (tray->remove()) {
      tray_shown = false;
    } else if (tray->add()) {
      tray_shown = true;  // icon and flag stay in agreement
    }
    ui::post_to_first_thread(kResume);
  };
  const auto close_from_tray = [&] {
    if (tray_shown && tray->remove()) tray_shown = false;
    ui::post_to_first_thread(kCloseWindow);
  };

  // The toolbox's hook on the outside world: the tray's clicks and the end
  // of the desktop session.
  tray->set_click_handler([&](TrayIcon::Click click) {
    switch (click) {
      case TrayIcon::Click::LeftUp:
        ui::post_to_first_thread(tb::kTrayLeftUp);
        restore_from_tray();
        break;
      case TrayIcon::Click::LeftDouble:
        ui::post_to_first_thread(tb::kTrayLeftDouble);
        restore_from_tray();
        break;
      case TrayIcon::Click::RightUp:
        ui::post_to_first_thread(tb::kTrayRightUp);
        switch (ui::popup(tb::kTrayMenu)) {
          case 1: restore_from_tray(); break;
          case 2: close_from_tray(); break;
          default: break;
        }
        break;
      case TrayIcon::Click::RightDouble:
        ui::post_to_first_thread(tb::kTrayRightDouble);
        break;
    }
  });
  // A session that ends is allowed to: everything is saved as it changes
  // (nothing to ask about in commitDataRequest), and the quit that follows
  // closes the toolbox like "E&xit", as an end from outside: nobody is
  // left to answer a box (a settings file that cannot be written is said
  // on standard error).
  const QMetaObject::Connection session_end =
      QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] { ui::end_session(); });

  Started commands{&commands_table_definition(), {}};
  Started tables{&character_table_definition(), {}};
  Started about{&about_definition(), {}};
  Started write_code{&write_target_code_definition(), {}};

  bool first_open = true;
  while (co_await window.next_event()) {
    const int event = window.event();
    // A file dropped on the toolbox opens the conversion window on it.
    if (event == kDrop && !window.dropped_files().empty()) {
      offer_read_file(window.dropped_files().front());
      start_once(write_code, &WriteTargetCode);
      continue;
    }
    if (window.field() == 0) {
      switch (event) {
        case kOpenWindow:
          if (first_open) {
            first_open = false;
            window.display();
          }
          window.select(tb::kToolsButton);
          window.select(tb::kFocusCatcher);
          break;
        case kGainFocus:
          if (window.property(0, ui::props::kAcceptAll).empty()) window.display();
          break;
        case kIconized:
          if (!tray_shown && tray->add()) {
            window.set_property(0, ui::props::kHide, "1");
            tray_shown = true;
          }
          break;
        case kRestore:
          if (QWidget* top = window.widget()) {
            window.set_property(0, ui::props::kIconize, "0");
            window.set_property(0, ui::props::kHide, "0");
            top->raise();
            top->activateWindow();
          }
          break;
        default:  // the tray's 1089..1092 only wake the loop
          break;
      }
      continue;
    }
    switch (window.field()) {
      case tb::kToolsButton:
        if (event == kAccepted) {
          const int choice = ui::popup(tb::kToolsMenu);
          window.select(tb::kFocusCatcher);
          switch (choice) {
            case 1: start_once(commands, &CommandsTable); break;
            case 2: start_once(tables, &CharacterTable); break;
            case 3: start_once(write_code, &WriteTargetCode); break;
            default: break;
          }
        } else if (event == kSelected) {
          window.select(tb::kFocusCatcher);
        }
        break;
      case tb::kApplicationButton:
        if (event == kAccepted) {
          const int choice = ui::popup(tb::kApplicationMenu);
          window.select(tb::kFocusCatcher);
          switch (choice) {
            case 1: start_once(about, &AboutMarkfit); break;  // runs beside the toolbox
            case 2: window.set_property(0, ui::props::kIconize, "1"); break;
            case 3: window.post(kCloseWindow); break;
            default: break;
          }
        } else if (event == kSelected) {
          window.select(tb::kFocusCatcher);
        }
        break;
      case tb::kDragStrip:
        if (event == kAccepted) {
          dragging = true;
          drag = drag_start(std::atoi(window.property(0, ui::props::kXPos).c_str()),
                            std::atoi(window.property(0, ui::props::kYPos).c_str()), window.mouse_x(),
                            window.mouse_y());
        } else if (event == kMouseUp) {
          dragging = false;
        } else if (event == kMouseMove && dragging) {
          drag_step(drag, std::atoi(window.property(0, ui::props::kXPos).c_str()),
                    std::atoi(window.property(0, ui::props::kYPos).c_str()), window.mouse_x(),
                    window.mouse_y());
          window.set_position(0, drag.origin_x, drag.origin_y);
        }
        break;
      default:  // the focus catcher does nothing
        break;
    }
  }

  {
    // The placements saved from here on that fail are said together once
    // every window is gone, even when the settings file's failure was told
    // earlier: otherwise the user would find the windows misplaced at the
    // next start without a word. At the end of a session from outside the
    // words go to standard error (settings_writes.h).
    SettingsAction closing(true);
    // Every other window closes first, as its own close would: a form
    // cancels (an added table's placeholder goes), placements are saved.
    for (ui::Window* w : ui::Window::open_windows()) {
      if (w != &window) w->post(kCloseWindow);
    }
    for (Started* started : {&commands, &tables, &about, &write_code}) {
      if (!started->task.done()) co_await started->task;
    }

    QObject::disconnect(session_end);
    tray->set_click_handler({});
    if (tray_shown && tray->remove()) tray_shown = false;
    if (placement_restored) save_placement(window, kSection, kSettingsFile);
    window.close();
  }
  global_response = kRequestCancelled;
}

namespace {

bool is_toolbox(const QWindow* w) {
  for (ui::Window* window : ui::Window::open_windows()) {
    if (window->definition().name == kToolboxWindow.name) {
      return window->widget() && window->widget()->windowHandle() == w;
    }
  }
  return false;
}

// Watches for the toolbox on screen, once (at a first start the builder's
// window comes before it).
class FirstExposure final : public QObject {
 public:
  explicit FirstExposure(std::function<void()> then) : then_(std::move(then)) {}

 protected:
  bool eventFilter(QObject* target, QEvent* e) override {
    if (!fired_ && e->type() == QEvent::Expose) {
      if (auto* w = qobject_cast<QWindow*>(target); w && w->isExposed() && is_toolbox(w)) {
        fired_ = true;
        // After this exposure has been painted.
        QTimer::singleShot(0, this, then_);
      }
    }
    return false;
  }

 private:
  std::function<void()> then_;
  bool fired_ = false;
};

ui::Task main_procedure(bool* finished) {
  co_await ToolboxWindow();
  *finished = true;
  QCoreApplication::exit(0);
}

}  // namespace

int run_toolbox(int argc, char** argv, const StartOptions& options) {
  // The platform goes in as Qt's own "-platform" argument rather than into
  // QT_QPA_PLATFORM: the environment would pass on to every program we
  // start (the web browser of the About link) and force them onto X too.
  std::vector<char*> args(argv, argv + std::max(argc, 0));
  static char platform_flag[] = "-platform";
  static char xcb[] = "xcb";
  static char wayland[] = "wayland";
  const auto variable = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string_view(v ? v : "");
  };
  DisplayEnvironment environment{variable("QT_QPA_PLATFORM"), variable("DISPLAY"), variable("WAYLAND_DISPLAY")};
  // Probed only when it decides anything (a probe can start an X server).
  environment.x_reachable = environment.qt_platform.empty() && !environment.x_display.empty() &&
                            platform::x_server_reachable(environment.x_display);
  const Platform chosen = choose_platform(environment);
  std::fputs(std::string(platform_note(chosen)).c_str(), stderr);
  switch (chosen) {
    case Platform::Xcb:
      args.push_back(platform_flag);
      args.push_back(xcb);
      break;
    case Platform::Wayland:
      args.push_back(platform_flag);
      args.push_back(wayland);
      break;
    case Platform::NoDisplay:
    case Platform::XUnreachable: return 1;
    case Platform::AsChosen: break;
  }
  // Fonts are first needed by the toolbox's layout; their configuration
  // loads meanwhile, beside the application object's own start.
  platform::FontConfigPreload fonts;
  int qt_argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  QApplication application(qt_argc, args.data());
  QApplication::setApplicationName(QStringLiteral("markfit"));
  QGuiApplication::setDesktopFileName(QStringLiteral("org.example.markfit"));  // its menu entry
  QApplication::setQuitOnLastWindowClosed(false);  // the toolbox may be in the tray
  QApplication::setWindowIcon(ui::builtin_icon("markfit"));
  // For programs that drive this one from outside (the end-to-end tests).
  if (const char* map = std::getenv("MARKFIT_CONTROL_MAP"); map != nullptr && *map != '\0') {
    ui::start_control_map(map);
  }

  // SIGTERM, SIGINT and SIGHUP end the session as "E&xit" does: forms
  // cancelled, placements saved, files closed, exit code 0.
  std::unique_ptr<QSocketNotifier> session_signals;
  if (const int fd = platform::watch_session_signals(); fd >= 0) {
    session_signals = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(session_signals.get(), &QSocketNotifier::activated, [] {
      while (platform::take_session_signal() != 0) {
      }
      ui::end_session();
    });
  }

  runtime::start_runtime(argc > 0 && argv[0] ? argv[0] : "markfit");
  files::clear_error();
  module_setup();
  install_wait_question();
  fonts.wait();

  FirstExposure watcher([&options] {
    if (options.quit_when_shown) {
      std::fputs("shown\n", stdout);
      std::fflush(stdout);
      ui::post_to_first_thread(ui::events::kCloseDown);
    } else if (!options.screenshot_dir.empty()) {
      start_screenshots(options.screenshot_dir);
    }
  });
  if (options.quit_when_shown || !options.screenshot_dir.empty()) application.installEventFilter(&watcher);

  bool finished = false;
  ui::Task main = main_procedure(&finished);
  if (!finished) QApplication::exec();

  // The program ends with the toolbox: the windows still open close down
  // and their procedures finish (saving their placement) before we go.
  application.removeEventFilter(&watcher);
  ui::close_down_all();
  for (int round = 0; round < 1000 && (!finished || !ui::Window::open_windows().empty()); ++round) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return 0;
}

}  // namespace app
