#include "app/tables/update_trans_table.h"

#include <cstring>
#include <optional>
#include <string>

#include "app/windows/browse_list.h"
#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/data/globals.h"
#include "app/windows/placement.h"
#include "app/data/standard_messages.h"
#include "app/data/update_rules.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "ui/services.h"
#include "ui/window.h"

namespace app {
namespace {

using ui::ControlDef;
using ui::ControlKind;
using ui::control;
using namespace dictionary;
namespace ut = update_trans_table;

constexpr ControlDef kControls[] = {
    control(ControlKind::Sheet, "", 4, 4, 172, 52),
    control(ControlKind::Tab, "General", 0, 0, 0, 0),
    control(ControlKind::Prompt, "ID Nr:", 12, 24, 36, 10),
    control(ControlKind::Entry, "", 52, 23, 30, 12).with_format("@n_4"),
    control(ControlKind::Prompt, "Name:", 12, 40, 36, 10),
    control(ControlKind::Entry, "", 52, 39, 116, 12).with_format("@s20").with_tip("Name of translation table"),
    control(ControlKind::Button, "OK", 80, 62, 46, 14).with_flags(ui::kDefaultButton),
    control(ControlKind::Button, "Cancel", 130, 62, 46, 14).with_flags(ui::kCancelButton),
};

ui::WindowDef make_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT006";
  d.caption = "Record Will Be Added";
  d.w = 180;
  d.h = 82;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kSystemMenu | ui::kCentre | ui::kModal;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kWindow = make_window();

constexpr std::string_view kSection = "UpdateTransTable";
constexpr std::int32_t kRecordNotAvailable = 33;
constexpr std::int32_t kRecordNotFound = 35;
constexpr std::int32_t kDuplicateKey = 40;

// The values of the last save tried in any table form, for Ctrl+'.
TransTablesRecord g_ditto{};
bool g_have_ditto = false;

// Deletes the record an insert numbered and added, by that number.
void delete_placeholder(std::int32_t id) {
  clear(TTB);
  TTB.idnr = id;
  files::get(TransTables, TTB_TRANSTABLEKEY());
  const std::int32_t read = files::ERRORCODE();
  if (read == kRecordNotFound || read == kRecordNotAvailable) return;  // gone already
  if (read == 0) files::erase(TransTables);
  if (files::ERRORCODE() != 0) standard_message(msg::kDeleteOperationError, "TransTables");
}

}  // namespace

const ui::WindowDef& update_trans_table_definition() { return kWindow; }

ui::Task UpdateTransTable() {
  using namespace ui::events;
  const std::int32_t request = take_request();
  std::int32_t response = 0;
  use_file(TransTables);
  saved_table_key = TTB.idnr;
  TransTablesRecord copy = TTB;

  if (request == kDeleteRecord) {
    if (standard_message(msg::kConfirmDelete) == ui::code(ui::Button::Ok)) {
      for (;;) {
        if (delete_transtables() == rule::kDone) {
          response = kRequestCompleted;
          break;
        }
        if (standard_message(msg::kRecordUpdateErrorDelete) != ui::code(ui::Button::Yes)) break;
      }
    }
    release_file(TransTables);
    global_response = response ? response : kRequestCancelled;
    co_return;
  }

  // An insert numbers its table and adds it before anything is typed.
  std::int32_t numbered = 0;
  if (request == kInsertRecord) {
    if (!number_new_table()) {
      release_file(TransTables);
      global_response = kRequestCancelled;
      co_return;
    }
    numbered = TTB.idnr;
    copy = TTB;
  }

  std::optional<FormRecord> record;
  if (request != kInsertRecord) record.emplace(TransTables, TTB_TRANSTABLEKEY());
  ui::Window window(kWindow);
  restore_placement(window, kSection, kSettingsFile);
  window.set_text(0, request == kInsertRecord ? "Record Will Be Added" : "Record Will Be Changed");
  std::int32_t id = TTB.idnr;
  std::string name(field_bytes(TTB.name));
  window.use(ut::kId, &id);
  window.use(ut::kName, &name);
  window.alert(ui::keys::kCtrlQuote, ut::kId);
  window.alert(ui::keys::kCtrlQuote, ut::kName);

  // A value the table cannot have: the user is told which and why.
  const auto refuse = [&](int control, std::string_view why) {
    ui::message(why, "Entry Required", ui::MessageIcon::Exclamation);
    window.display(control);
    window.select(control);
    return false;
  };
  // OK, after every entry was accepted: true when the form is done.
  const auto save = [&]() -> bool {
    if (id <= 0) return refuse(ut::kId, "The ID Nr must be a number from 1 to 9999.");
    if (blank(name)) return refuse(ut::kName, "The table needs a name.");
    g_ditto.idnr = id;
    set_field(g_ditto.name, name);
    g_have_ditto = true;
    if (request == kInsertRecord) {
      // Written over the record numbered for this form, found by its
      // number whatever was typed.
      clear(TTB);
      TTB.idnr = numbered;
      files::get(TransTables, TTB_TRANSTABLEKEY());
      if (files::ERRORCODE() == 0) {
        TTB.idnr = id;
        set_field(TTB.name, name);
        files::put(TransTables);
      }
      if (files::ERRORCODE() == 0) {
        response = kRequestCompleted;
        return true;
      }
      if (files::ERRORCODE() == kDuplicateKey) {
        standard_message(msg::kDuplicateKeyError, "Table ID");
      } else {
        standard_message(msg::kRecordInsertError);
      }
      window.select(ut::kId);
      return false;
    }
    TTB.idnr = id;
    set_field(TTB.name, name);
    if (std::memcmp(&TTB, &copy, sizeof TTB) == 0) {
      response = kRequestCompleted;
      return true;
    }
    const auto show_stored = [&] {
      id = TTB.idnr;
      name = std::string(field_bytes(TTB.name));
      record.emplace(TransTables, TTB_TRANSTABLEKEY());
      window.display();
      window.select(ut::kId);
      return false;
    };
    switch (record->take_back()) {
      case rule::kChangedElsewhere: return show_stored();
      case rule::kFailed:
        window.select(ut::kId);
        return false;
      default: break;
    }
    for (;;) {
      switch (change_transtables(true)) {
        case rule::kDone:
          response = kRequestCompleted;
          return true;
        case rule::kChangedElsewhere:
          return show_stored();
        default:
          break;
      }
      const std::int32_t answer = standard_message(msg::kRecordUpdateErrorChange);
      if (answer == ui::code(ui::Button::Yes)) continue;
      if (answer == ui::code(ui::Button::No)) {
        response = kRequestCancelled;
        return true;
      }
      return false;  // Cancel: back to the form
    }
  };

  bool first_open = true;
  while (co_await window.next_event()) {
    const std::int32_t event = window.event();
    bool done = false;
    switch (window.field()) {
      case 0:
        if (event == kOpenWindow && first_open) {
          first_open = false;
          window.display();
          window.select(ut::kId);
        } else if (event == kCompleted) {
          done = save();
        }
        break;
      case ut::kId:
      case ut::kName:
        if (event == kAlertKey && window.keycode() == ui::keys::kCtrlQuote && g_have_ditto) {
          if (window.field() == ut::kId) id = g_ditto.idnr;
          else name = std::string(field_bytes(g_ditto.name));
          window.display();
        }
        break;
      case ut::kOk:
        if (event == kAccepted) window.set_property(0, ui::props::kAcceptAll, "1");
        break;
      case ut::kCancel:
        if (event == kAccepted) {
          response = kRequestCancelled;
          done = true;
        }
        break;
      default:
        break;
    }
    if (done) break;
  }
  // An insert that did not complete leaves no table behind.
  if (request == kInsertRecord && response != kRequestCompleted) delete_placeholder(numbered);
  release_file(TransTables);
  save_placement(window, kSection, kSettingsFile);
  window.close();
  global_response = response ? response : kRequestCancelled;
}

}  // namespace app
