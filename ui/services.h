// Window services that are not tied to one window: popup menus, message
// boxes, halt, beep, file dialogs, the clipboard and the current directory.
// All run on the UI thread and need a QApplication.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ui/engine_codes.h"
#include "ui/file_names.h"
#include "ui/responder.h"

namespace ui {

// Shows the menu of `menu_text` (menu_text.h) at the mouse position and
// returns the number of the item chosen, counted from 1 without the
// separators; 0 when the menu is dismissed, when a disabled item or a
// separator would be chosen, and for an empty text (no menu is shown).
int popup(std::string_view menu_text);

// Shows a message box and returns the button pressed. `buttons` is a sum of
// Button codes; bits that name no button are dropped, and a set left empty
// shows OK. A default button that is not in the set is no default. An
// answer outside the set (a faulty responder) reads as the default button,
// else the first button of the set. "|" in the text starts a new line.
// The text and caption are ANSI, except for pieces made by system_text().
Button message(std::string_view text, std::string_view caption = {},
               MessageIcon icon = MessageIcon::None, ButtonSet buttons = code(Button::Ok),
               Button default_button = Button::None);

// A piece of message() text in the system's own bytes (text.h): a file
// name, or a system's message that holds one. It is shown as it is: not read
// as ANSI, and a "|" in it is part of it, no line break. The result is for
// message()'s text alone.
std::string system_text(std::string_view bytes);

// Shows `text` with the stop icon and ends the process with exit code 1:
// a halt is a failure, and a caller (a script, a session manager) must not
// read it as success.
[[noreturn]] void halt(std::string_view text);

// Replaces how halt ends the process (tests). The function must not return
// to the caller; nullptr restores the default (std::exit).
using ExitFunction = void (*)(int);
void set_exit_function(ExitFunction f);

void beep();

// Shows the busy mouse pointer over every window from construction to
// destruction (while a procedure reads a page, say). Nests.
class BusyCursor {
 public:
  BusyCursor();
  ~BusyCursor();
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// The system's file dialog. `filter` lists description|pattern pairs
// (file_names.h); `file` is a file name, the system's bytes (text.h). The
// dialog starts in the current directory with `file`
// (without trailing blanks) as the name. When a file is chosen, its full
// path is stored in `file` and, unless kFileKeepDirectory is given, its
// directory becomes the current directory; returns true. A cancelled dialog
// leaves `file` and the current directory as they were and returns false.
bool file_dialog(std::string_view title, std::string& file, std::string_view filter,
                 std::uint32_t flags = 0);

// Puts `text`, without trailing blanks, on the clipboard as plain text; an
// empty text leaves the clipboard empty.
void set_clipboard(std::string_view text);
// The clipboard's plain text (ANSI); empty when it holds none.
std::string clipboard();

// The current directory; empty when it cannot be read.
std::string path();
// Makes `directory` current; false when that fails (missing directory).
bool set_path(std::string_view directory);

// Opens a web address through the responder; the outcome is not reported.
void open_url(std::string_view url);

}  // namespace ui
