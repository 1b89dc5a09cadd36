#include "app/toolbox/screenshots.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "app/toolbox/about_markfit.h"
#include "app/tables/add_translations.h"
#include "app/tables/character_table.h"
#include "app/commands/commands_table.h"
#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/data/globals.h"
#include "app/commands/update_commands.h"
#include "app/tables/update_trans_table.h"
#include "app/tables/update_translations.h"
#include "files/driver/file_ops.h"
#include "app/data/standard_messages.h"
#include "files/driver/error_state.h"
#include "app/toolbox/toolbox_window.h"
#include "app/conversion/window/write_target_code.h"
#include "ui/qt_dialogs.h"
#include "ui/services.h"
#include "ui/text.h"
#include "ui/window.h"

namespace app {
namespace {

struct Run {
  QDir dir;
  std::vector<std::function<void()>> steps;
  std::size_t next = 0;
  int failures = 0;

  void save(const QPixmap& pixmap, const char* name) {
    const QString file = dir.filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
    if (pixmap.isNull() || !pixmap.save(file)) {
      ++failures;
      std::fprintf(stderr, "markfit: could not write %s\n", file.toLocal8Bit().constData());
    }
  }
};

ui::Window* window_named(std::string_view name) {
  for (ui::Window* w : ui::Window::open_windows()) {
    if (w->definition().name == name) return w;
  }
  return nullptr;
}

void grab_window(Run& run, const ui::WindowDef& def, const char* name) {
  if (ui::Window* w = window_named(def.name); w && w->widget()) {
    run.save(w->widget()->grab(), name);
  } else {
    ++run.failures;
    std::fprintf(stderr, "markfit: %s is not open\n", name);
  }
}

// Presses a button of an open window, as a click would.
void press(const ui::WindowDef& def, int control) {
  if (ui::Window* w = window_named(def.name)) w->post(ui::events::kAccepted, control);
}

// A few commands to list, when there are none yet.
void add_sample_commands() {
  using namespace dictionary;
  use_file(Commands);
  if (files::records(Commands) == 0) {
    for (const char* c : {"  HtmlLine('", "Response.Write \"", "out.println(\"", "echo '", "print \"",
                          "document.writeln('", "<<", "add_line '"}) {
      set_field(COM.commandstring, c);
      files::add(Commands);
    }
  }
  release_file(Commands);
}

// Shows the menu of `text` next to the toolbox, grabs it, closes it.
void grab_menu(Run& run, const char* text, const char* name) {
  ui::Window* toolbox = window_named(toolbox_definition().name);
  auto* menu = new QMenu;
  ui::fill_menu(*menu, ui::parse_menu_text(text));
  QPoint at(40, 40);
  if (toolbox && toolbox->widget()) at = toolbox->widget()->geometry().topRight() + QPoint(4, 0);
  menu->popup(at);
  QTimer::singleShot(150, menu, [&run, menu, name] {
    run.save(menu->grab(), name);
    menu->close();
    menu->deleteLater();
  });
}

// Shows the message box of `request`, grabs it, closes it.
void grab_message(Run& run, const ui::MessageRequest& request, const char* name) {
  auto* box = ui::make_message_box(request).release();
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->show();
  QTimer::singleShot(150, box, [&run, box, name] {
    run.save(box->grab(), name);
    box->close();
  });
}

// A standard message as the user sees it.
void grab_standard_message(Run& run, int number, const char* t1, const char* t2, const char* name) {
  const MessageBox m = compose_message(number, t1, t2);
  ui::MessageRequest request;
  request.text = m.text;
  request.caption = m.caption;
  request.icon = m.icon;
  request.buttons = m.buttons;
  request.default_button = m.default_button;
  grab_message(run, request, name);
}

}  // namespace

void start_screenshots(const std::string& directory) {
  auto run = std::make_shared<Run>();
  run->dir = QDir(ui::to_qstring(directory));
  if (!run->dir.exists() && !QDir().mkpath(run->dir.path())) {
    std::fprintf(stderr, "markfit: cannot make %s\n", directory.c_str());
  }
  Run& r = *run;
  r.steps = {
      [&r] {
        if (ui::Window* t = window_named(toolbox_definition().name); t && t->widget()) {
          r.save(t->widget()->grab(), "toolbox");
          // Four times as large, to judge the icons and the title.
          const QPixmap big = t->widget()->grab().scaled(t->widget()->size() * 4, Qt::KeepAspectRatio,
                                                          Qt::FastTransformation);
          r.save(big, "toolbox_x4");
        }
      },
      [&r] { grab_menu(r, toolbox::kToolsMenu, "tools_menu"); },
      [&r] { grab_menu(r, toolbox::kApplicationMenu, "application_menu"); },
      [&r] { grab_menu(r, toolbox::kTrayMenu, "tray_menu"); },
      [] { static_cast<void>(AboutMarkfit()); },
      [&r] {
        if (ui::Window* a = window_named(about_definition().name); a && a->widget()) {
          r.save(a->widget()->grab(), "about");
          a->set_property(about::kLink, ui::props::kFontColor, std::to_string(ui::kColorRed));
        }
      },
      [&r] {
        if (ui::Window* a = window_named(about_definition().name); a && a->widget()) {
          r.save(a->widget()->grab(), "about_link_hover");
        }
      },
      [&r] {
        if (QScreen* screen = QGuiApplication::primaryScreen()) r.save(screen->grabWindow(0), "desktop");
      },
      [&r] {
        ui::MessageRequest request;
        request.text = "The file to write already exists.  Do you want to overwrite it?";
        request.caption = "File already exists";
        request.icon = ui::MessageIcon::Exclamation;
        request.buttons = ui::Button::Yes | ui::Button::No;
        request.default_button = ui::Button::Yes;
        auto* box = ui::make_message_box(request).release();
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
        QTimer::singleShot(150, box, [&r, box] {
          r.save(box->grab(), "message_box");
          box->close();
        });
      },
      [&r] {
        // The builder's window half way through a build.
        auto* builder = new ui::Window(add_translations_definition());
        builder->set_text(add_translations::kCounter, "142");
        if (QWidget* w = builder->widget()) {
          w->show();
          QTimer::singleShot(150, w, [&r, builder] {
            r.save(builder->widget()->grab(), "add_translations");
            delete builder;
          });
        }
      },
      [&r] {
        files::post(2);
        grab_standard_message(r, msg::kFileAccessError, "/home/user/TRANSLAT.KSF", "", "message_30");
      },
      [&r] {
        files::post(5);
        grab_standard_message(r, msg::kTransactionFramingError, "Delete", "TransTables", "message_34");
      },
      [&r] { grab_standard_message(r, msg::kRecordUpdateErrorChange, "", "", "message_16"); },
      [] { static_cast<void>(WriteTargetCode()); },
      [&r] {
        if (ui::Window* w = window_named(write_target_code_definition().name); w && w->widget()) {
          r.save(w->widget()->grab(), "write_target_code");
          // As during a run, with its fields filled in.
          namespace wc = write_code;
          w->set_text(wc::kReadFile, "/home/user/site/index.htm");
          w->set_text(wc::kWriteFile, "/home/user/site/index.htw");
          w->set_text(wc::kBefore, "HtmlLine('");
          w->set_text(wc::kAfter, "')");
          w->set_property(wc::kProgress, ui::props::kHide, "0");
          w->set_property(wc::kProcess, ui::props::kDisable, "0");
        }
      },
      [&r] {
        if (ui::Window* w = window_named(write_target_code_definition().name); w && w->widget()) {
          r.save(w->widget()->grab(), "write_target_code_filled");
          w->widget()->resize(w->widget()->minimumSize());  // its preview shrunk: what a small screen gets
        }
      },
      [&r] {
        if (ui::Window* w = window_named(write_target_code_definition().name); w && w->widget()) {
          r.save(w->widget()->grab(), "write_target_code_smallest");
        }
      },
      [&r] {
        ui::MessageRequest request;
        request.text = "Could not open the input file.\n\n'/home/user/site/index.htm' is not a text file: it holds a "
                       "NUL byte (at byte 3), as binary files and UTF-16 text do.";
        request.caption = "ERROR: Could not open file";
        request.icon = ui::MessageIcon::Question;
        grab_message(r, request, "write_input_error");
      },
      [&r] {
        ui::MessageRequest request;
        request.text = "1 line was longer than 1024 characters and was cut; the first is line 17.\n\nThe clipboard "
                       "holds only the first 29999 characters: 212 lines from line 480 on are cut or missing.";
        request.caption = "Lines cut";
        request.icon = ui::MessageIcon::Asterisk;
        grab_message(r, request, "write_lines_cut");
      },
      // The translation tables with the standard table built at start.
      [] { static_cast<void>(CharacterTable()); },
      [&r] { grab_window(r, character_table_definition(), "character_table"); },
      [] {
        if (ui::Window* w = window_named(character_table_definition().name)) {
          w->set_position(0, ui::Window::kUnchanged, ui::Window::kUnchanged, w->du_x(330), w->du_y(220));
        }
      },
      [&r] { grab_window(r, character_table_definition(), "character_table_larger"); },
      [] { press(character_table_definition(), character_table::kInsert); },
      [&r] { grab_window(r, update_trans_table_definition(), "update_trans_table"); },
      [] { press(update_trans_table_definition(), update_trans_table::kCancel); },
      [] { press(character_table_definition(), character_table::kView); },
      [&r] { grab_window(r, update_translations_definition(), "update_translations"); },
      [] { press(update_translations_definition(), update_translations::kCancel); },
      [] { press(character_table_definition(), character_table::kClose); },
      [&r] { grab_menu(r, "&Insert|&Change|&Delete", "tables_menu"); },
      // The commands, plain and in select mode, and their form.
      [] {
        add_sample_commands();
        static_cast<void>(CommandsTable());
      },
      [&r] { grab_window(r, commands_table_definition(), "commands_table"); },
      [] { press(commands_table_definition(), commands_table::kChange); },
      [&r] { grab_window(r, update_commands_definition(), "update_commands"); },
      [] { press(update_commands_definition(), update_commands::kCancel); },
      [] { press(commands_table_definition(), commands_table::kClose); },
      [] {
        global_request = kSelectRecord;
        static_cast<void>(CommandsTable());
      },
      [&r] { grab_window(r, commands_table_definition(), "commands_table_select"); },
      [&r] { grab_menu(r, "&Insert|&Change|&Delete|-|&Select", "commands_menu"); },
      [] { ui::close_down_all(); },
  };
  // One step every 300 ms, so that each window is painted before the grab.
  auto* timer = new QTimer(QCoreApplication::instance());
  QObject::connect(timer, &QTimer::timeout, timer, [run, timer] {
    if (run->next < run->steps.size()) {
      run->steps[run->next++]();
      return;
    }
    timer->stop();
    timer->deleteLater();
  });
  timer->start(300);
}

}  // namespace app
