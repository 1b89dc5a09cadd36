// The one place where the program meets the user's desktop outside its own
// windows: message boxes, popup menus, file dialogs, the beep and opening a
// web address. The desktop responder shows real Qt dialogs; tests install a
// QueuedResponder (queued_responder.h) that answers from a queue, so no
// test ever waits for a real dialog.
//
// The services of services.h (message, popup, file_dialog, ...) prepare
// the request, ask the responder, and check its answer; a responder only
// shows and answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/engine_codes.h"
#include "ui/file_names.h"
#include "ui/menu_text.h"

namespace ui {

struct Point {
  int x = 0;
  int y = 0;
  bool operator==(const Point&) const = default;
};

struct MessageRequest {
  std::string text;     // as shown, UTF-8; "|" already turned into line breaks
  std::string caption;  // UTF-8
  MessageIcon icon = MessageIcon::None;
  ButtonSet buttons = code(Button::Ok);  // never 0
  Button default_button = Button::None;  // one of `buttons`, or None
};

struct PopupRequest {
  std::vector<MenuEntry> entries;  // at least one
  Point at;                        // screen position (the mouse)
};

// File dialog flags.
inline constexpr std::uint32_t kFileSave = 1u << 0;           // a save dialog: the file need not exist
inline constexpr std::uint32_t kFileKeepDirectory = 1u << 1;  // do not make the file's directory current

// Names and directories are the system's bytes (text.h), not ANSI.
struct FileDialogRequest {
  std::string title;                // ANSI
  std::string file;                 // the name the dialog starts with (may be empty)
  std::string directory;            // where the dialog starts: the current directory
  std::vector<FileFilter> filters;  // may be empty: every file
  std::uint32_t flags = 0;
};

class Responder {
 public:
  virtual ~Responder() = default;

  // The button pressed: one of request.buttons.
  virtual Button message(const MessageRequest& request) = 0;
  // The index into request.entries of the entry chosen, or -1 when the menu
  // was dismissed.
  virtual int popup(const PopupRequest& request) = 0;
  // The full path chosen (the system's bytes), or nullopt when the dialog
  // was cancelled.
  virtual std::optional<std::string> file_dialog(const FileDialogRequest& request) = 0;
  virtual void beep() = 0;
  // Opens a web address with the desktop's program for it. The outcome is
  // not reported: a missing browser is no error of ours.
  virtual void open_url(const std::string& url) = 0;
};

// The responder in force: the installed one, else the desktop responder.
// Needs a QApplication for the desktop responder's dialogs.
Responder& responder();

// Installs `r` (not owned, must outlive its use); nullptr restores the
// desktop responder.
void set_responder(Responder* r);

// The installed responder, or nullptr when the desktop responder is in force.
Responder* installed_responder();

}  // namespace ui
