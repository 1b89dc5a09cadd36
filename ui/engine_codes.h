// The numbers the window engine and the procedures agree on: event codes,
// key codes, property numbers, message-box buttons and icons. No Qt here, so
// code that only needs the numbers (the application's pure parts, tests,
// tools) can use them without a display.
#pragma once

#include <cstdint>

namespace ui {

// Event codes. The current event of a window is a pair (code, control
// number); window events have control 0. Codes from kUser up are the
// program's own.
namespace events {
inline constexpr std::int32_t kNone = 0;  // no current event
inline constexpr std::int32_t kAccepted = 0x01;
inline constexpr std::int32_t kNewSelection = 0x02;
inline constexpr std::int32_t kScrollUp = 0x03;
inline constexpr std::int32_t kScrollDown = 0x04;
inline constexpr std::int32_t kPageUp = 0x05;
inline constexpr std::int32_t kPageDown = 0x06;
inline constexpr std::int32_t kScrollTop = 0x07;
inline constexpr std::int32_t kScrollBottom = 0x08;
inline constexpr std::int32_t kLocate = 0x09;
inline constexpr std::int32_t kMouseUp = 0x0A;
inline constexpr std::int32_t kMouseIn = 0x0B;
inline constexpr std::int32_t kMouseOut = 0x0C;
inline constexpr std::int32_t kMouseMove = 0x0D;
inline constexpr std::int32_t kVBXevent = 0x0E;
inline constexpr std::int32_t kAlertKey = 0x0F;
inline constexpr std::int32_t kPreAlert = 0x10;
inline constexpr std::int32_t kDragging = 0x11;
inline constexpr std::int32_t kDrag = 0x12;
inline constexpr std::int32_t kDrop = 0x13;
inline constexpr std::int32_t kScrollDrag = 0x14;
inline constexpr std::int32_t kTabChanging = 0x15;
inline constexpr std::int32_t kExpanding = 0x16;
inline constexpr std::int32_t kContracting = 0x17;
inline constexpr std::int32_t kExpanded = 0x18;
inline constexpr std::int32_t kContracted = 0x19;
inline constexpr std::int32_t kRejected = 0x1A;
inline constexpr std::int32_t kDroppingDown = 0x1B;
inline constexpr std::int32_t kDroppedDown = 0x1C;
inline constexpr std::int32_t kScrollTrack = 0x1D;
inline constexpr std::int32_t kColumnResize = 0x1E;
// An Entry or Spin with kEditEvents: the user changed its text and paused
// (window.h); nothing is taken yet.
inline constexpr std::int32_t kEdited = 0x1F;

inline constexpr std::int32_t kSelected = 0x101;

inline constexpr std::int32_t kCloseWindow = 0x201;
inline constexpr std::int32_t kCloseDown = 0x202;
inline constexpr std::int32_t kOpenWindow = 0x203;
inline constexpr std::int32_t kOpenFailed = 0x204;
inline constexpr std::int32_t kLoseFocus = 0x205;
inline constexpr std::int32_t kGainFocus = 0x206;
inline constexpr std::int32_t kSuspend = 0x208;
inline constexpr std::int32_t kResume = 0x209;
inline constexpr std::int32_t kNotify = 0x20A;
inline constexpr std::int32_t kTimer = 0x20B;
inline constexpr std::int32_t kDDErequest = 0x20C;
inline constexpr std::int32_t kDDEadvise = 0x20D;
inline constexpr std::int32_t kDDEdata = 0x20E;
inline constexpr std::int32_t kDDEexecute = 0x20F;
inline constexpr std::int32_t kDDEpoke = 0x210;
inline constexpr std::int32_t kDDEclosed = 0x211;
inline constexpr std::int32_t kMove = 0x220;
inline constexpr std::int32_t kSize = 0x221;
inline constexpr std::int32_t kRestore = 0x222;
inline constexpr std::int32_t kMaximize = 0x223;
inline constexpr std::int32_t kIconize = 0x224;
inline constexpr std::int32_t kCompleted = 0x225;
inline constexpr std::int32_t kMoved = 0x230;
inline constexpr std::int32_t kSized = 0x231;
inline constexpr std::int32_t kRestored = 0x232;
inline constexpr std::int32_t kMaximized = 0x233;
inline constexpr std::int32_t kIconized = 0x234;
inline constexpr std::int32_t kBuildFile = 0x240;
inline constexpr std::int32_t kBuildKey = 0x241;
inline constexpr std::int32_t kBuildDone = 0x242;

inline constexpr std::int32_t kUser = 0x400;  // first code free for the program

// Inside the engine of old every event travelled as a window message of
// this number plus its code; kept for code that logs or compares them.
inline constexpr std::int32_t kMessageBase = 0x1400;
}  // namespace events

// Key codes: the virtual-key code of the key plus the modifier bits.
namespace keys {
inline constexpr std::int32_t kShift = 0x100;
inline constexpr std::int32_t kCtrl = 0x200;
inline constexpr std::int32_t kAlt = 0x400;
// Our own bit for a double click of a mouse button (kMouseLeft + kDouble).
inline constexpr std::int32_t kDouble = 0x800;

inline constexpr std::int32_t kMouseLeft = 0x01;
inline constexpr std::int32_t kMouseRight = 0x02;
inline constexpr std::int32_t kMouseCenter = 0x04;
inline constexpr std::int32_t kBackspace = 0x08;
inline constexpr std::int32_t kTab = 0x09;
inline constexpr std::int32_t kEnter = 0x0D;
inline constexpr std::int32_t kPause = 0x13;
inline constexpr std::int32_t kEsc = 0x1B;
inline constexpr std::int32_t kSpace = 0x20;
inline constexpr std::int32_t kPgUp = 0x21;
inline constexpr std::int32_t kPgDn = 0x22;
inline constexpr std::int32_t kEnd = 0x23;
inline constexpr std::int32_t kHome = 0x24;
inline constexpr std::int32_t kLeft = 0x25;
inline constexpr std::int32_t kUp = 0x26;
inline constexpr std::int32_t kRight = 0x27;
inline constexpr std::int32_t kDown = 0x28;
inline constexpr std::int32_t kInsert = 0x2D;
inline constexpr std::int32_t kDelete = 0x2E;
inline constexpr std::int32_t kDigit0 = 0x30;  // ... kDigit0 + 9
inline constexpr std::int32_t kLetterA = 0x41;  // ... kLetterA + 25
inline constexpr std::int32_t kF1 = 0x70;       // ... kF1 + 11
inline constexpr std::int32_t kQuote = 0xDE;    // the ' key

inline constexpr std::int32_t kMouseLeft2 = kMouseLeft | kDouble;
inline constexpr std::int32_t kCtrlEnter = kCtrl | kEnter;
inline constexpr std::int32_t kCtrlDown = kCtrl | kDown;  // 0x228
inline constexpr std::int32_t kCtrlQuote = kCtrl | kQuote;
}  // namespace keys

// Property numbers. Values travel as text: numbers in decimal, switches as
// "1" (on) and "" or "0" (off).
namespace props {
inline constexpr std::int32_t kXPos = 0x7C02;
inline constexpr std::int32_t kYPos = 0x7C03;
inline constexpr std::int32_t kWidth = 0x7C04;
inline constexpr std::int32_t kHeight = 0x7C05;
inline constexpr std::int32_t kFontColor = 0x7C12;  // 0x00BBGGRR: 255 is red
inline constexpr std::int32_t kResize = 0x7C1A;
inline constexpr std::int32_t kDisable = 0x7C5F;
inline constexpr std::int32_t kHide = 0x7C65;
inline constexpr std::int32_t kIcon = 0x7C68;
inline constexpr std::int32_t kIconize = 0x7C69;
inline constexpr std::int32_t kMaximize = 0x7C6F;
inline constexpr std::int32_t kSelected = 0x7C8F;
inline constexpr std::int32_t kHandle = 0x7C96;
inline constexpr std::int32_t kAcceptAll = 0x7C9A;
}  // namespace props

// Colour values in the platform's order: red in the low byte.
inline constexpr std::int32_t kColorRed = 0x0000FF;
inline constexpr std::int32_t kColorBlue = 0xFF0000;
inline constexpr std::int32_t kColorGray = 0x808080;
inline constexpr std::int32_t kColorNone = -1;
constexpr std::int32_t rgb_color(int red, int green, int blue) {
  return (red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16);
}

// Message-box buttons. A set of buttons is the sum of their codes.
enum class Button : std::int32_t {
  None = 0,  // only as "no default"; never an answer
  Ok = 1,
  Yes = 2,
  No = 4,
  Abort = 8,
  Retry = 16,
  Ignore = 32,
  Cancel = 64,
  Help = 128,
};
using ButtonSet = std::int32_t;
constexpr ButtonSet code(Button b) { return static_cast<ButtonSet>(b); }
constexpr ButtonSet operator|(Button a, Button b) { return code(a) | code(b); }
constexpr ButtonSet operator|(ButtonSet a, Button b) { return a | code(b); }
inline constexpr Button kAllButtons[] = {Button::Ok,    Button::Yes,    Button::No,     Button::Abort,
                                         Button::Retry, Button::Ignore, Button::Cancel, Button::Help};
// "OK", "&Yes", "&No", "&Abort", "&Retry", "&Ignore", "Cancel", "&Help"; ""
// for anything that is not one button.
const char* button_label(Button b);

// Message-box icons by the numbers of the system icons.
enum class MessageIcon : std::int32_t {
  None = 0,
  Stop = 32513,
  Question = 32514,
  Exclamation = 32515,
  Asterisk = 32516,  // information
};

}  // namespace ui
