// What the translation tables browse costs as the files grow: the window
// opened (both lists filled) and paged through, on files of 10 tables and
// of 1,000 tables (223 characters each: 2,230 and 223,000 characters), in
// one run, so that the second reads as a ratio to the first.
//
// The window is the program's own (CharacterTable), on the offscreen
// platform, its lists the size its definition gives them. For each file:
//   open          CharacterTable() until it waits for its first event: the
//                 window built, the tables list and the first table's
//                 characters read;
//   tables down   PageDown on the tables list, from the top to the end: a
//                 page of tables read, and the characters of the table then
//                 highlighted read (its first page);
//   chars down    PageDown on the characters list through all of a table's
//                 characters, for the table highlighted after each tables
//                 page (up to 20 tables spread over the file);
//   chars up      PageUp back to the top, likewise.
// A page is timed from posting its event to the procedure done with it,
// with whatever Qt paints meanwhile. Each line gives the median
// milliseconds for both files and the ratio large / small. The goal: the
// large files within 1.5 times the small ones, every page under 10 ms.
//
// Usage: character_table_bench [ROUNDS]   (default 3; each round opens the
// window once and pages as above). The files live in a fresh directory
// under $TMPDIR (or /tmp), removed at the end.
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/tables/character_table.h"
#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/data/globals.h"
#include "app/data/transactions.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "files/kestrel/transaction.h"
#include "ui/engine_codes.h"
#include "ui/queued_responder.h"
#include "ui/window.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace dictionary;
namespace ch = app::character_table;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "character_table_bench: %s\n", what.c_str());
  std::exit(1);
}

void ok(const char* what) {
  if (files::ERRORCODE() != 0) die(std::string(what) + ": " + files::ERROR());
}

struct Timing {
  std::vector<double> ms;
  double median() const {
    if (ms.empty()) return 0;
    std::vector<double> s = ms;
    std::nth_element(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(s.size() / 2), s.end());
    return s[s.size() / 2];
  }
  double worst() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

struct Result {
  Timing open, tables_down, chars_down, chars_up;
  int rows = 0;
};

void build(int tables) {
  for (int first = 1; first <= tables; first += 100) {
    if (!app::begin_transaction(2, {&TransTables, &Translations})) ok("begin");
    for (int t = first; t < first + 100 && t <= tables; ++t) {
      char name[21];
      std::snprintf(name, sizeof name, "Table %04d", t);
      clear(TTB);
      TTB.idnr = t;
      set_field(TTB.name, name);
      files::add(TransTables);
      ok("add table");
      for (int c = 33; c <= 255; ++c) {
        clear(TRA);
        TRA.translationtableid = t;
        TRA.asciinr = c;
        set_field(TRA.character, std::string(1, static_cast<char>(c)));
        set_field(TRA.htmlchars, "&#" + std::to_string(c));
        files::add(Translations);
        ok("add character");
      }
    }
    if (!app::commit_transaction()) ok("commit");
  }
}

ui::Window* browse_window() {
  for (ui::Window* w : ui::Window::open_windows()) {
    if (w->definition().name == app::character_table_definition().name) return w;
  }
  return nullptr;
}

std::string first_cell(ui::Window* w, int list) {
  const std::vector<std::string> row = w->list_row(list, 1);
  return row.empty() ? std::string() : row.back();
}

// Posts a page event and lets the procedure take it; the time it took, and
// whether the page moved.
double page(ui::Window* w, int list, std::int32_t event, bool* moved) {
  const std::string before = first_cell(w, list);
  const auto t0 = Clock::now();
  w->post(event, list);
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  *moved = first_cell(w, list) != before;
  return ms;
}

Result run(const std::filesystem::path& dir, int tables, int rounds) {
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  files::kestrel::set_control_file((dir / "kestrel.tcf").string());
  // Held open by the bench, as another window of the program would.
  for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::use_file(*f);
  build(tables);

  Result r;
  for (int round = 0; round < rounds; ++round) {
    const auto t0 = Clock::now();
    ui::Task task = app::CharacterTable();
    r.open.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    ui::Window* w = browse_window();
    if (!w) die("the window did not open");
    QCoreApplication::processEvents();
    r.rows = w->list_page_size(ch::kCharacters);

    const int every = std::max(1, tables / 15 / 20);  // about 20 tables spread over the file
    for (int tables_page = 0;; ++tables_page) {
      if (tables_page % every == 0) {
        bool moved = true;
        while (moved) r.chars_down.ms.push_back(page(w, ch::kCharacters, ui::events::kPageDown, &moved));
        moved = true;
        while (moved) r.chars_up.ms.push_back(page(w, ch::kCharacters, ui::events::kPageUp, &moved));
      }
      bool moved = false;
      r.tables_down.ms.push_back(page(w, ch::kTables, ui::events::kPageDown, &moved));
      if (!moved) break;
    }
    w->post(ui::events::kCloseWindow);
    for (int i = 0; i < 1000 && !task.done(); ++i) QCoreApplication::processEvents();
    if (!task.done()) die("the window did not close");
  }
  for (files::FileDescriptor* f : {&TransTables, &Translations, &Commands}) app::release_file(*f);
  return r;
}

void line(const char* what, const Timing& small, const Timing& large) {
  const double ratio = small.median() > 0 ? large.median() / small.median() : 0;
  std::printf("%-12s %9.3f %9.3f %7.2f %9.3f %9.3f %6zu\n", what, small.median(), large.median(), ratio,
              small.worst(), large.worst(), large.ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ui::QueuedResponder responder;  // no box may come up; one that does is counted
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/markfit-chartable-XXXXXX";
  if (!mkdtemp(pattern.data())) die("cannot make a directory");
  const std::filesystem::path root = pattern;
  const std::filesystem::path home = std::filesystem::current_path();
  qputenv("MARKFIT_PROFILE", QByteArray::fromStdString((root / "profile.ini").string()));
  app::module_setup();

  const Result small = run(root / "small", 10, rounds);
  const Result large = run(root / "large", 1000, rounds);
  std::filesystem::current_path(home);
  std::filesystem::remove_all(root);

  std::printf("CharacterTable on 10 tables (2,230 characters) and 1,000 tables (223,000 characters)\n");
  std::printf("%d round(s); %d rows a page; milliseconds, median and worst\n", rounds, small.rows);
  std::printf("%-12s %9s %9s %7s %9s %9s %6s\n", "", "small", "large", "ratio", "worst s", "worst l", "pages");
  line("open", small.open, large.open);
  line("tables down", small.tables_down, large.tables_down);
  line("chars down", small.chars_down, large.chars_down);
  line("chars up", small.chars_up, large.chars_up);
  if (responder.messages().size() > 0) die("a message box came up: " + responder.messages().front().text);
  return 0;
}
