#include "ui/queued_responder.h"

namespace ui {

QueuedResponder::QueuedResponder() : previous_(installed_responder()), installed_(true) {
  set_responder(this);
}

QueuedResponder::~QueuedResponder() {
  if (installed_ && installed_responder() == this) set_responder(previous_);
}

Button QueuedResponder::message(const MessageRequest& request) {
  messages_.push_back(request);
  if (!answers_.empty()) {
    if (const Button* b = std::get_if<Button>(&answers_.front())) {
      const Button answer = *b;
      answers_.pop_front();
      return answer;
    }
  }
  ++unanswered_;
  if (request.buttons & code(Button::Cancel)) return Button::Cancel;
  if (request.default_button != Button::None) return request.default_button;
  for (Button b : kAllButtons) {
    if (request.buttons & code(b)) return b;
  }
  return Button::Ok;
}

int QueuedResponder::popup(const PopupRequest& request) {
  popups_.push_back(request);
  if (!answers_.empty()) {
    if (const MenuIndex* i = std::get_if<MenuIndex>(&answers_.front())) {
      const int index = i->index;
      answers_.pop_front();
      return index;
    }
    if (const MenuPick* pick = std::get_if<MenuPick>(&answers_.front())) {
      int index = -2;
      for (std::size_t k = 0; k < request.entries.size(); ++k) {
        if (request.entries[k].text == pick->text) {
          index = static_cast<int>(k);
          break;
        }
      }
      answers_.pop_front();
      return index;
    }
  }
  ++unanswered_;
  return -1;
}

std::optional<std::string> QueuedResponder::file_dialog(const FileDialogRequest& request) {
  file_dialogs_.push_back(request);
  if (!answers_.empty()) {
    if (const FileChoice* c = std::get_if<FileChoice>(&answers_.front())) {
      std::optional<std::string> path = c->path;
      answers_.pop_front();
      return path;
    }
  }
  ++unanswered_;
  return std::nullopt;
}

}  // namespace ui
