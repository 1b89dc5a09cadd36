#include "app/tables/update_translations.h"

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
#include "ui/window.h"

namespace app {
namespace {

using ui::ControlDef;
using ui::ControlKind;
using ui::control;
using namespace dictionary;
namespace ut = update_translations;

constexpr ControlDef kControls[] = {
    control(ControlKind::Prompt, "Character:", 8, 9, 44, 10),
    control(ControlKind::Entry, "", 56, 8, 22, 12).with_format("@s2"),
    control(ControlKind::Prompt, "Html code:", 8, 25, 44, 10),
    control(ControlKind::Entry, "", 56, 24, 64, 12).with_format("@s10"),
    control(ControlKind::Button, "OK", 28, 44, 46, 14).with_flags(ui::kDefaultButton),
    control(ControlKind::Button, "Cancel", 78, 44, 46, 14).with_flags(ui::kCancelButton),
};

ui::WindowDef make_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT007";
  d.caption = "View html code";
  d.w = 132;
  d.h = 64;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kSystemMenu | ui::kCentre | ui::kModal;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kWindow = make_window();

constexpr std::string_view kSection = "UpdateTranslations";
constexpr std::int32_t kDuplicateKey = 40;

// The values of the last save tried, for Ctrl+'.
TranslationsRecord g_ditto{};
bool g_have_ditto = false;

}  // namespace

const ui::WindowDef& update_translations_definition() { return kWindow; }

ui::Task UpdateTranslations() {
  using namespace ui::events;
  const std::int32_t request = take_request();
  std::int32_t response = 0;
  use_file(Translations);
  const TranslationsRecord copy = TRA;

  std::optional<FormRecord> record;
  if (request != kInsertRecord) record.emplace(Translations, TRA_CHARACTERSKEY());
  ui::Window window(kWindow);
  restore_placement(window, kSection, kSettingsFile);
  window.set_text(0, request == kInsertRecord ? "Adding a Translations Record" : "View html code");
  std::string character(field_bytes(TRA.character));
  std::string html(field_bytes(TRA.htmlchars));
  window.use(ut::kCharacter, &character);
  window.use(ut::kHtml, &html);
  window.alert(ui::keys::kCtrlQuote, ut::kCharacter);
  window.alert(ui::keys::kCtrlQuote, ut::kHtml);

  // OK, after every entry was accepted: true when the form is done.
  const auto save = [&]() -> bool {
    // The fields the form does not show keep the values read, whatever
    // another window has read into the buffer meanwhile.
    if (record) std::memcpy(&TRA, record->as_read().data(), sizeof TRA);
    set_field(TRA.character, character);
    set_field(TRA.htmlchars, html);
    g_ditto = TRA;
    g_have_ditto = true;
    if (request == kInsertRecord) {
      files::add(Translations);
      if (files::ERRORCODE() == 0) {
        response = kRequestCompleted;
        return true;
      }
      if (files::ERRORCODE() == kDuplicateKey) {
        standard_message(msg::kDuplicateKeyError, "Character order");
      } else {
        standard_message(msg::kRecordInsertError);
      }
      window.select(ut::kCharacter);
      return false;
    }
    if (std::memcmp(&TRA, &copy, sizeof TRA) == 0) {
      response = kRequestCompleted;
      return true;
    }
    const auto show_stored = [&] {
      character = std::string(field_bytes(TRA.character));
      html = std::string(field_bytes(TRA.htmlchars));
      record.emplace(Translations, TRA_CHARACTERSKEY());
      window.display();
      window.select(ut::kCharacter);
      return false;
    };
    switch (record->take_back()) {
      case rule::kChangedElsewhere: return show_stored();
      case rule::kFailed:
        window.select(ut::kCharacter);
        return false;
      default: break;
    }
    for (;;) {
      switch (change_translations(true)) {
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
          window.select(ut::kCharacter);
        } else if (event == kCompleted) {
          done = save();
        }
        break;
      case ut::kCharacter:
      case ut::kHtml:
        if (event == kAlertKey && window.keycode() == ui::keys::kCtrlQuote && g_have_ditto) {
          if (window.field() == ut::kCharacter) character = std::string(field_bytes(g_ditto.character));
          else html = std::string(field_bytes(g_ditto.htmlchars));
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
  release_file(Translations);
  save_placement(window, kSection, kSettingsFile);
  window.close();
  global_response = response ? response : kRequestCancelled;
}

}  // namespace app
