// Shared by the tests of the browse windows and their forms: data files in
// a fresh folder, "another program" (a declaration of its own opened
// through a file registry of its own, so that its locks and caches meet
// ours as another process's would), and driving a procedure's windows
// through their controls.
#pragma once

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QTest>
#include <string>
#include <vector>

#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/data/globals.h"
#include "app/data/transactions.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/driver.h"
#include "files/kestrel/pager.h"
#include "files/kestrel/transaction.h"
#include "tests/app/app_fixture.h"

namespace browse_test {

using namespace dictionary;

// One of the data files as another program declares and opens it.
class OtherProgram {
 public:
  explicit OtherProgram(const files::FileDescriptor& like) : buffer_(like.record_length, ' ') {
    fd_.driver = like.driver;
    fd_.name = like.name;
    fd_.attributes = like.attributes;
    fd_.label = like.label;
    fd_.record = buffer_.data();
    fd_.record_length = like.record_length;
    fd_.fields = like.fields;
    fd_.keys = like.keys;
    fd_.link_keys();
    files::set_kestrel_registry(&registry_);
    files::open(fd_, 0x42);
    files::set_kestrel_registry(nullptr);
  }
  ~OtherProgram() { files::close(fd_); }
  template <class R>
  R& as() { return *reinterpret_cast<R*>(buffer_.data()); }
  files::FileDescriptor& fd() { return fd_; }

 private:
  files::kestrel::FileRegistry registry_;
  std::vector<std::uint8_t> buffer_;
  files::FileDescriptor fd_;
};

class BrowseTest : public gui_test::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    files::kestrel::set_control_file(file("kestrel.tcf"));
    files::clear_error();
    saved_error = {};
    clear_record_buffers();
    app::global_request = 0;
    app::global_response = 0;
    for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::use_file(*f);
  }
  void TearDown() override {
    ui::close_down_all();
    gui_test::pump_until([] { return ui::Window::open_windows().empty(); });
    task = {};
    for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) {
      while (usage_count(*f) > 0) app::release_file(*f);
    }
    GuiTest::TearDown();
  }

  void add_command(std::string_view text) {
    set_field(COM.commandstring, text);
    files::add(Commands);
    ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
  }
  // A table with the characters from 33 on (their html code "&c<code>").
  void add_table(std::int32_t id, std::string_view name, int characters) {
    ASSERT_TRUE(app::begin_transaction(2, {&TransTables, &Translations})) << files::ERROR();
    TTB.idnr = id;
    set_field(TTB.name, name);
    files::add(TransTables);
    ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
    for (int c = 33; c < 33 + characters; ++c) {
      clear(TRA);
      TRA.translationtableid = id;
      TRA.asciinr = c;
      set_field(TRA.character, std::string(1, static_cast<char>(c)));
      set_field(TRA.htmlchars, "&c" + std::to_string(c));
      files::add(Translations);
      ASSERT_EQ(files::ERRORCODE(), 0) << files::ERROR();
    }
    ASSERT_TRUE(app::commit_transaction()) << files::ERROR();
  }
  std::int32_t count(files::FileDescriptor& f) { return files::records(f); }

  ui::Window* window(const ui::WindowDef& def) { return app_test::window_named(def.name); }
  bool opens(const ui::WindowDef& def) {
    return gui_test::pump_until([&] { return window(def) != nullptr; });
  }
  bool closes(const ui::WindowDef& def) {
    return gui_test::pump_until([&] { return window(def) == nullptr; });
  }
  void press(const ui::WindowDef& def, int control) {
    ui::Window* w = window(def);
    ASSERT_NE(w, nullptr) << def.name;
    auto* button = qobject_cast<QAbstractButton*>(w->widget(control));
    ASSERT_NE(button, nullptr);
    gui_test::click(button);
    gui_test::pump();
  }
  void type(const ui::WindowDef& def, int control, const QString& text) {
    ui::Window* w = window(def);
    ASSERT_NE(w, nullptr) << def.name;
    auto* edit = qobject_cast<QLineEdit*>(w->widget(control));
    ASSERT_NE(edit, nullptr);
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
    gui_test::pump();
  }
  void key(const ui::WindowDef& def, int control, Qt::Key k, Qt::KeyboardModifiers mods = {}) {
    ui::Window* w = window(def);
    ASSERT_NE(w, nullptr) << def.name;
    QTest::keyClick(w->widget(control), k, mods);
    gui_test::pump();
  }
  void double_click(const ui::WindowDef& def, int control, int row) {
    ui::Window* w = window(def);
    ASSERT_NE(w, nullptr);
    auto* view = qobject_cast<QAbstractItemView*>(w->widget(control));
    ASSERT_NE(view, nullptr);
    const QRect r = view->visualRect(view->model()->index(row - 1, 0));
    const QPoint at = row > 0 && r.isValid() ? r.center() : QPoint(5, view->viewport()->height() - 3);
    gui_test::click(view->viewport(), at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
    gui_test::pump();
  }
  // A right click on row `row` (0: below the rows).
  void right_click(const ui::WindowDef& def, int control, int row) {
    ui::Window* w = window(def);
    ASSERT_NE(w, nullptr);
    auto* view = qobject_cast<QAbstractItemView*>(w->widget(control));
    ASSERT_NE(view, nullptr);
    QWidget* viewport = view->viewport();
    const QPoint at = row > 0 ? view->visualRect(view->model()->index(row - 1, 0)).center()
                              : QPoint(5, viewport->height() - 3);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QCoreApplication::sendEvent(viewport, &menu);
    gui_test::pump();
  }
  // Every row of a list: the cell `cell` of each, without trailing blanks.
  std::vector<std::string> cells(const ui::WindowDef& def, int control, std::size_t cell) {
    std::vector<std::string> out;
    ui::Window* w = window(def);
    if (!w) return out;
    for (int r = 1; r <= w->list_row_count(control); ++r) {
      const std::vector<std::string> row = w->list_row(control, r);
      out.push_back(cell < row.size() ? std::string(ui::clip(row[cell])) : std::string());
    }
    return out;
  }
  // The highlighted row's cell, without trailing blanks; "" for none.
  std::string highlighted(const ui::WindowDef& def, int control, std::size_t cell) {
    ui::Window* w = window(def);
    if (!w) return {};
    const int row = std::atoi(w->property(control, ui::props::kSelected).c_str());
    const std::vector<std::string> r = w->list_row(control, row);
    return cell < r.size() ? std::string(ui::clip(r[cell])) : std::string();
  }

  ui::Task task;
};

}  // namespace browse_test
