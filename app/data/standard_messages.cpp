#include "app/data/standard_messages.h"

#include "app/records/records.h"

#include <cctype>
#include <cstdlib>

#include "app/dictionary/dictionary.h"
#include "app/data/transactions.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "ui/services.h"

namespace app {
namespace {

using ui::Button;
using ui::MessageIcon;

constexpr std::size_t kErrorTextLength = 150;
constexpr std::size_t kSavedTextLength = 255;

std::int32_t g_reported = 0;

std::string trimmed(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s.substr(0, n));
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// E, from the saved error once, else from the current one.
std::string error_text() {
  dictionary::SavedError& saved = dictionary::saved_error;
  std::string e;
  if (saved.code != 0) {
    g_reported = saved.code;
    e = saved.code == 90 ? trimmed(saved.file_text) + " (" + std::to_string(saved.file_code) + ")"
                         : trimmed(saved.text) + " (" + std::to_string(saved.code) + ")";
  } else {
    g_reported = files::ERRORCODE();
    e = g_reported == 90 ? trimmed(files::FILEERROR()) + " (" + trimmed(files::FILEERRORCODE()) + ")"
                         : trimmed(files::ERROR()) + " (" + std::to_string(g_reported) + ")";
  }
  saved = dictionary::SavedError{};
  if (e.size() > kErrorTextLength) e.resize(kErrorTextLength);
  return e;
}

constexpr ui::ButtonSet kOk = ui::code(Button::Ok);

}  // namespace

MessageBox compose_message(int number, std::string_view text1, std::string_view text2) {
  const std::string e = error_text();
  const std::string t1 = trimmed(text1);
  const std::string t2 = trimmed(text2);
  MessageBox m;
  m.known = true;
  const char* const end_note = ".  Press OK to end this application.";
  switch (number) {
    case msg::kInvalidFile:
      m = {"Invalid File", "Error: (" + e + ") accessing " + t1 + end_note, MessageIcon::Asterisk, kOk, Button::Ok,
           "Invalid File!", true};
      break;
    case msg::kInvalidKey:
      m = {"Invalid Key", t1 + " key file is invalid.  Do you want to rebuild the key?", MessageIcon::Exclamation,
           Button::Yes | Button::No, Button::Yes, "Invalid Key!", true};
      break;
    case msg::kKeyRebuildError:
      m = {"Key Rebuild Error", "Error: (" + e + ") repairing key for " + t1 + end_note, MessageIcon::Asterisk, kOk,
           Button::Ok, "Error Rebuilding Key!", true};
      break;
    case msg::kFileCreationError:
      m = {"File Creation Error", "Error: (" + e + ") creating " + t1 + end_note, MessageIcon::Asterisk, kOk,
           Button::Ok, "File Creation Error!", true};
      break;
    case msg::kCreatedFileOpenError:
      m = {"File Creation Error", "Error: (" + e + ") opening created file:" + t1 + end_note, MessageIcon::Asterisk,
           kOk, Button::Ok, "File Creation Error!", true};
      break;
    case msg::kRecordInsertError:
      m = {"Record Insert Error", "An error was experienced during the update of record.  Error: " + e + ".",
           MessageIcon::Asterisk, kOk, Button::Ok, "", true};
      break;
    case msg::kUpdateOperationError:
      m = {"Update Operation Error",
           g_reported == 0 || g_reported == 89
               ? std::string("This record was changed by another station.")
               : "An error (" + e + ") was experienced when attempting to update a record from the file.  "
                 "Probable Cause: " + t1 + ".",
           MessageIcon::Asterisk, kOk, Button::Ok, "", true};
      break;
    case msg::kRecordUpdateErrorChange:
      m = {"Record Update Error",
           "An error was experienced changing this record.  Do you want to try to save again?",
           MessageIcon::Asterisk, ui::code(Button::Yes) | Button::No | Button::Cancel, Button::Cancel, "", true};
      break;
    case msg::kDeleteOperationError:
      m = {"Delete Operation Error",
           "An error (" + e + ") was experienced when attempting to delete a record from the file " + t1 + ".",
           MessageIcon::Asterisk, kOk, Button::Ok, "", true};
      break;
    case msg::kRecordUpdateErrorDelete:
      m = {"Record Update Error",
           "An error was experienced deleting this record.  Do you want to try to save again?",
           MessageIcon::Asterisk, ui::code(Button::Yes) | Button::No | Button::Cancel, Button::Cancel, "", true};
      break;
    case msg::kDuplicateKeyError:
      m = {"Duplicate Key Error", records::duplicate_entry_text(t1),
           MessageIcon::Asterisk, kOk, Button::Ok, "", true};
      break;
    case msg::kAutoIncrementError:
      m = {"Auto Increment Error",
           "Attempts to automatically number this record have failed.  Error: " + e + ".", MessageIcon::Asterisk,
           Button::Retry | Button::Cancel, Button::Cancel, "", true};
      break;
    case msg::kFileAccessError:
      m = {"File Access Error", "File (" + t1 + ") could not be opened.  Error: " + e + ".", MessageIcon::Asterisk,
           kOk, Button::Ok, "", true};
      break;
    case msg::kConfirmDelete:
      m = {"Confirm Delete",
           "You've selected to delete the highlighted record.  Press OK to confirm deletion of this record.",
           MessageIcon::Exclamation, Button::Ok | Button::Cancel, Button::Cancel, "", true};
      break;
    case msg::kTransactionFramingError:
      m = {"Transaction Framing Error",
           "Error: (" + e + ") attempting to frame the " + lower(t1) + " transaction on " + t2 + ".  " + t1 +
               " transaction cancelled.",
           MessageIcon::Asterisk, kOk, Button::Ok, "", true};
      break;
    case msg::kRecordRetrievalError:
      m = {"Record Retrieval Error",
           "Error: (" + e + ") attempting to access a record from the " + t1 + " file.  Returning to previous window.",
           MessageIcon::Asterisk, kOk, Button::Ok, "", true};
      break;
    case msg::kViewOpenError:
      m = {"View Open Error",
           "Error: (" + e + ") attempting to open the current VIEW. Filter and Range Limits ignored.",
           MessageIcon::Asterisk, kOk, Button::Ok, "", true};
      break;
    case msg::kRecordWasNotUpdated:
      m = {"Record Was Not Updated",
           "This record was changed by another station. Those changes will now be displayed. Use the Ditto Button "
           "or Ctrl+' to recall your changes.",
           MessageIcon::Asterisk, kOk, Button::Ok, "", true};
      break;
    default:
      m = MessageBox{};
      break;
  }
  return m;
}

std::int32_t standard_message(int number, std::string_view text1, std::string_view text2) {
  const MessageBox m = compose_message(number, text1, text2);
  if (!m.known) return ui::code(Button::Ok);
  // Shown as composed: a file's name is the system's bytes (UTF-8 here),
  // not ANSI, and a "|" in it is no line break. The rest of every text is
  // ASCII, the same in both.
  const Button pressed = ui::message(ui::system_text(m.text), m.caption, m.icon, m.buttons, m.default_button);
  if (!m.halt_text.empty() && (number != msg::kInvalidKey || pressed == Button::No)) end_program(m.halt_text);
  return m.buttons == kOk ? ui::code(Button::Ok) : ui::code(pressed);
}

std::int32_t reported_code() { return g_reported; }

void keep_error() {
  dictionary::SavedError& saved = dictionary::saved_error;
  saved.code = files::ERRORCODE();
  saved.text = trimmed(files::ERROR()).substr(0, kSavedTextLength);
  saved.file_code = std::atoi(files::FILEERRORCODE().c_str());
  saved.file_text = trimmed(files::FILEERROR()).substr(0, kSavedTextLength);
  const files::FileDescriptor* f = files::ERRORFILE();
  saved.file_name = f ? trimmed(f->name.value()).substr(0, kSavedTextLength) : std::string();
  rollback_transaction();
}

void end_program(std::string_view halt_text) {
  for (files::FileDescriptor* file : {&dictionary::Commands, &dictionary::TransTables, &dictionary::Translations}) {
    if (file->fcb && (file->fcb->state & files::state::O)) files::close(*file);
  }
  ui::halt(halt_text);
}

}  // namespace app
