#include "ui/services.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <cstdio>
#include <cstdlib>
#include <algorithm>

#include "platform/env.h"
#include "ui/text.h"

namespace ui {
namespace {

ExitFunction g_exit = nullptr;

}  // namespace

const char* button_label(Button b) {
  switch (b) {
    case Button::Ok: return "OK";
    case Button::Yes: return "&Yes";
    case Button::No: return "&No";
    case Button::Abort: return "&Abort";
    case Button::Retry: return "&Retry";
    case Button::Ignore: return "&Ignore";
    case Button::Cancel: return "Cancel";
    case Button::Help: return "&Help";
    case Button::None: break;
  }
  return "";
}

int popup(std::string_view menu_text) {
  PopupRequest request;
  request.entries = parse_menu_text(menu_text);
  if (request.entries.empty()) return 0;
  const QPoint at = QCursor::pos();
  request.at = Point{at.x(), at.y()};
  const int index = responder().popup(request);
  if (index < 0) return 0;
  return menu_choice_number(request.entries, static_cast<std::size_t>(index));
}

Button message(std::string_view text, std::string_view caption, MessageIcon icon, ButtonSet buttons,
               Button default_button) {
  MessageRequest request;
  QString shown;
  for (const TextPiece& piece : text_pieces(text)) {
    if (piece.system) {
      shown += from_system_bytes(piece.bytes);
    } else {
      std::string ansi(piece.bytes);
      for (char& c : ansi) c = c == '|' ? '\n' : c;
      shown += to_qstring(ansi);
    }
  }
  request.text = shown.toStdString();
  request.caption = to_qstring(caption).toStdString();
  request.icon = icon;
  ButtonSet set = 0;
  for (Button b : kAllButtons) set |= buttons & code(b);
  if (set == 0) set = code(Button::Ok);
  request.buttons = set;
  request.default_button = (set & code(default_button)) != 0 ? default_button : Button::None;

  const Button answer = responder().message(request);
  if (answer != Button::None && (set & code(answer)) == code(answer)) return answer;
  if (request.default_button != Button::None) return request.default_button;
  for (Button b : kAllButtons) {
    if (set & code(b)) return b;
  }
  return Button::Ok;
}

std::string system_text(std::string_view bytes) {
  return kSystemTextMark + std::to_string(bytes.size()) + ':' + std::string(bytes);
}

void set_exit_function(ExitFunction f) { g_exit = f; }

void halt(std::string_view text) {
  message(text, {}, MessageIcon::Stop, code(Button::Ok), Button::Ok);
  std::fflush(nullptr);
  if (g_exit) g_exit(1);
  std::exit(1);
}

void beep() { responder().beep(); }

BusyCursor::BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
BusyCursor::~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }

bool file_dialog(std::string_view title, std::string& file, std::string_view filter, std::uint32_t flags) {
  FileDialogRequest request;
  request.title = std::string(title);
  request.file = std::string(clip(file));
  request.directory = path();
  request.filters = parse_file_filter(filter);
  request.flags = flags;
  std::optional<std::string> chosen = responder().file_dialog(request);
  if (!chosen || chosen->empty()) return false;
  platform::Env* env = platform::Env::posix();
  std::string full;
  if (!env->full_path(*chosen, &full).ok()) full = *chosen;
  file = full;
  if ((flags & kFileKeepDirectory) == 0) {
    const FileNameParts parts = split_file_name(full);
    if (!parts.directory.empty()) set_path(parts.drive + parts.directory);
  }
  return true;
}

void set_clipboard(std::string_view text) {
  QClipboard* board = QGuiApplication::clipboard();
  const std::string_view clipped = clip(text);
  if (clipped.empty()) {
    board->clear();
    return;
  }
  board->setText(to_qstring(clipped));
}

std::string clipboard() { return from_qstring(QGuiApplication::clipboard()->text()); }

std::string path() {
  std::string dir;
  if (!platform::Env::posix()->current_directory(&dir).ok()) return {};
  return dir;
}

bool set_path(std::string_view directory) {
  return platform::Env::posix()->set_current_directory(std::string(directory)).ok();
}

void open_url(std::string_view url) { responder().open_url(std::string(url)); }

}  // namespace ui
