// A responder for tests: answers message boxes, popup menus and file
// dialogs from a queue filled in advance, and records every request.
//
//   ui::QueuedResponder responder;          // installs itself
//   responder.next_answer(ui::Button::No);
//   responder.next_answer(ui::MenuPick{"&Close"});
//   responder.next_answer(ui::FileChoice{"/tmp/x/page.htm"});
//
// A request finds the next answer at the front of the queue. When the queue
// is empty, or the answer at the front is for another kind of request, the
// request is counted in unanswered() and dismissed: a message box answers
// Cancel when it has one, else its default button, else its first button; a
// popup menu is dismissed; a file dialog is cancelled. No Qt here.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ui/responder.h"

namespace ui {

// Chooses the first entry of a popup menu whose text, as written, is `text`
// ("&Close"); a text that no entry has chooses the entry index -2, which
// the menu service treats as no choice.
struct MenuPick {
  std::string text;
};
// Chooses the entry at this 0-based position in the menu text, separators
// counted; -1 dismisses the menu.
struct MenuIndex {
  int index = -1;
};
struct FileChoice {
  std::optional<std::string> path;  // nullopt cancels the dialog
};

class QueuedResponder : public Responder {
 public:
  // Installs itself for its lifetime (and restores the previous responder).
  QueuedResponder();
  ~QueuedResponder() override;
  QueuedResponder(const QueuedResponder&) = delete;
  QueuedResponder& operator=(const QueuedResponder&) = delete;

  void next_answer(Button b) { answers_.emplace_back(b); }
  void next_answer(MenuPick pick) { answers_.emplace_back(std::move(pick)); }
  void next_answer(MenuIndex index) { answers_.emplace_back(index); }
  void next_answer(FileChoice choice) { answers_.emplace_back(std::move(choice)); }

  Button message(const MessageRequest& request) override;
  int popup(const PopupRequest& request) override;
  std::optional<std::string> file_dialog(const FileDialogRequest& request) override;
  void beep() override { ++beeps_; }
  void open_url(const std::string& url) override { urls_.push_back(url); }

  const std::vector<MessageRequest>& messages() const { return messages_; }
  const std::vector<PopupRequest>& popups() const { return popups_; }
  const std::vector<FileDialogRequest>& file_dialogs() const { return file_dialogs_; }
  const std::vector<std::string>& urls() const { return urls_; }
  int beeps() const { return beeps_; }
  int unanswered() const { return unanswered_; }
  std::size_t pending() const { return answers_.size(); }

 private:
  using Answer = std::variant<Button, MenuPick, MenuIndex, FileChoice>;
  std::deque<Answer> answers_;
  std::vector<MessageRequest> messages_;
  std::vector<PopupRequest> popups_;
  std::vector<FileDialogRequest> file_dialogs_;
  std::vector<std::string> urls_;
  int beeps_ = 0;
  int unanswered_ = 0;
  Responder* previous_ = nullptr;
  bool installed_ = false;
};

}  // namespace ui
