#include "app/tables/add_translations.h"

#include <QWidget>
#include <string>

#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/dictionary/standard_table.h"
#include "app/data/globals.h"
#include "app/windows/placement.h"
#include "app/data/standard_messages.h"
#include "app/data/transactions.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "ui/window.h"

namespace app {
namespace {

using ui::ControlDef;
using ui::ControlKind;
using ui::control;
using namespace dictionary;

constexpr ControlDef kControls[] = {
    control(ControlKind::String, "Please wait while building translation table...", 10, 10, 270, 14)
        .with_font({"Times New Roman", 14, false}),
    control(ControlKind::String, "counter", 10, 30, 270, 14).with_font({"Times New Roman", 14, false}),
};

ui::WindowDef make_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT009";
  d.caption = "Adding translation table characters";
  d.w = 290;
  d.h = 52;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kCentre;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kWindow = make_window();

constexpr std::string_view kSection = "AddTranslations";
constexpr std::uint32_t kTransactionSeconds = 2;
constexpr std::int32_t kDuplicateKey = 40;

}  // namespace

const ui::WindowDef& add_translations_definition() { return kWindow; }

bool standard_table_needed() {
  files::open(Translations, 0x22);  // read/write; others denied writing
  const std::int32_t code = files::ERRORCODE();
  if (code == 0) {
    const bool empty = files::records(Translations) == 0;
    files::close(Translations);
    return empty;
  }
  if (code == 52) return files::records(Translations) == 0;  // open already in this program
  if (code != 5 && code != 32) return true;
  if (!system_lets_write(Translations)) {
    checked_open(Translations);  // says why and ends the program
    files::close(Translations);  // (it could be opened after all)
  }
  return false;
}

ui::Task AddTranslations(std::int32_t table_id) {
  take_request();
  use_file(TransTables);
  use_file(Translations);
  ui::Window window(kWindow);
  restore_placement(window, kSection, kSettingsFile);
  // The window shows with its first event; the build runs right after.
  co_await window.next_event();

  bool failed = false;
  if (table_id == 1) {
    clear(TTB);
    TTB.idnr = 1;
    set_field(TTB.name, kStandardTableName);
    files::add(TransTables);
    failed = files::ERRORCODE() != 0 && files::ERRORCODE() != kDuplicateKey;
  }
  // The characters go in as one transaction of their one file: a single
  // flush at the commit.
  const bool framed = !failed && begin_transaction(kTransactionSeconds, {&Translations});
  if (!framed && !failed) files::clear_error();
  for (int c = kFirstStandardCode; c <= kLastStandardCode && !failed; ++c) {
    clear(TRA);
    TRA.translationtableid = table_id;
    set_field(TRA.character, std::string(1, static_cast<char>(c)));
    set_field(TRA.htmlchars, standard_replacement(c));
    TRA.asciinr = c;
    files::add(Translations);
    failed = files::ERRORCODE() != 0 && files::ERRORCODE() != kDuplicateKey;
    window.set_text(add_translations::kCounter, std::to_string(c));
    if (QWidget* counter = window.widget(add_translations::kCounter)) counter->repaint();
  }
  if (failed) {
    keep_error();  // rolls the build back
    standard_message(msg::kRecordInsertError);
  } else if (framed && !commit_transaction()) {
    standard_message(msg::kRecordInsertError);
  }

  save_placement(window, kSection, kSettingsFile);
  window.close();
  release_file(Translations);
  release_file(TransTables);
  global_response = kRequestCancelled;
}

}  // namespace app
