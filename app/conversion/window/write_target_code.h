// `WriteTargetCode`, "Prepare html code to use in Netloom": the conversion
// window. It reads an HTML file line by line and writes every line as one
// line of program code to a file, or to the clipboard when no write file is
// named; the work itself is the conversion core's (app/conversion).
//
// Opened from the toolbox's "&Write html code", beside the toolbox; one at
// a time (a second choice brings the open one to the front). It takes usage
// counts of Commands, TransTables and Translations (checked open), restores
// its placement from section "WriteTargetCode" and its setup from section
// "WriteHtml" of ".\Markfit.ini" when "Setup" is not 0, fills its list of
// tables from TransTables in name order, and saves the setup on "Close"
// only (never from the close box).
//
// "Double quotes" writes every quote of a line twice; it belongs to the
// setup as "DoubleQuotes" (0 when missing). Without it, lines left with an
// odd number of quotes are reported after the run.
//
// Beyond what the window shows, section "WriteHtml" may hold "LineEnd"
// ("CRLF", the default, or "LF": the line ends written, to a file or the
// clipboard) and "Encoding" ("Auto", the default: UTF-8 when the read file
// is valid UTF-8 with multi-byte characters; "ANSI"; "UTF8"). They are read
// whenever the window opens, whatever "Setup" says, and never written.
//
// "Revert" is the way back: the read file holds code lines made with the
// window's texts, indent, mode, table and "Double quotes", and the write
// file (or the clipboard) gets the HTML lines they were made from
// (conversion::Reversion); lines of another shape are left out and
// reported after the run.
//
// A preview shows the first lines "Process" would write (from the start of
// the read file only), brought up to date whenever the read file, a text,
// the indent, the mode, the table or "Double quotes" changes; the window
// grows into it, and below its full height the preview shrinks to four
// lines. The preview follows the read file, the texts and the indent while
// they are typed (once the typing pauses), though a run takes them only once
// accepted (Enter, Tab, or the focus leaving them). A pipe or device as read file is never opened
// (conversion::input_refusal). A file dropped on the window becomes the
// read file (the write file when dropped on its entry); of several, the
// first. The lookups of the read and write file offer the last eight files
// used, in either, before the dialog ("Recent1".."Recent8" of section
// "WriteHtml", kept at once, in the system's bytes).
//
// A run ("Process"): the read file is checked and opened before anything
// is written; the write file is written beside its name and put in its
// place only when complete, after the overwrite question; a failure to
// write is reported; lines cut at 1024 characters and a clipboard text cut
// at 29999 are reported after the run; a run to the clipboard starts from
// an empty text, and one stopped for a blank read file leaves the clipboard
// alone. The file dialogs start in the stored directory (else the current
// one) and never change the current directory.
#pragma once

#include <string>

#include "ui/engine_codes.h"
#include "ui/task.h"
#include "ui/window_definition.h"

namespace app {

namespace write_code {
inline constexpr int kFilesGroup = 1;
inline constexpr int kWriteLookup = 2;
inline constexpr int kReadPrompt = 3;
inline constexpr int kReadFile = 4;
inline constexpr int kReadLookup = 5;
inline constexpr int kWritePrompt = 6;
inline constexpr int kWriteFile = 7;
inline constexpr int kTextGroup = 8;
inline constexpr int kBeforePrompt = 9;
inline constexpr int kBefore = 10;
inline constexpr int kBeforeLookup = 11;
inline constexpr int kAfterPrompt = 12;
inline constexpr int kAfter = 13;
inline constexpr int kAfterLookup = 14;
inline constexpr int kTranslation = 15;
inline constexpr int kNone = 16;
inline constexpr int kInternational = 17;
inline constexpr int kAll = 18;
inline constexpr int kOptionsGroup = 19;
inline constexpr int kIndentPrompt = 20;
inline constexpr int kIndent = 21;
inline constexpr int kSaveSetup = 22;
inline constexpr int kClearSetup = 23;
inline constexpr int kTables = 24;
inline constexpr int kProgress = 25;
inline constexpr int kClose = 26;
inline constexpr int kNumber1 = 27;  // two display fields the procedure never changes
inline constexpr int kNumber2 = 28;
inline constexpr int kProcess = 29;
inline constexpr int kDoubleQuotes = 30;  // "DoubleQuotes" of the setup
inline constexpr int kRevert = 31;        // the read file's code lines back into HTML
inline constexpr int kPreviewBox = 32;
inline constexpr int kPreview = 33;       // the first lines "Process" writes

// Posted to the open window when a file is offered to it.
inline constexpr std::int32_t kTakeOfferedFile = ui::events::kUser + 1;

inline constexpr const char* kSection = "WriteHtml";
inline constexpr const char* kPlacementSection = "WriteTargetCode";
}  // namespace write_code

const ui::WindowDef& write_target_code_definition();

// A file dropped on the toolbox: the conversion window takes it as its read
// file, the open one at once, else the next one to open.
void offer_read_file(const std::string& path);

// The window; returns when it is closed, with response 2.
ui::Task WriteTargetCode();

// The commands browse in select mode, for the lookups of the before- and
// after-text: called with request 4, it answers response 1 with the chosen
// command in the Commands record buffer. CommandsTable unless replaced (a
// test); null makes the two lookup buttons do nothing.
using CommandsBrowse = ui::Task (*)();
extern CommandsBrowse commands_browse;

}  // namespace app
