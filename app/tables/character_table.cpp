#include "app/tables/character_table.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "app/tables/add_translations.h"
#include "app/windows/browse_list.h"
#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/data/globals.h"
#include "app/windows/placement.h"
#include "app/data/standard_messages.h"
#include "app/tables/update_trans_table.h"
#include "app/tables/update_translations.h"
#include "files/driver/file_ops.h"
#include "files/view/view.h"
#include "ui/services.h"
#include "ui/window.h"

namespace app {
namespace {

using ui::ControlDef;
using ui::ControlKind;
using ui::control;
using namespace dictionary;
namespace ch = character_table;

constexpr ControlDef kControls[] = {
    control(ControlKind::List, "", 4, 4, 108, 144)
        .with_format("16R(1)|~Nr.~L@n_4@80L(1)~Name~@s20@")
        .with_tip("Browsing Records")
        .with_flags(ui::kPageList),
    control(ControlKind::Button, "&Insert", 4, 152, 38, 14),
    control(ControlKind::Button, "&Change", 44, 152, 38, 14),
    control(ControlKind::Button, "&Delete", 84, 152, 38, 14),
    control(ControlKind::List, "", 134, 4, 102, 144)
        .with_format("16R(1)@n03@21C(2)|~Char~L@s2@44L(2)|M~Html code~@s10@")
        .with_font({"Arial", 0, false})
        .with_tip("Browsing Records")
        .with_flags(ui::kPageList),
    control(ControlKind::Button, "&Select", 134, 152, 38, 14),
    control(ControlKind::Button, "&View", 174, 152, 38, 14),
    control(ControlKind::Button, "Close", 214, 152, 38, 14).with_flags(ui::kCancelButton),
};

ui::WindowDef make_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT005";
  d.caption = "Translations table";
  d.w = 258;
  d.h = 170;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kSystemMenu | ui::kMinimizeBox | ui::kMaximizeBox | ui::kResizable | ui::kMinimumSize | ui::kCentre;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kWindow = make_window();

constexpr std::string_view kSection = "CharacterTable";

}  // namespace

const ui::WindowDef& character_table_definition() { return kWindow; }

ui::Task CharacterTable() {
  using namespace ui::events;
  namespace keys = ui::keys;
  const std::int32_t request = take_request();
  const bool select_mode = request == kSelectRecord;
  std::int32_t response = 0;
  use_file(TransTables);
  use_file(Translations);
  ui::Window window(kWindow);
  restore_placement(window, kSection, kSettingsFile);
  window.set_property(ch::kSelect, ui::props::kHide, select_mode ? "0" : "1");

  // The id of the highlighted table, as the characters' filter reads it.
  std::int32_t reset_id = 0;
  files::view::Bindings names;
  names.bind(ch::kResetName, &reset_id);
  for (const std::int32_t key : {keys::kInsert, keys::kDelete, keys::kCtrlEnter, keys::kMouseLeft2, keys::kMouseRight}) {
    window.alert(key, ch::kTables);
  }
  for (const std::int32_t key : {keys::kCtrlEnter, keys::kMouseLeft2, keys::kMouseRight}) {
    window.alert(key, ch::kCharacters);
  }

  files::view::View tables_view(TransTables, TTB_TABLENAMEKEY());
  tables_view.project({"TTB:IDNR", "TTB:NAME"});
  files::view::View chars_view(Translations, TRA_CHARACTERSKEY(), &names);
  chars_view.project({"TRA:ASCIINR", "TRA:CHARACTER", "TRA:HTMLCHARS", "TRA:TRANSLATIONTABLEID"});
  if (chars_view.set_filter(ch::kFilter)) standard_message(msg::kViewOpenError);

  BrowseList tables(window, ch::kTables, tables_view, "TransTables",
                    {.make_row = [] { return std::vector<std::string>{std::to_string(TTB.idnr),
                                                                      std::string(field_bytes(TTB.name))}; },
                     .key_cell = 1,
                     .set_key = [](std::string_view text) { set_field(TTB.name, text); },
                     .nocase = true});
  BrowseList chars(window, ch::kCharacters, chars_view, "Translations",
                   {.make_row = [] { return std::vector<std::string>{std::to_string(TRA.asciinr),
                                                                     std::string(field_bytes(TRA.character)),
                                                                     std::string(field_bytes(TRA.htmlchars)),
                                                                     std::to_string(TRA.translationtableid)}; },
                    .key_cell = 1,
                    .set_key = [](std::string_view text) { set_field(TRA.character, text); },
                    .nocase = false});

  const auto enable = [&] {
    const char* no_tables = tables.row_count() > 0 ? "0" : "1";
    const char* no_chars = chars.row_count() > 0 ? "0" : "1";
    window.set_property(ch::kChange, ui::props::kDisable, no_tables);
    window.set_property(ch::kDelete, ui::props::kDisable, no_tables);
    window.set_property(ch::kView, ui::props::kDisable, no_chars);
    window.set_property(ch::kSelect, ui::props::kDisable, no_chars);
  };
  // The characters follow the highlighted table: refilled from their first
  // when it is another table than they were filled for (or always).
  std::optional<std::int32_t> filled_for;
  const auto link = [&](bool always = false) {
    const std::vector<std::string> row = tables.highlighted_row();
    if (row.empty()) clear(TTB);
    reset_id = row.empty() ? 0 : std::atoi(row.front().c_str());
    bool ok = true;
    if (always || filled_for != reset_id) {
      ok = chars.fill_top();
      filled_for = reset_id;
    }
    enable();
    return ok;
  };
  // A row read back for a form; false (reported) when it has gone.
  const auto read_back = [&](BrowseList& list, const std::string& position, bool watch) {
    if (watch) files::watch(list.view().file());
    if (list.view().reget(position) == 0) return true;
    standard_message(msg::kRecordRetrievalError, label_of(list.view().file()));
    return false;
  };

  // Both lists take the height the window gives them, the characters also
  // its width; the buttons stay under them.
  const auto lay_out = [&] {
    const int width = std::atoi(window.property(0, ui::props::kWidth).c_str());
    const int height = std::atoi(window.property(0, ui::props::kHeight).c_str());
    const int list_height = height - window.du_y(26);
    const int button_y = height - window.du_y(18);
    constexpr auto kSame = ui::Window::kUnchanged;
    window.set_position(ch::kTables, kSame, kSame, kSame, list_height);
    window.set_position(ch::kCharacters, kSame, kSame, width - window.du_x(156), list_height);
    for (const int b : {ch::kInsert, ch::kChange, ch::kDelete, ch::kSelect, ch::kView, ch::kClose}) {
      window.set_position(b, kSame, button_y);
    }
  };

  lay_out();
  bool ok = tables.fill_top() && link(true);
  while (ok) {
    if (!co_await window.next_event()) break;
    const std::int32_t event = window.event();
    int pressed = 0;
    switch (window.field()) {
      case 0:
        if (event == kOpenWindow) {
          window.select(ch::kTables);
        } else if (event == kGainFocus) {
          ok = tables.refresh() && link() && chars.refresh();
        } else if (event == kSized) {
          lay_out();
          ok = tables.refresh() && link() && chars.refresh();
        }
        break;
      case ch::kTables:
        if (event == kNewSelection) {
          ok = link();
        } else if (event == kLocate) {
          ok = tables.locate_typed(window.typed_char()) && link();
        } else if (event == kAlertKey) {
          const bool rows = tables.row_count() > 0;
          switch (window.keycode()) {
            case keys::kInsert: pressed = ch::kInsert; break;
            case keys::kDelete: pressed = rows ? ch::kDelete : 0; break;
            case keys::kCtrlEnter:
            case keys::kMouseLeft2: pressed = rows ? ch::kChange : 0; break;
            case keys::kMouseRight: {
              constexpr int kItems[] = {0, ch::kInsert, ch::kChange, ch::kDelete};
              const int choice = ui::popup(rows ? "&Insert|&Change|&Delete" : "&Insert|~&Change|~&Delete");
              pressed = choice >= 1 && choice <= 3 ? kItems[choice] : 0;
              break;
            }
            default: break;
          }
        } else {
          ok = tables.page_event(event, window.thumb_position()) && link();
        }
        break;
      case ch::kCharacters:
        if (event == kLocate) {
          ok = chars.locate_typed(window.typed_char());
        } else if (event == kAlertKey) {
          const bool rows = chars.row_count() > 0;
          switch (window.keycode()) {
            case keys::kCtrlEnter: pressed = rows ? ch::kView : 0; break;
            case keys::kMouseLeft2: pressed = !rows ? 0 : select_mode ? ch::kSelect : ch::kView; break;
            case keys::kMouseRight:
              // Its one item selects, and only where there is something to.
              if (ui::popup(select_mode && rows ? "&Select" : "~&Select") == 1) pressed = ch::kSelect;
              break;
            default: break;
          }
        } else if (event != kNewSelection) {
          ok = chars.page_event(event, window.thumb_position());
        }
        enable();
        break;
      default:
        if (event == kAccepted) pressed = window.field();
        break;
    }

    bool finish = false;
    switch (pressed) {
      case ch::kInsert: {
        clear(TTB);
        prepare_form_call(kInsertRecord);
        co_await UpdateTransTable();
        if (global_response == kRequestCompleted) {
          // The new table starts with the standard character set.
          const std::int32_t id = TTB.idnr;
          co_await AddTranslations(id);
          clear(TTB);
          TTB.idnr = id;
          ok = tables.fill_at(tables.position_of_buffer(TTB_TRANSTABLEKEY())) && link(true);
        } else {
          ok = tables.refresh() && link();
        }
        window.select(ch::kTables);
        break;
      }
      case ch::kChange:
      case ch::kDelete: {
        const std::string at = tables.highlighted_position();
        if (at.empty()) break;
        std::string keep = at;
        if (read_back(tables, at, pressed == ch::kChange)) {
          prepare_form_call(pressed == ch::kChange ? kChangeRecord : kDeleteRecord);
          co_await UpdateTransTable();
          if (pressed == ch::kChange && global_response == kRequestCompleted) {
            keep = tables.position_of_buffer(TTB_TRANSTABLEKEY());
          }
        }
        ok = tables.fill_at(keep) && link(true);
        window.select(ch::kTables);
        break;
      }
      case ch::kView: {
        const std::string at = chars.highlighted_position();
        if (at.empty()) break;
        std::string keep = at;
        if (read_back(chars, at, true)) {
          prepare_form_call(kChangeRecord);
          co_await UpdateTranslations();
          if (global_response == kRequestCompleted) keep = chars.position_of_buffer(TRA_CHARACTERSKEY());
        }
        ok = chars.fill_at(keep);
        enable();
        window.select(ch::kCharacters);
        break;
      }
      case ch::kSelect: {
        const std::string at = chars.highlighted_position();
        if (!select_mode || at.empty()) break;
        if (!read_back(chars, at, false)) {
          ok = chars.refresh();
          break;
        }
        response = kRequestCompleted;
        finish = true;
        break;
      }
      case ch::kClose:
        response = kRequestCancelled;
        finish = true;
        break;
      default:
        break;
    }
    if (finish || !ok) break;
  }
  release_file(Translations);
  release_file(TransTables);
  save_placement(window, kSection, kSettingsFile);
  window.close();
  global_response = response ? response : kRequestCancelled;
}

}  // namespace app
