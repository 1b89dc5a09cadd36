// The program as a person uses it: the real markfit on a virtual X screen,
// bare and under a window manager, driven by held clicks and typed keys,
// with the data files read back after every step through
// `markfit ksf dump --json`. A failing case leaves a screenshot of the
// screen in the build folder (e2e-screenshots/).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kToolbox = "markfit$MKFIT002";
constexpr const char* kTablesTitle = "Translations table";
constexpr const char* kCommandsTitle = "Commands table";
constexpr const char* kConversionTitle = "Prepare html code to use in Netloom";

// Control numbers of the windows, as their definitions order them.
constexpr int kToolsButton = 1;
constexpr int kApplicationButton = 3;
constexpr int kTablesList = 1;
constexpr int kCharactersList = 5;
constexpr int kTableNameEntry = 6;
constexpr int kHtmlCodeEntry = 4;
constexpr int kCommandEntry = 4;
constexpr int kCommandsList = 1;
constexpr int kReadFileEntry = 4;
constexpr int kReadLookup = 5;
constexpr int kWriteFileEntry = 7;
constexpr int kTableListOfConversion = 24;

std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Table {
  long long id;
  std::string name;
  bool operator==(const Table&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Table& t) { return o << t.id << ":'" << t.name << "'"; }

// A fresh screen, folder and program per case.
class Session : public ::testing::Test {
 protected:
  virtual Desktop::Manager manager() const = 0;

  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    name_ = name;
    folder_ = (fs::temp_directory_path() / ("markfit-e2e-" + std::to_string(::getpid()))).string();
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    std::string why;
    ASSERT_TRUE(desktop_.start(manager(), &why)) << why;
  }

  void TearDown() override {
    if (HasFailure()) {
      fs::create_directories(MARKFIT_E2E_SHOTS);
      const std::string shot = std::string(MARKFIT_E2E_SHOTS) + "/" + name_ + ".png";
      if (desktop_.screenshot(shot)) std::cerr << "screenshot: " << shot << "\n";
      std::cerr << "program log:\n" << program_.log();
    }
    if (program_.running()) {
      program_.signal(SIGKILL);
      (void)program_.wait_exit(10s);
    }
    fs::remove_all(folder_);
  }

  // Starts the program and waits for its toolbox.
  void start() {
    program_.start(folder_, desktop_.display());
    sent_before_start_ = desktop_.sent();
    ASSERT_TRUE(wait_for(program_, "the toolbox", [](const Json& m) { return window_named(m, kToolbox); }, 60s));
  }

  // --- Input, each followed by a wait until the program has taken it and
  // every window's procedure has caught up with it, so that the map read
  // next shows what it did (a procedure away in a message box or a window
  // it opened takes its events later; the one in front has them).
  void click(const Rect& r) {
    desktop_.click(r);
    settle("the click at " + std::to_string(r.cx()) + "," + std::to_string(r.cy()));
  }
  void key(const std::string& combination) {
    desktop_.key(combination);
    settle("the key " + combination);
  }
  void type(const std::string& text) {
    desktop_.type(text);
    settle("the typed text '" + text + "'");
  }
  void settle(const std::string& input) {
    const long long sent = desktop_.sent() - sent_before_start_;
    ASSERT_TRUE(wait_until(program_, "the program to take " + input, [&](const Json& m) {
      if (number_of(m, "input") < sent) return false;
      for (const Json& w : elements(at(m, "windows"))) {
        if (number_of(w, "pending") != 0 && flag_of(w, "waiting")) return false;
      }
      return true;
    }));
  }

  // A window takes input once it is where the window manager put it and
  // its procedure waits for events, having taken every one so far.
  static bool settled(const Json* window) {
    return window && flag_of(*window, "exposed") && flag_of(*window, "waiting") && number_of(*window, "pending") == 0;
  }

  Rect control_rect(const char* where, int n) {
    std::optional<Json> c = wait_for(program_, std::string(where) + " control " + std::to_string(n), [&](const Json& m) {
      const Json* w = std::string_view(where) == kToolbox ? window_named(m, where) : window_titled(m, where);
      const Json* found = settled(w) ? control_of(*w, n) : nullptr;
      return found && flag_of(*found, "visible") && flag_of(*found, "enabled") ? found : nullptr;
    });
    return c ? rect_of(*c) : Rect{};
  }
  Rect button_rect(const char* title, const char* text) {
    std::optional<Json> c = wait_for(program_, std::string(title) + " button " + text, [&](const Json& m) {
      const Json* w = window_titled(m, title);
      const Json* found = settled(w) ? control_texted(*w, text) : nullptr;
      return found && flag_of(*found, "visible") && flag_of(*found, "enabled") ? found : nullptr;
    });
    return c ? rect_of(*c) : Rect{};
  }

  void click_control(const char* where, int n) { click(control_rect(where, n)); }
  void click_button(const char* title, const char* text) { click(button_rect(title, text)); }

  // A popup menu is there for the mouse once mapped, and for the keys once
  // one of our windows has them (the menu takes them from there).
  static bool menu_ready(const Json& map) {
    return flag_of(at(map, "popup"), "exposed") && !at(map, "active").is_null();
  }
  // Opens a popup menu with a held click and waits for it.
  bool open_menu(int button, const char* first_item) {
    click_control(kToolbox, button);
    return wait_for(program_, std::string("the menu with ") + first_item,
                    [&](const Json& m) { return menu_ready(m) ? popup_item(m, first_item) : nullptr; })
        .has_value();
  }
  // `ends`: the item ends the program, so nothing is left to close.
  void choose(const char* item, bool ends = false) {
    std::optional<Json> i = wait_for(program_, std::string("menu item ") + item,
                                     [&](const Json& m) { return menu_ready(m) ? popup_item(m, item) : nullptr; });
    ASSERT_TRUE(i);
    if (ends) {
      desktop_.click(rect_of(*i));
      return;
    }
    click(rect_of(*i));
    ASSERT_TRUE(wait_until(program_, "the menu to close", [](const Json& m) { return at(m, "popup").is_null(); }));
  }
  void open_window(const char* item, const char* title) {
    ASSERT_TRUE(open_menu(kToolsButton, "Commands table"));
    choose(item);
    wait_window(title);
  }
  void wait_window(const char* title) {
    ASSERT_TRUE(wait_for(program_, title, [&](const Json& m) {
      const Json* w = window_titled(m, title);
      return settled(w) ? w : nullptr;
    }));
  }
  void wait_gone(const char* title) {
    ASSERT_TRUE(wait_until(program_, std::string("no window ") + title,
                           [&](const Json& m) { return window_titled(m, title) == nullptr; }));
  }
  // Waits until control n of the window has the keyboard focus (the window
  // has the keys then, too).
  void wait_focus(const char* title, int n) {
    ASSERT_TRUE(wait_until(program_, std::string(title) + " focus on control " + std::to_string(n), [&](const Json& m) {
      const Json* w = window_titled(m, title);
      const Json* c = settled(w) ? control_of(*w, n) : nullptr;
      return c && flag_of(*c, "focus");
    }));
  }
  // Presses `key` until control n of the window has the focus (at most a
  // round of the window's controls).
  void tab_to(const char* title, int n, const char* key_name = "Tab") {
    ASSERT_TRUE(wait_until(program_, title + std::string(" to have the keys"), [&](const Json& m) {
      const Json* w = window_titled(m, title);
      return settled(w) && flag_of(*w, "active");
    }));
    for (int i = 0; i < 40; ++i) {
      const Json m = program_.map();
      const Json* w = window_titled(m, title);
      const Json* c = w ? control_of(*w, n) : nullptr;
      if (c && flag_of(*c, "focus")) return;
      key(key_name);
    }
    FAIL() << "no " << key_name << " took the focus to control " << n << " of " << title;
  }
  void wait_entry_text(const char* title, int n, const std::string& text) {
    ASSERT_TRUE(wait_until(program_, std::string(title) + " entry showing '" + text + "'", [&](const Json& m) {
      const Json* w = window_titled(m, title);
      const Json* c = w ? control_of(*w, n) : nullptr;
      return c && text_of(*c, "text") == text;
    }));
  }
  // The first row on screen of a list whose cell `column` (0-based) is
  // `text` (blanks at the end ignored).
  std::optional<Json> list_row(const char* title, int list, int column, const std::string& text) {
    return wait_for(program_, std::string(title) + " row '" + text + "'", [&](const Json& m) -> const Json* {
      const Json* w = window_titled(m, title);
      const Json* c = settled(w) ? control_of(*w, list) : nullptr;
      if (!c) return nullptr;
      for (const Json& row : elements(at(*c, "rows"))) {
        const auto& cells = elements(at(row, "cells"));
        if (static_cast<int>(cells.size()) > column && trimmed(str(cells[static_cast<std::size_t>(column)])) == text) {
          return &row;
        }
      }
      return nullptr;
    });
  }
  void wait_current_row(const char* title, int list, int column, const std::string& text) {
    ASSERT_TRUE(wait_until(program_, std::string(title) + " highlight on '" + text + "'", [&](const Json& m) {
      const Json* w = window_titled(m, title);
      const Json* c = w ? control_of(*w, list) : nullptr;
      if (!c) return false;
      const long long current = number_of(*c, "current");
      for (const Json& row : elements(at(*c, "rows"))) {
        const auto& cells = elements(at(row, "cells"));
        if (number_of(row, "row") == current && static_cast<int>(cells.size()) > column &&
            trimmed(str(cells[static_cast<std::size_t>(column)])) == text) {
          return true;
        }
      }
      return false;
    }));
  }
  // A message box, once it is where the window manager put it; with
  // `keys`, once it has them too.
  const Json& wait_box(const char* caption, bool keys) {
    std::optional<Json> d = wait_for(program_, caption, [&](const Json& m) {
      const Json* box = dialog_titled(m, caption);
      return box && flag_of(*box, "exposed") && (!keys || flag_of(*box, "active")) ? box : nullptr;
    });
    box_ = *d;
    return box_;
  }
  // Presses Tab until the box's `button` has the focus.
  void box_tab_to(const char* caption, const char* button) {
    for (int i = 0; i < 8; ++i) {
      const Json* b = dialog_button(wait_box(caption, true), button);
      if (b && flag_of(*b, "focus")) return;
      key("Tab");
    }
    FAIL() << "no Tab took the focus to " << button << " of " << caption;
  }
  // A message box's button, clicked once the box is there.
  void answer(const char* caption, const char* button) {
    const Json* b = dialog_button(wait_box(caption, false), button);
    ASSERT_TRUE(b) << caption << " has no button " << button;
    click(rect_of(*b));
    ASSERT_TRUE(wait_until(program_, std::string("no ") + caption,
                           [&](const Json& m) { return dialog_titled(m, caption) == nullptr; }));
  }

  // --- The data files, as markfit ksf dump --json shows them ---
  std::vector<Json> records(const char* file) {
    std::string why;
    std::optional<std::vector<Json>> r = dump_records(folder_, file, &why);
    EXPECT_TRUE(r) << why;
    return r ? *r : std::vector<Json>{};
  }
  std::vector<Table> tables() {
    std::vector<Table> out;
    for (const Json& r : records("TRANSTAB.KSF")) out.push_back({number_of(r, "TTB:IDNR"), trimmed(text_of(r, "TTB:NAME"))});
    std::sort(out.begin(), out.end(), [](const Table& a, const Table& b) { return a.id < b.id; });
    return out;
  }
  std::vector<std::string> commands() {
    std::vector<std::string> out;
    for (const Json& r : records("COMMANDS.KSF")) out.push_back(trimmed(text_of(r, "COM:COMMANDSTRING")));
    return out;
  }
  // Characters per table id, and the html code of one character.
  std::map<long long, int> characters_per_table() {
    std::map<long long, int> out;
    for (const Json& r : records("TRANSLAT.KSF")) ++out[number_of(r, "TRA:TRANSLATIONTABLEID")];
    return out;
  }
  std::string html_code(long long table, const std::string& character) {
    for (const Json& r : records("TRANSLAT.KSF")) {
      if (number_of(r, "TRA:TRANSLATIONTABLEID") == table && trimmed(text_of(r, "TRA:CHARACTER")) == character) {
        return trimmed(text_of(r, "TRA:HTMLCHARS"));
      }
    }
    return "(none)";
  }
  std::string settings() const { return slurp(folder_ + "/Markfit.ini"); }

  void exit_by_menu() {
    ASSERT_TRUE(open_menu(kApplicationButton, "About"));
    choose("Exit", true);
    const std::optional<int> status = program_.wait_exit(30s);
    ASSERT_TRUE(status) << "the program did not end after Exit";
    EXPECT_EQ(*status, 0);
  }

  Desktop desktop_;
  long long sent_before_start_ = 0;
  Json box_;
  Program program_;
  std::string folder_;
  std::string name_;
};

using Manager = Desktop::Manager;
const std::vector<Table> kStandardOnly = {{1, "Standard"}};

class EndToEnd : public Session, public ::testing::WithParamInterface<Manager> {
 protected:
  Manager manager() const override { return GetParam(); }
};

TEST_P(EndToEnd, MenusOpenByHeldClicksEveryTime) {
  start();
  EXPECT_EQ(tables(), kStandardOnly);
  EXPECT_EQ(characters_per_table(), (std::map<long long, int>{{1, 223}}));
  for (const auto& [button, first, others] :
       {std::tuple{kToolsButton, "Commands table", std::vector<const char*>{"Translation table", "Write html code"}},
        std::tuple{kApplicationButton, "About", std::vector<const char*>{"Minimize", "Exit"}}}) {
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE(open_menu(button, first)) << "opening " << i + 1;
      const Json map = program_.map();
      for (const char* item : others) EXPECT_TRUE(popup_item(map, item)) << item;
      key("Escape");
      ASSERT_TRUE(wait_until(program_, "the menu to close", [](const Json& m) { return at(m, "popup").is_null(); }));
    }
  }
  exit_by_menu();
}

TEST_P(EndToEnd, EachWindowOpensFromTheMenuAndExitClosesThemAll) {
  start();
  open_window("Commands table", kCommandsTitle);
  open_window("Translation table", kTablesTitle);
  open_window("Write html code", kConversionTitle);
  exit_by_menu();
  const std::string ini = settings();
  for (const char* section : {"[ToolboxWindow]", "[CommandsTable]", "[CharacterTable]", "[WriteTargetCode]"}) {
    EXPECT_NE(ini.find(section), std::string::npos) << section << " not saved:\n" << ini;
  }
  EXPECT_EQ(tables(), kStandardOnly);
}

TEST_P(EndToEnd, TableAndCharacterByMouse) {
  start();
  open_window("Translation table", kTablesTitle);

  click_button(kTablesTitle, "Insert");
  wait_window("Record Will Be Added");
  click_control("Record Will Be Added", kTableNameEntry);
  wait_focus("Record Will Be Added", kTableNameEntry);
  type("Web");
  click_button("Record Will Be Added", "OK");
  wait_gone("Record Will Be Added");
  EXPECT_EQ(tables(), (std::vector<Table>{{1, "Standard"}, {2, "Web"}}));
  EXPECT_EQ(characters_per_table(), (std::map<long long, int>{{1, 223}, {2, 223}}));

  std::optional<Json> row = list_row(kTablesTitle, kTablesList, 1, "Web");
  ASSERT_TRUE(row);
  click(rect_of(*row));
  wait_current_row(kTablesTitle, kTablesList, 1, "Web");
  click_button(kTablesTitle, "Change");
  wait_window("Record Will Be Changed");
  click_control("Record Will Be Changed", kTableNameEntry);
  wait_focus("Record Will Be Changed", kTableNameEntry);
  key("ctrl+a");
  type("Html");
  click_button("Record Will Be Changed", "OK");
  wait_gone("Record Will Be Changed");
  EXPECT_EQ(tables(), (std::vector<Table>{{1, "Standard"}, {2, "Html"}}));

  // The characters list follows the highlighted table (Html, id 2).
  row = list_row(kTablesTitle, kCharactersList, 1, "#");
  ASSERT_TRUE(row);
  click(rect_of(*row));
  wait_current_row(kTablesTitle, kCharactersList, 1, "#");
  click_button(kTablesTitle, "View");
  wait_window("View html code");
  click_control("View html code", kHtmlCodeEntry);
  wait_focus("View html code", kHtmlCodeEntry);
  key("ctrl+a");
  type("&num");
  click_button("View html code", "OK");
  wait_gone("View html code");
  EXPECT_EQ(html_code(2, "#"), "&num");
  EXPECT_EQ(html_code(1, "#"), "#");

  row = list_row(kTablesTitle, kTablesList, 1, "Html");
  ASSERT_TRUE(row);
  click(rect_of(*row));
  wait_current_row(kTablesTitle, kTablesList, 1, "Html");
  click_button(kTablesTitle, "Delete");
  answer("Confirm Delete", "OK");
  ASSERT_TRUE(wait_until(program_, "Html gone from the list",
                         [](const Json& m) {
                           const Json* w = window_titled(m, kTablesTitle);
                           const Json* c = w ? control_of(*w, kTablesList) : nullptr;
                           return c && elements(at(*c, "rows")).size() == 1;
                         }));
  EXPECT_EQ(tables(), kStandardOnly);
  EXPECT_EQ(characters_per_table(), (std::map<long long, int>{{1, 223}}));

  click_button(kTablesTitle, "Close");
  wait_gone(kTablesTitle);
  exit_by_menu();
}

TEST_P(EndToEnd, TableAndCharacterByKeyboard) {
  start();
  open_window("Translation table", kTablesTitle);
  click_control(kTablesTitle, kTablesList);  // the list takes the keys
  wait_focus(kTablesTitle, kTablesList);

  // Insert key, typed name, Enter for OK.
  key("Insert");
  wait_window("Record Will Be Added");
  tab_to("Record Will Be Added", kTableNameEntry);
  type("Web");
  key("Return");
  wait_gone("Record Will Be Added");
  EXPECT_EQ(tables(), (std::vector<Table>{{1, "Standard"}, {2, "Web"}}));

  // Escape cancels, leaving no table behind.
  key("Insert");
  wait_window("Record Will Be Added");
  tab_to("Record Will Be Added", kTableNameEntry);
  type("Zeta");
  key("Escape");
  wait_gone("Record Will Be Added");
  EXPECT_EQ(tables(), (std::vector<Table>{{1, "Standard"}, {2, "Web"}}));

  // A typed letter finds the table, Ctrl+Enter changes it.
  wait_focus(kTablesTitle, kTablesList);
  type("s");
  wait_current_row(kTablesTitle, kTablesList, 1, "Standard");
  type("w");
  wait_current_row(kTablesTitle, kTablesList, 1, "Web");
  key("ctrl+Return");
  wait_window("Record Will Be Changed");
  tab_to("Record Will Be Changed", kTableNameEntry);
  key("ctrl+a");
  type("Html");
  key("Return");
  wait_gone("Record Will Be Changed");
  EXPECT_EQ(tables(), (std::vector<Table>{{1, "Standard"}, {2, "Html"}}));

  // Over to the characters, a typed letter, Ctrl+Enter to view.
  tab_to(kTablesTitle, kCharactersList);
  type("B");
  wait_current_row(kTablesTitle, kCharactersList, 1, "B");
  key("ctrl+Return");
  wait_window("View html code");
  tab_to("View html code", kHtmlCodeEntry);
  key("ctrl+a");
  type("&Beta");
  key("Return");
  wait_gone("View html code");
  EXPECT_EQ(html_code(2, "B"), "&Beta");

  // Back to the tables, Delete key, Tab to OK, Enter.
  tab_to(kTablesTitle, kTablesList, "shift+Tab");
  wait_current_row(kTablesTitle, kTablesList, 1, "Html");
  key("Delete");
  box_tab_to("Confirm Delete", "OK");
  key("Return");
  ASSERT_TRUE(wait_until(program_, "no Confirm Delete",
                         [](const Json& m) { return dialog_titled(m, "Confirm Delete") == nullptr; }));
  ASSERT_TRUE(wait_until(program_, "one table listed", [](const Json& m) {
    const Json* w = window_titled(m, kTablesTitle);
    const Json* c = w ? control_of(*w, kTablesList) : nullptr;
    return c && elements(at(*c, "rows")).size() == 1;
  }));
  EXPECT_EQ(tables(), kStandardOnly);
  EXPECT_EQ(characters_per_table(), (std::map<long long, int>{{1, 223}}));

  // Escape closes the window as Close does.
  key("Escape");
  wait_gone(kTablesTitle);
  EXPECT_NE(settings().find("[CharacterTable]"), std::string::npos);
  exit_by_menu();
}

TEST_P(EndToEnd, CommandByMouse) {
  start();
  open_window("Commands table", kCommandsTitle);

  click_button(kCommandsTitle, "Insert");
  wait_window("Adding a Commands Record");
  click_control("Adding a Commands Record", kCommandEntry);
  wait_focus("Adding a Commands Record", kCommandEntry);
  type("HtmlLine('");
  click_button("Adding a Commands Record", "OK");
  wait_gone("Adding a Commands Record");
  EXPECT_EQ(commands(), (std::vector<std::string>{"HtmlLine('"}));

  std::optional<Json> row = list_row(kCommandsTitle, kCommandsList, 0, "HtmlLine('");
  ASSERT_TRUE(row);
  click(rect_of(*row));
  click_button(kCommandsTitle, "Change");
  wait_window("Changing a Commands Record");
  click_control("Changing a Commands Record", kCommandEntry);
  wait_focus("Changing a Commands Record", kCommandEntry);
  key("End");
  type(" + ");
  click_button("Changing a Commands Record", "OK");
  wait_gone("Changing a Commands Record");
  EXPECT_EQ(commands(), (std::vector<std::string>{"HtmlLine(' +"}));

  row = list_row(kCommandsTitle, kCommandsList, 0, "HtmlLine(' +");
  ASSERT_TRUE(row);
  click(rect_of(*row));
  click_button(kCommandsTitle, "Delete");
  answer("Confirm Delete", "OK");
  ASSERT_TRUE(wait_until(program_, "an empty list", [](const Json& m) {
    const Json* w = window_titled(m, kCommandsTitle);
    const Json* c = w ? control_of(*w, kCommandsList) : nullptr;
    return c && elements(at(*c, "rows")).empty();
  }));
  EXPECT_EQ(commands(), std::vector<std::string>{});

  click_button(kCommandsTitle, "Close");
  wait_gone(kCommandsTitle);
  exit_by_menu();
}

TEST_P(EndToEnd, CommandByKeyboard) {
  start();
  open_window("Commands table", kCommandsTitle);
  click_control(kCommandsTitle, kCommandsList);
  wait_focus(kCommandsTitle, kCommandsList);

  for (const char* text : {"echo", "print"}) {
    key("Insert");
    wait_window("Adding a Commands Record");
    wait_focus("Adding a Commands Record", kCommandEntry);
    type(text);
    key("Return");
    wait_gone("Adding a Commands Record");
  }
  EXPECT_EQ(commands(), (std::vector<std::string>{"echo", "print"}));

  // Escape cancels: nothing added.
  key("Insert");
  wait_window("Adding a Commands Record");
  wait_focus("Adding a Commands Record", kCommandEntry);
  type("never");
  key("Escape");
  wait_gone("Adding a Commands Record");
  EXPECT_EQ(commands(), (std::vector<std::string>{"echo", "print"}));

  wait_focus(kCommandsTitle, kCommandsList);
  type("p");
  wait_current_row(kCommandsTitle, kCommandsList, 0, "print");
  key("ctrl+Return");
  wait_window("Changing a Commands Record");
  wait_focus("Changing a Commands Record", kCommandEntry);
  key("ctrl+a");
  type("write");
  // Tab to OK and press it with Enter.
  tab_to("Changing a Commands Record", 5);
  key("Return");
  wait_gone("Changing a Commands Record");
  EXPECT_EQ(commands(), (std::vector<std::string>{"echo", "write"}));

  wait_focus(kCommandsTitle, kCommandsList);
  type("e");
  wait_current_row(kCommandsTitle, kCommandsList, 0, "echo");
  key("Delete");
  // Escape answers Cancel: the command stays.
  wait_box("Confirm Delete", true);
  key("Escape");
  ASSERT_TRUE(wait_until(program_, "no Confirm Delete",
                         [](const Json& m) { return dialog_titled(m, "Confirm Delete") == nullptr; }));
  EXPECT_EQ(commands(), (std::vector<std::string>{"echo", "write"}));

  // Again, Tab to OK and Enter: it goes.
  wait_focus(kCommandsTitle, kCommandsList);
  key("Delete");
  box_tab_to("Confirm Delete", "OK");
  key("Return");
  ASSERT_TRUE(wait_until(program_, "one command listed", [](const Json& m) {
    const Json* w = window_titled(m, kCommandsTitle);
    const Json* c = w ? control_of(*w, kCommandsList) : nullptr;
    return c && elements(at(*c, "rows")).size() == 1;
  }));
  EXPECT_EQ(commands(), (std::vector<std::string>{"write"}));

  // Escape closes the window as Close does.
  wait_focus(kCommandsTitle, kCommandsList);
  key("Escape");
  wait_gone(kCommandsTitle);
  exit_by_menu();
}

TEST_P(EndToEnd, ConversionThroughTheWindowToAFile) {
  const std::string input = folder_ + "/page.htm";
  const std::string output = folder_ + "/page.htw";
  std::ofstream(input, std::ios::binary) << "<p>Caf\xE9</p>\r\n\r\n  <b>x</b>\r\n";
  start();
  open_window("Write html code", kConversionTitle);

  // The read file through the window's own file dialog, its name typed
  // into the dialog's entry once that has the keys (files used before may
  // be offered first, in a menu whose "Browse..." opens the dialog).
  click_control(kConversionTitle, kReadLookup);
  const auto dialog_entry = [](const Json& m) -> const Json* {
    const Json* d = dialog_titled(m, "Select file to read");
    if (!d || !flag_of(*d, "active") || !flag_of(*d, "exposed")) return nullptr;
    for (const Json& e : elements(at(*d, "edits"))) {
      if (flag_of(e, "focus")) return &e;
    }
    return nullptr;
  };
  const std::optional<Json> first = wait_for(program_, "the read file dialog", [&](const Json& m) {
    return menu_ready(m) && popup_item(m, "Browse...") ? &at(m, "popup") : dialog_entry(m);
  });
  if (first && at(*first, "items").is_array()) choose("Browse...");
  ASSERT_TRUE(wait_for(program_, "the read file dialog", dialog_entry));
  type(input);
  ASSERT_TRUE(wait_until(program_, "the typed name in the dialog", [&](const Json& m) {
    const Json* e = dialog_entry(m);
    return e && text_of(*e, "text") == input;
  }));
  // Enter takes the name, unless the name's completion is showing (it may
  // come up late, once the dialog has read the folder): then Enter or
  // Escape only puts it away, as it would for a person, who then presses
  // Enter again.
  for (int i = 0; i < 4 && dialog_titled(program_.map(), "Select file to read"); ++i) {
    key(at(program_.map(), "popup").is_null() ? "Return" : "Escape");
  }
  ASSERT_EQ(dialog_titled(program_.map(), "Select file to read"), nullptr) << "the dialog did not take the name";
  wait_entry_text(kConversionTitle, kReadFileEntry, input);

  click_control(kConversionTitle, kWriteFileEntry);
  wait_focus(kConversionTitle, kWriteFileEntry);
  type(output);
  click_button(kConversionTitle, "International");
  std::optional<Json> row = list_row(kConversionTitle, kTableListOfConversion, 0, "Standard");
  ASSERT_TRUE(row);
  click(rect_of(*row));
  click_button(kConversionTitle, "Process");
  // The run is over when the window's procedure waits for events again.
  ASSERT_TRUE(wait_until(program_, "the run to end", [&](const Json& m) {
    const Json* w = window_titled(m, kConversionTitle);
    return settled(w) && fs::exists(output);
  }));
  EXPECT_EQ(slurp(output), " <<p>Caf&eacute;<</p>\r\n\r\n   <<b>x<</b>\r\n");

  click_button(kConversionTitle, "Close");
  wait_gone(kConversionTitle);
  exit_by_menu();
  EXPECT_EQ(tables(), kStandardOnly);
}

// A signal is the end of the session: what is open is cancelled as Cancel
// or Escape would (no blank table left, no question answered yes),
// placements are saved and the program ends with 0. A program killed
// outright leaves its blank table, which the next start removes.
struct Ending {
  int signal;
  bool question;  // a delete's question is open, else an insert's form
};

class SessionEnd : public Session, public ::testing::WithParamInterface<Ending> {
 protected:
  Manager manager() const override { return Manager::None; }
};

TEST_P(SessionEnd, SignalEndsTheSessionAsExitDoes) {
  const Ending ending = GetParam();
  start();
  open_window("Translation table", kTablesTitle);
  if (ending.question) {
    click_button(kTablesTitle, "Delete");
    ASSERT_TRUE(wait_for(program_, "Confirm Delete", [](const Json& m) { return dialog_titled(m, "Confirm Delete"); }));
  } else {
    click_button(kTablesTitle, "Insert");
    wait_window("Record Will Be Added");
    EXPECT_EQ(tables(), (std::vector<Table>{{1, "Standard"}, {2, ""}})) << "the insert's table is there";
  }
  program_.signal(ending.signal);
  const std::optional<int> status = program_.wait_exit(30s);
  ASSERT_TRUE(status) << "still running after signal " << ending.signal;
  if (ending.signal == SIGKILL) {
    EXPECT_EQ(*status, 128 + SIGKILL);
    EXPECT_EQ(tables(), (std::vector<Table>{{1, "Standard"}, {2, ""}}));
    start();
    EXPECT_EQ(tables(), kStandardOnly) << "the next start removes the blank table";
    EXPECT_EQ(characters_per_table(), (std::map<long long, int>{{1, 223}}));
    exit_by_menu();
    return;
  }
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(tables(), kStandardOnly);
  EXPECT_EQ(characters_per_table(), (std::map<long long, int>{{1, 223}}));
  const std::string ini = settings();
  for (const char* section : {"[ToolboxWindow]", "[CharacterTable]"}) {
    EXPECT_NE(ini.find(section), std::string::npos) << section << " not saved:\n" << ini;
  }
  if (!ending.question) {
    EXPECT_NE(ini.find("[UpdateTransTable]"), std::string::npos) << ini;
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, SessionEnd,
                         ::testing::Values(Ending{SIGTERM, false}, Ending{SIGINT, false}, Ending{SIGHUP, true},
                                           Ending{SIGKILL, false}),
                         [](const ::testing::TestParamInfo<Ending>& p) {
                           const char* name = p.param.signal == SIGTERM  ? "Term"
                                              : p.param.signal == SIGINT ? "Int"
                                              : p.param.signal == SIGHUP ? "Hup"
                                                                         : "Kill";
                           return std::string(name) + (p.param.question ? "WithAQuestionOpen" : "WithAFormOpen");
                         });

// A Wayland desktop (Weston, headless, with XWayland): the program goes
// through X where an X server answers, takes the user's platform when one
// is set, and runs natively without X, saying once what that loses. A
// native run cannot know where its windows are and stores no placement
// (the native cases come first, so that none is stored yet).
TEST(WaylandTest, XWaylandByDefaultTheUsersChoiceWinsNativeWithoutXSaysWhatIsLost) {
  const std::string folder = (fs::temp_directory_path() / ("markfit-wayland-" + std::to_string(::getpid()))).string();
  fs::remove_all(folder);
  fs::create_directories(folder + "/runtime");
  Compositor weston;
  std::string why;
  if (!weston.start(folder + "/runtime", &why)) {
    fs::remove_all(folder);
    GTEST_SKIP() << "no Wayland desktop can run here, so this case cannot: " << why;
  }
  const std::string note = "running natively";
  const struct {
    const char* name;
    bool x_display;
    const char* qt_platform;
    const char* platform;
    bool says;
  } cases[] = {
      {"no X server", false, "", "wayland", true},
      {"user's choice", true, "wayland", "wayland", false},
      {"XWayland", true, "", "xcb", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t earlier_log = slurp(folder + "/markfit.log").size();  // the runs share it
    Program program;
    program.start(folder, c.x_display ? weston.x_display() : "",
                  {{"XDG_RUNTIME_DIR", weston.runtime_dir()},
                   {"WAYLAND_DISPLAY", weston.wayland_display()},
                   {"QT_QPA_PLATFORM", c.qt_platform}});
    std::optional<Json> toolbox;
    try {
      toolbox = wait_for(program, "the toolbox", [](const Json& m) { return window_named(m, kToolbox); }, 60s);
    } catch (const Stop&) {
      continue;
    }
    EXPECT_EQ(text_of(program.map(), "platform"), c.platform);
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait_exit(30s), std::optional<int>(0));
    const std::string log = program.log().substr(earlier_log);
    std::size_t said = 0;
    for (std::size_t at = log.find(note); at != std::string::npos; at = log.find(note, at + 1)) ++said;
    EXPECT_EQ(said, c.says ? 1u : 0u) << log;
    const std::string ini = slurp(folder + "/Markfit.ini");
    EXPECT_EQ(ini.find("[ToolboxWindow]") != std::string::npos, std::string_view(c.platform) == "xcb")
        << "placement stored or not, wrongly:\n" << ini;
  }
  fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(Desktops, EndToEnd, ::testing::Values(Manager::None, Manager::Openbox),
                         [](const ::testing::TestParamInfo<Manager>& p) {
                           return p.param == Manager::None ? std::string("Bare") : std::string("Openbox");
                         });

}  // namespace
}  // namespace e2e
