#include "app/commands/update_commands.h"

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
namespace uc = update_commands;

constexpr ControlDef kControls[] = {
    control(ControlKind::Sheet, "", 4, 4, 232, 46),
    control(ControlKind::Tab, "General", 0, 0, 0, 0),
    control(ControlKind::Prompt, "Command String:", 10, 26, 60, 10),
    control(ControlKind::Entry, "", 72, 25, 156, 12)
        .with_format("@s40")
        .with_tip("Command to prefix html code with")
        .with_status("Command to prefix html code with"),
    control(ControlKind::Button, "OK", 90, 56, 46, 14).with_flags(ui::kDefaultButton),
    control(ControlKind::Button, "Cancel", 140, 56, 46, 14).with_flags(ui::kCancelButton),
    control(ControlKind::Button, "Help", 190, 56, 46, 14),
};

ui::WindowDef make_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT008";
  d.caption = "Adding a Commands Record";
  d.w = 240;
  d.h = 76;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kSystemMenu | ui::kCentre | ui::kModal | ui::kStatusBar;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kWindow = make_window();

constexpr std::string_view kSection = "UpdateCommands";
constexpr std::int32_t kDuplicateKey = 40;

// The values of the last save tried in any command form, for Ctrl+'.
CommandsRecord g_ditto{};
bool g_have_ditto = false;

}  // namespace

const ui::WindowDef& update_commands_definition() { return kWindow; }

ui::Task UpdateCommands() {
  using namespace ui::events;
  const std::int32_t request = take_request();
  std::int32_t response = 0;
  use_file(Commands);
  const CommandsRecord copy = COM;

  if (request == kDeleteRecord) {
    if (standard_message(msg::kConfirmDelete) == ui::code(ui::Button::Ok)) {
      for (;;) {
        if (delete_commands() == rule::kDone) {
          response = kRequestCompleted;
          break;
        }
        if (standard_message(msg::kRecordUpdateErrorDelete) != ui::code(ui::Button::Yes)) break;
      }
    }
    release_file(Commands);
    global_response = response ? response : kRequestCancelled;
    co_return;
  }

  std::optional<FormRecord> record;
  if (request != kInsertRecord) record.emplace(Commands, COM_COMMANDKEY());
  ui::Window window(kWindow);
  restore_placement(window, kSection, kSettingsFile);
  window.set_text(0, request == kInsertRecord ? "Adding a Commands Record" : "Changing a Commands Record");
  std::string command(field_bytes(COM.commandstring));
  window.use(uc::kCommand, &command);
  window.alert(ui::keys::kCtrlQuote, uc::kCommand);

  // OK, after every entry was accepted: true when the form is done.
  const auto save = [&]() -> bool {
    if (blank(command)) {
      ui::message("The command string cannot be blank.", "Entry Required", ui::MessageIcon::Exclamation);
      window.select(uc::kCommand);
      return false;
    }
    set_field(COM.commandstring, command);
    g_ditto = COM;
    g_have_ditto = true;
    if (request == kInsertRecord) {
      files::add(Commands);
      if (files::ERRORCODE() == 0) {
        response = kRequestCompleted;
        return true;
      }
      if (files::ERRORCODE() == kDuplicateKey) {
        standard_message(msg::kDuplicateKeyError, "Command order");
      } else {
        standard_message(msg::kRecordInsertError);
      }
      window.select(uc::kCommand);
      return false;
    }
    if (std::memcmp(&COM, &copy, sizeof COM) == 0) {
      response = kRequestCompleted;
      return true;
    }
    const auto show_stored = [&] {
      command = std::string(field_bytes(COM.commandstring));
      record.emplace(Commands, COM_COMMANDKEY());
      window.display();
      window.select(uc::kCommand);
      return false;
    };
    switch (record->take_back()) {
      case rule::kChangedElsewhere: return show_stored();
      case rule::kFailed:
        window.select(uc::kCommand);
        return false;
      default: break;
    }
    for (;;) {
      switch (change_commands(true)) {
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
          window.select(uc::kCommand);
        } else if (event == kCompleted) {
          done = save();
        }
        break;
      case uc::kCommand:
        if (event == kAlertKey && window.keycode() == ui::keys::kCtrlQuote && g_have_ditto) {
          command = std::string(field_bytes(g_ditto.commandstring));
          window.display(uc::kCommand);
        }
        break;
      case uc::kOk:
        if (event == kAccepted) window.set_property(0, ui::props::kAcceptAll, "1");
        break;
      case uc::kCancel:
        if (event == kAccepted) {
          response = kRequestCancelled;
          done = true;
        }
        break;
      default:  // "Help" has no action
        break;
    }
    if (done) break;
  }
  release_file(Commands);
  save_placement(window, kSection, kSettingsFile);
  window.close();
  global_response = response ? response : kRequestCancelled;
}

}  // namespace app
