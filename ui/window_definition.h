// Window definitions: C++ tables that mirror the control lists of each
// window. No Qt here; window.h turns a definition into widgets.
//
// Positions and sizes are in dialog units of the window's font: a unit is a
// quarter of the font's average character width across and an eighth of its
// height down (dialog_units.h). A width or height of 0 lets the control take
// its natural size. Control numbers are the row numbers: the first control
// of the table is control 1, the window itself is control 0.
//
// Every text is in the program's single-byte character set (ANSI).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "ui/engine_codes.h"

namespace ui {

enum class ControlKind : std::uint8_t {
  Button,    // a push button: Accepted when pressed
  Prompt,    // a label naming the control after it; takes no focus
  String,    // a display text; with a use variable it shows it through its picture
  Entry,     // a one-line entry; its picture reads typed text back (Rejected on failure)
  Spin,      // an entry with up and down arrows over range_low..range_high; a typed value outside it is Rejected
  Check,     // a check box: use variable 1 ticked, 0 not
  Option,    // a frame that groups the Radio controls that follow it
  Radio,     // one choice of the Option before it: the Option's variable gets its value (with_value), else its position (1-based)
  List,      // a list box laid out by its list format
  Progress,  // a progress bar 0..100
  Region,    // a mouse-sensitive area: press Accepted, release MouseUp, MouseIn/Out/Move
  Image,     // a picture drawn from an icon name
  Box,       // a plain frame, no behaviour; one at most 2 units high and without a text is a line
  Sheet,     // a frame with tabs; the Tab controls that follow it are its tabs
  Tab,       // one tab of the Sheet before it, named by its text: the controls after it that lie
             // within the sheet are on it (the first control outside the sheet ends the sheet)
  Text,      // a text of many lines ("\n" between them) that the user can scroll, select and
             // copy but not change; long lines are not wrapped; its bytes are the system's (UTF-8)
};

struct FontSpec {
  std::string_view face;  // empty: the window's font
  int points = 0;         // 0: the window's size
  bool bold = false;
  bool operator==(const FontSpec&) const = default;
};

// Control flags.
inline constexpr std::uint32_t kDefaultButton = 1u << 0;  // pressed by Enter
inline constexpr std::uint32_t kFlat = 1u << 1;           // button without its frame
inline constexpr std::uint32_t kSkip = 1u << 2;           // left out of the Tab order
inline constexpr std::uint32_t kDisabled = 1u << 3;       // opens disabled
inline constexpr std::uint32_t kHidden = 1u << 4;         // opens hidden
inline constexpr std::uint32_t kTransparent = 1u << 5;    // no background of its own
inline constexpr std::uint32_t kCentred = 1u << 6;        // text centred, across and down
inline constexpr std::uint32_t kRightAligned = 1u << 7;   // text right-aligned
inline constexpr std::uint32_t kReadOnly = 1u << 8;       // entry shows, does not edit
inline constexpr std::uint32_t kOwnIcon = 1u << 9;        // our drawing of the icon, never the theme's
inline constexpr std::uint32_t kPageList = 1u << 10;      // List: holds one page; scrolling is the procedure's (window.h)
inline constexpr std::uint32_t kCancelButton = 1u << 11;  // pressed by Escape (Cancel, Close)
// Entry of a file name: its std::string variable holds the system's bytes
// (text.h), never ANSI text; any character the system takes may be typed.
inline constexpr std::uint32_t kFileName = 1u << 12;
inline constexpr std::uint32_t kFixedPitch = 1u << 13;    // the system's fixed-pitch font, at the control's size
// Entry, Spin: Edited once the user's typing (or a spin's arrows) pauses, so
// that the procedure can follow the text while it is typed (window.h).
inline constexpr std::uint32_t kEditEvents = 1u << 14;

// Mouse pointers a control may ask for.
enum class Pointer : std::uint8_t { Normal, Hand };

struct ControlDef {
  ControlKind kind = ControlKind::String;
  std::string_view text;    // caption, prompt or default text
  int x = 0, y = 0, w = 0, h = 0;  // dialog units
  // Entry, String, Spin: the display picture ("@s20", "@n_4"); List: the
  // list format ("80L(2)|M~Command~@s40@"); Spin: also the range as
  // "@n3" with range_low..range_high below.
  std::string_view format;
  std::string_view icon;    // icon name (icons.h); buttons and images
  std::string_view tip;     // tool tip
  std::string_view status;  // shown in the window's status bar while the control has the focus
  FontSpec font;
  std::int32_t color = kColorNone;  // text colour, 0x00BBGGRR
  std::uint32_t flags = 0;
  Pointer pointer = Pointer::Normal;
  // A key that presses another control while this one has the focus
  // (Ctrl+Down on an entry pressing its lookup button).
  std::int32_t key = 0;
  int key_presses = 0;
  int range_low = 0, range_high = 0;  // Spin
  // Radio: the number its Option's variable holds while it is chosen;
  // without one, its 1-based position in the Option.
  std::optional<std::int32_t> value;
  // With kMinimumSize on the window: how many dialog units the control may
  // give up across and down, the procedure shrinking it on Sized (a list or
  // text that shows less). The window's minimum size is its definition's
  // less the largest of these.
  int shrink_w = 0, shrink_h = 0;

  // Table rows read best as control(kind, text, x, y, w, h) followed by
  // what else the row has: .with_icon("code").with_color(...).
  constexpr ControlDef with_format(std::string_view f) const { ControlDef d = *this; d.format = f; return d; }
  constexpr ControlDef with_icon(std::string_view i) const { ControlDef d = *this; d.icon = i; return d; }
  constexpr ControlDef with_tip(std::string_view t) const { ControlDef d = *this; d.tip = t; return d; }
  constexpr ControlDef with_status(std::string_view t) const { ControlDef d = *this; d.status = t; return d; }
  constexpr ControlDef with_font(FontSpec f) const { ControlDef d = *this; d.font = f; return d; }
  constexpr ControlDef with_color(std::int32_t c) const { ControlDef d = *this; d.color = c; return d; }
  constexpr ControlDef with_flags(std::uint32_t f) const { ControlDef d = *this; d.flags |= f; return d; }
  constexpr ControlDef with_pointer(Pointer p) const { ControlDef d = *this; d.pointer = p; return d; }
  constexpr ControlDef with_key(std::int32_t k, int presses) const {
    ControlDef d = *this;
    d.key = k;
    d.key_presses = presses;
    return d;
  }
  constexpr ControlDef with_value(std::int32_t v) const { ControlDef d = *this; d.value = v; return d; }
  constexpr ControlDef with_shrink(int w, int h) const {
    ControlDef d = *this;
    d.shrink_w = w;
    d.shrink_h = h;
    return d;
  }
  constexpr ControlDef with_range(int low, int high) const {
    ControlDef d = *this;
    d.range_low = low;
    d.range_high = high;
    return d;
  }
};

constexpr ControlDef control(ControlKind kind, std::string_view text, int x, int y, int w, int h) {
  ControlDef d;
  d.kind = kind;
  d.text = text;
  d.x = x;
  d.y = y;
  d.w = w;
  d.h = h;
  return d;
}

// Window flags.
inline constexpr std::uint32_t kSystemMenu = 1u << 0;   // close box in the caption
inline constexpr std::uint32_t kResizable = 1u << 1;    // a frame the user can size
inline constexpr std::uint32_t kNoCaption = 1u << 2;    // no caption bar, no frame
inline constexpr std::uint32_t kAlwaysOnTop = 1u << 3;
inline constexpr std::uint32_t kCentre = 1u << 4;       // opens centred on the screen
inline constexpr std::uint32_t kMaximizeBox = 1u << 5;
inline constexpr std::uint32_t kMinimizeBox = 1u << 6;
// A status bar along the bottom, below the h of the definition (the window
// grows by its height): it shows the focused control's status text, or the
// window's own (Window::set_status_text) for a control without one.
inline constexpr std::uint32_t kStatusBar = 1u << 7;
// Modal to the window whose procedure opened it (a browse's form): that
// window takes no input while it is open; the program's other windows go
// on. Opened by no procedure's window (the program's start): modal to the
// whole program. Minimised, it comes back when the window it blocks is
// activated. Window::set_modal does the same for one opening.
inline constexpr std::uint32_t kModal = 1u << 8;
// With kResizable: never smaller than the definition's w x h (less what its
// controls may give up: ControlDef::shrink_w/shrink_h), so that what the
// procedure lays out on Sized always fits.
inline constexpr std::uint32_t kMinimumSize = 1u << 9;
// Files dragged from a file manager may be dropped on the window: each drop
// gives Drop on the control it was dropped on (0: the window itself), and
// Window::dropped_files() names the files.
inline constexpr std::uint32_t kAcceptFiles = 1u << 10;

struct WindowDef {
  std::string_view name;     // "markfit$MKFIT002"
  std::string_view caption;
  int x = 0, y = 0, w = 0, h = 0;  // dialog units; x and y are ignored with kCentre
  FontSpec font;             // the dialog font: dialog units are taken from it
  std::string_view icon;
  std::uint32_t flags = 0;
  std::span<const ControlDef> controls;
};

}  // namespace ui
