#include "app/commands/commands_table.h"

#include <cstdlib>
#include <string>

#include "app/windows/browse_list.h"
#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/data/globals.h"
#include "app/windows/placement.h"
#include "app/data/standard_messages.h"
#include "app/commands/update_commands.h"
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
namespace ct = commands_table;

constexpr ControlDef kControls[] = {
    control(ControlKind::List, "", 4, 4, 184, 150)
        .with_format("80L(2)|M~Command~@s40@")
        .with_tip("Browsing Records")
        .with_flags(ui::kPageList),
    control(ControlKind::Button, "&Select", 204, 4, 46, 14),
    control(ControlKind::Button, "&Insert", 204, 24, 46, 14),
    control(ControlKind::Button, "&Change", 204, 42, 46, 14),
    control(ControlKind::Button, "&Delete", 204, 60, 46, 14),
    control(ControlKind::Button, "Close", 204, 140, 46, 14).with_flags(ui::kCancelButton),
};

ui::WindowDef make_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT010";
  d.caption = "Commands table";
  d.w = 256;
  d.h = 158;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kSystemMenu | ui::kMinimizeBox | ui::kMaximizeBox | ui::kResizable | ui::kMinimumSize | ui::kCentre;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kWindow = make_window();

constexpr std::string_view kSection = "CommandsTable";

}  // namespace

const ui::WindowDef& commands_table_definition() { return kWindow; }

ui::Task CommandsTable() {
  using namespace ui::events;
  namespace keys = ui::keys;
  const std::int32_t request = take_request();
  const bool select_mode = request == kSelectRecord;
  std::int32_t response = 0;
  // The caller's record, as the list's reading leaves the buffer: a caller
  // in select mode gets it back unless a command was selected.
  const CommandsRecord callers = COM;
  use_file(Commands);
  ui::Window window(kWindow);
  if (select_mode) window.set_modal(true);
  restore_placement(window, kSection, kSettingsFile);
  window.set_property(ct::kSelect, ui::props::kHide, select_mode ? "0" : "1");
  for (const std::int32_t key : {keys::kInsert, keys::kDelete, keys::kCtrlEnter, keys::kMouseLeft2, keys::kMouseRight}) {
    window.alert(key, ct::kList);
  }

  files::view::View view(Commands, COM_COMMANDKEY());
  view.project({"COM:COMMANDSTRING"});
  BrowseList list(window, ct::kList, view, "Commands",
                  {.make_row = [] { return std::vector<std::string>{std::string(field_bytes(COM.commandstring))}; },
                   .key_cell = 0,
                   .set_key = [](std::string_view text) { set_field(COM.commandstring, text); },
                   .nocase = true});
  const auto enable = [&] {
    const char* off = list.row_count() > 0 ? "0" : "1";
    window.set_property(ct::kChange, ui::props::kDisable, off);
    window.set_property(ct::kDelete, ui::props::kDisable, off);
    window.set_property(ct::kSelect, ui::props::kDisable, off);
  };
  // The highlighted command read back for the form; false (reported) when
  // it has gone meanwhile.
  const auto read_back = [&](const std::string& position, bool watch) {
    if (watch) files::watch(Commands);
    if (view.reget(position) == 0) return true;
    standard_message(msg::kRecordRetrievalError, "Commands");
    return false;
  };

  // The list takes what the window gives it; the buttons keep to the right.
  const auto lay_out = [&] {
    const int width = std::atoi(window.property(0, ui::props::kWidth).c_str());
    const int height = std::atoi(window.property(0, ui::props::kHeight).c_str());
    const int buttons_x = width - window.du_x(52);
    window.set_position(ct::kList, ui::Window::kUnchanged, ui::Window::kUnchanged, width - window.du_x(72),
                        height - window.du_y(8));
    for (const int b : {ct::kSelect, ct::kInsert, ct::kChange, ct::kDelete, ct::kClose}) {
      window.set_position(b, buttons_x, b == ct::kClose ? height - window.du_y(18) : ui::Window::kUnchanged);
    }
  };

  lay_out();
  bool ok = list.fill_top();
  enable();
  while (ok) {
    if (!co_await window.next_event()) break;
    const std::int32_t event = window.event();
    int pressed = 0;
    switch (window.field()) {
      case 0:
        if (event == kOpenWindow) {
          window.select(ct::kList);
        } else if (event == kGainFocus) {
          ok = list.refresh();
        } else if (event == kSized) {
          lay_out();
          ok = list.refresh();
        }
        break;
      case ct::kList:
        if (event == kLocate) {
          ok = list.locate_typed(window.typed_char());
        } else if (event == kAlertKey) {
          const bool rows = list.row_count() > 0;
          switch (window.keycode()) {
            case keys::kInsert: pressed = ct::kInsert; break;
            case keys::kDelete: pressed = rows ? ct::kDelete : 0; break;
            case keys::kCtrlEnter: pressed = rows ? ct::kChange : 0; break;
            case keys::kMouseLeft2: pressed = !rows ? 0 : select_mode ? ct::kSelect : ct::kChange; break;
            case keys::kMouseRight: {
              std::string menu = rows ? "&Insert|&Change|&Delete|-|" : "&Insert|~&Change|~&Delete|-|";
              menu += select_mode && rows ? "&Select" : "~&Select";
              constexpr int kItems[] = {0, ct::kInsert, ct::kChange, ct::kDelete, ct::kSelect};
              const int choice = ui::popup(menu);
              pressed = choice >= 1 && choice <= 4 ? kItems[choice] : 0;
              break;
            }
            default: break;
          }
        } else {
          ok = list.page_event(event, window.thumb_position());
        }
        break;
      default:
        if (event == kAccepted) pressed = window.field();
        break;
    }

    bool finish = false;
    switch (pressed) {
      case ct::kInsert: {
        clear(COM);
        prepare_form_call(kInsertRecord);
        co_await UpdateCommands();
        const std::string at = global_response == kRequestCompleted ? list.position_of_buffer(COM_COMMANDKEY())
                                                                     : list.highlighted_position();
        ok = list.fill_at(at);
        break;
      }
      case ct::kChange:
      case ct::kDelete: {
        const std::string at = list.highlighted_position();
        if (at.empty()) break;
        if (read_back(at, pressed == ct::kChange)) {
          prepare_form_call(pressed == ct::kChange ? kChangeRecord : kDeleteRecord);
          co_await UpdateCommands();
          if (pressed == ct::kChange && global_response == kRequestCompleted) {
            ok = list.fill_at(list.position_of_buffer(COM_COMMANDKEY()));
            break;
          }
        }
        ok = list.fill_at(at);
        break;
      }
      case ct::kSelect: {
        const std::vector<std::string> row = list.highlighted_row();
        if (!select_mode || row.empty()) break;
        set_field(COM.commandstring, row.front());
        response = kRequestCompleted;
        finish = true;
        break;
      }
      case ct::kClose:
        response = kRequestCancelled;
        finish = true;
        break;
      default:
        break;
    }
    if (pressed != 0) {
      enable();
      window.select(ct::kList);
    }
    if (finish || !ok) break;
  }
  release_file(Commands);
  save_placement(window, kSection, kSettingsFile);
  window.close();
  if (select_mode && response != kRequestCompleted) COM = callers;
  global_response = response ? response : kRequestCancelled;
}

}  // namespace app
