#include "app/toolbox/about_markfit.h"

#include <QWidget>
#include <string>

#include "app/data/globals.h"
#include "app/windows/placement.h"
#include "ui/file_names.h"
#include "ui/services.h"
#include "ui/window.h"

namespace app {
namespace {

using ui::ControlDef;
using ui::ControlKind;
using ui::control;

constexpr ControlDef kAboutControls[] = {
    control(ControlKind::Image, "", 8, 8, 36, 36).with_icon("markfit"),
    control(ControlKind::Prompt, "Author:", 56, 48, 40, 9),
    control(ControlKind::String, about::kAuthorText, 98, 48, 130, 9),
    control(ControlKind::Prompt, "E-mail:", 56, 58, 40, 9),
    control(ControlKind::String, about::kMailText, 98, 58, 130, 9),
    control(ControlKind::Prompt, "Web link:", 56, 68, 40, 9),
    control(ControlKind::String, about::kWebAddress, 98, 68, 130, 9).with_color(ui::kColorBlue),
    control(ControlKind::Region, "", 98, 68, 100, 9).with_pointer(ui::Pointer::Hand),
    control(ControlKind::String, "Utility program for Netloom developers.", 56, 28, 172, 9),
    control(ControlKind::String, "Netloom Utilities", 56, 8, 172, 16).with_font({"Arial", 14, true}),
    control(ControlKind::Button, "&Close", 178, 86, 50, 15).with_icon("ok").with_flags(ui::kDefaultButton | ui::kCancelButton),
};

ui::WindowDef make_about_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT004";
  d.caption = "About Markfit - version 1.04";
  d.w = 236;
  d.h = 108;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kSystemMenu | ui::kCentre;
  d.controls = kAboutControls;
  return d;
}
const ui::WindowDef kAboutWindow = make_about_window();

constexpr std::string_view kSection = "AboutMarkfit";

// A press that began on the link and ended off it opens nothing.
bool released_over_link(const ui::Window& window) {
  const QWidget* region = window.widget(about::kLinkRegion);
  return region && region->geometry().contains(window.mouse_x(), window.mouse_y());
}

}  // namespace

const ui::WindowDef& about_definition() { return kAboutWindow; }

ui::Task AboutMarkfit() {
  using namespace ui::events;
  take_request();
  ui::Window window(kAboutWindow);
  restore_placement(window, kSection, kSettingsFile);

  bool first_open = true;
  while (co_await window.next_event()) {
    const int event = window.event();
    switch (window.field()) {
      case 0:
        if (event == kOpenWindow && first_open) {
          first_open = false;
          window.display();
          window.select(about::kPicture);
        }
        break;
      case about::kLinkRegion:
        if (event == kMouseIn) {
          window.set_property(about::kLink, ui::props::kFontColor, std::to_string(ui::kColorRed));
        } else if (event == kMouseOut) {
          window.set_property(about::kLink, ui::props::kFontColor, std::to_string(ui::kColorBlue));
        } else if (event == kMouseUp && released_over_link(window)) {
          const std::string_view address = ui::clip(about::kWebAddress);
          ui::open_url(address.substr(0, 255));
        }
        break;
      case about::kClose:
        if (event == kAccepted) window.post(kCloseWindow);
        break;
      default:
        break;
    }
  }
  save_placement(window, kSection, kSettingsFile);
  window.close();
  global_response = kRequestCancelled;
}

}  // namespace app
