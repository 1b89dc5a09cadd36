#include "app/conversion/window/write_target_code.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QString>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/commands/commands_table.h"
#include "app/conversion/conversion.h"
#include "app/conversion/preview.h"
#include "app/conversion/reversion.h"
#include "app/data/data_files.h"
#include "app/dictionary/dictionary.h"
#include "app/data/globals.h"
#include "app/data/settings_writes.h"
#include "app/windows/placement.h"
#include "app/data/standard_messages.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "runtime/settings.h"
#include "ui/file_names.h"
#include "ui/services.h"
#include "ui/text.h"
#include "ui/window.h"

namespace app {

CommandsBrowse commands_browse = &CommandsTable;

namespace {

namespace wc = write_code;
using ui::ControlDef;
using ui::ControlKind;
using ui::control;
using ui::keys::kCtrlDown;

constexpr int kPreviewShrink = 40;  // dialog units: 76 high, it keeps 36 (four lines)

constexpr ControlDef kControls[] = {
    control(ControlKind::Box, "Html files", 6, 4, 290, 50),
    control(ControlKind::Button, "", 274, 33, 16, 14).with_icon("lookup"),
    control(ControlKind::Prompt, "Read file:", 14, 18, 42, 10),
    control(ControlKind::Entry, "", 58, 16, 212, 12)
        .with_format("@s255")
        .with_flags(ui::kFileName | ui::kEditEvents)
        .with_key(kCtrlDown, wc::kReadLookup),
    control(ControlKind::Button, "", 274, 15, 16, 14).with_icon("lookup"),
    control(ControlKind::Prompt, "Write file:", 14, 36, 42, 10),
    control(ControlKind::Entry, "", 58, 34, 212, 12)
        .with_format("@s255")
        .with_flags(ui::kFileName)
        .with_key(kCtrlDown, wc::kWriteLookup),
    control(ControlKind::Box, "Text to prefix/postfix", 6, 58, 290, 50),
    control(ControlKind::Prompt, "Before:", 14, 72, 42, 10),
    control(ControlKind::Entry, "", 58, 70, 212, 12)
        .with_format("@s80")
        .with_flags(ui::kEditEvents)
        .with_key(kCtrlDown, wc::kBeforeLookup),
    control(ControlKind::Button, "", 274, 69, 16, 14).with_icon("lookup"),
    control(ControlKind::Prompt, "After:", 14, 90, 42, 10),
    control(ControlKind::Entry, "", 58, 88, 212, 12)
        .with_format("@s80")
        .with_flags(ui::kEditEvents)
        .with_key(kCtrlDown, wc::kAfterLookup),
    control(ControlKind::Button, "", 274, 87, 16, 14).with_icon("lookup"),
    control(ControlKind::Option, "Translation", 6, 112, 92, 72),
    control(ControlKind::Radio, "None", 14, 126, 76, 10).with_value(conversion::kModeNone),
    control(ControlKind::Radio, "International", 14, 140, 76, 10).with_value(conversion::kModeInternational),
    control(ControlKind::Radio, "All", 14, 154, 76, 10).with_value(conversion::kModeAll),
    control(ControlKind::Box, "Options", 102, 112, 92, 72),
    control(ControlKind::Prompt, "Indent:", 110, 128, 32, 10),
    control(ControlKind::Spin, "", 144, 126, 40, 12).with_format("@n3").with_range(1, 40).with_flags(ui::kEditEvents),
    control(ControlKind::Check, "Save setup", 110, 142, 80, 10),
    control(ControlKind::Check, "Clear setup", 110, 156, 80, 10),
    control(ControlKind::List, "", 198, 116, 98, 68)
        .with_format("80L(2)~Table Name~@s20@")
        .with_tip("Name of translation table"),
    control(ControlKind::Progress, "", 6, 286, 290, 10).with_flags(ui::kHidden),
    control(ControlKind::Button, "Close", 190, 302, 50, 16).with_icon("ok").with_flags(ui::kCancelButton),
    control(ControlKind::String, "", 6, 304, 20, 10).with_flags(ui::kHidden),
    control(ControlKind::String, "", 30, 304, 20, 10).with_flags(ui::kHidden),
    control(ControlKind::Button, "Process", 246, 302, 50, 16).with_flags(ui::kDisabled),
    control(ControlKind::Check, "Double quotes", 110, 170, 80, 10)
        .with_tip("Write every ' of the line twice, as a Netloom string needs it"),
    control(ControlKind::Button, "Revert", 134, 302, 50, 16)
        .with_flags(ui::kDisabled)
        .with_tip("Turn the code lines of the read file back into HTML (the same texts, indent, mode, table and quotes)"),
    // The preview may shrink to a few lines, so that the window fits a
    // small screen at a large scale.
    control(ControlKind::Box, "Preview", 6, 188, 290, 94).with_shrink(0, kPreviewShrink),
    control(ControlKind::Text, "", 12, 200, 278, 76)
        .with_shrink(0, kPreviewShrink)
        .with_flags(ui::kFixedPitch)
        .with_tip("The first lines that \"Process\" writes"),
};

ui::WindowDef make_window() {
  ui::WindowDef d;
  d.name = "markfit$MKFIT001";
  d.caption = "Prepare html code to use in Netloom";
  d.w = 302;
  d.h = 324;
  d.font = {"MS Sans Serif", 8, false};
  d.icon = "markfit";
  d.flags = ui::kSystemMenu | ui::kCentre | ui::kResizable | ui::kMinimumSize | ui::kMaximizeBox | ui::kAcceptFiles;
  d.controls = kControls;
  return d;
}
const ui::WindowDef kWindow = make_window();

constexpr std::string_view kReadTitle = "Select file to read";
constexpr std::string_view kReadFilter = "Html files|*.htm|All files|*.*";
constexpr std::string_view kWriteTitle = "Select file to write";
constexpr std::string_view kWriteFilter = "Htw files|*.htw|All files|*.*";

constexpr std::string_view kInputCaption = "ERROR: Could not open file";
constexpr std::string_view kInputText = "Could not open the input file.";
constexpr std::string_view kOutputCaption = "ERROR: Could not write file";
constexpr std::string_view kOutputText = "Could not write the output file.";

// The window's variables.
struct Setup {
  std::string read_file;
  std::string write_file;
  std::string before;
  std::string after;
  std::int32_t mode = conversion::kModeNone;
  std::int32_t indent = 1;
  std::int32_t save_setup = 0;
  std::int32_t clear_setup = 0;
  std::int32_t double_quotes = 0;
  std::string preview;              // the preview's lines
  std::vector<std::string> recent;  // the last files used, the latest first
  std::string read_dir;
  std::string write_dir;
  std::int32_t progress = 0;
  std::string table_name;  // the list's value: the highlighted table's name
  conversion::LineEnd line_end = conversion::LineEnd::crlf;
  conversion::Encoding encoding = conversion::Encoding::automatic;
};

std::string setting(const char* key, const char* fallback = "") {
  return runtime::GETINI(wc::kSection, key, fallback, kSettingsFile);
}

std::string lower(std::string s) {
  for (char& c : s) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

// A file name as the settings keep it. Blanks around a value, and a pair of
// quotes around it, do not come back from the settings file: such a name is
// kept in quotes, which the reading takes off again.
std::string stored_name(const std::string& name) {
  const auto edge = [](char c) { return c == ' ' || c == '\t' || c == '"' || c == '\''; };
  return !name.empty() && (edge(name.front()) || edge(name.back())) ? "\"" + name + "\"" : name;
}

void load_setup(Setup& s) {
  s.indent = 1;
  s.save_setup = placement_number(setting("Setup", "0")) != 0 ? 1 : 0;
  if (s.save_setup) {
    s.read_dir = setting("ReadDir");
    s.write_dir = setting("WriteDir");
    s.read_file = setting("ReadFile");
    s.write_file = setting("WriteFile");
    s.before = setting("CommandBefore");
    s.after = setting("CommandAfter");
    s.indent = std::clamp(placement_number(setting("Indent", "0")), 0, conversion::kMaxIndent);
    s.mode = placement_number(setting("Translation", "0"));
    s.double_quotes = placement_number(setting("DoubleQuotes", "0")) != 0 ? 1 : 0;
  }
  // Not part of the setup: read whatever "Setup" says.
  s.line_end = lower(setting("LineEnd", "CRLF")) == "lf" ? conversion::LineEnd::lf : conversion::LineEnd::crlf;
  const std::string encoding = lower(setting("Encoding", "Auto"));
  s.encoding = encoding == "ansi"                        ? conversion::Encoding::ansi
               : encoding == "utf8" || encoding == "utf-8" ? conversion::Encoding::utf8
                                                           : conversion::Encoding::automatic;
}

// In one write: the file holds the whole setup or, when it cannot be
// written, the setup it held before, never a part (the user is told).
void save_setup(const Setup& s) {
  std::vector<runtime::SettingWrite> writes;
  const std::string read(ui::clip(s.read_file));
  if (!read.empty()) writes.push_back({"ReadDir", ui::split_file_name(read).directory});
  const std::string write(ui::clip(s.write_file));
  if (!write.empty()) writes.push_back({"WriteDir", ui::split_file_name(write).directory});
  writes.push_back({"Setup", s.save_setup ? "1" : "0"});
  writes.push_back({"ReadFile", stored_name(read)});
  writes.push_back({"WriteFile", stored_name(write)});
  writes.push_back({"CommandBefore", std::string(ui::clip(s.before))});
  writes.push_back({"CommandAfter", std::string(ui::clip(s.after))});
  writes.push_back({"Indent", std::to_string(s.indent)});
  writes.push_back({"Translation", std::to_string(s.mode)});
  writes.push_back({"DoubleQuotes", s.double_quotes ? "1" : "0"});
  SettingsAction saving;  // asked for: told every time it fails
  write_settings(wc::kSection, writes, kSettingsFile, SettingsUse::setup);
}

conversion::Options options_of(const Setup& s);
void refresh_preview(ui::Window& window, Setup& s);

// "Process" and "Revert" need a read file.
void enable_runs(ui::Window& window, bool enabled) {
  for (int button : {wc::kProcess, wc::kRevert}) window.set_property(button, ui::props::kDisable, enabled ? "0" : "1");
}

constexpr std::size_t kRecentFiles = 8;

void load_recent(Setup& s) {
  s.recent.clear();
  for (std::size_t i = 1; i <= kRecentFiles; ++i) {
    const std::string file = setting(("Recent" + std::to_string(i)).c_str());
    if (!file.empty() && std::find(s.recent.begin(), s.recent.end(), file) == s.recent.end()) s.recent.push_back(file);
  }
}

// A file used (chosen, dropped or run) goes to the front of the list,
// which the settings keep at once, in one write. A name with a line break
// cannot be kept in the settings file and is not remembered.
void remember(Setup& s, std::string_view file) {
  const std::string name(ui::clip(file));
  if (name.empty() || name.find_first_of("\r\n") != std::string::npos) return;
  load_recent(s);  // another window may have used files meanwhile
  s.recent.erase(std::remove(s.recent.begin(), s.recent.end(), name), s.recent.end());
  s.recent.insert(s.recent.begin(), name);
  if (s.recent.size() > kRecentFiles) s.recent.resize(kRecentFiles);
  std::vector<runtime::SettingWrite> writes;
  for (std::size_t i = 0; i < kRecentFiles; ++i) {
    writes.push_back({"Recent" + std::to_string(i + 1), i < s.recent.size() ? stored_name(s.recent[i]) : std::string()});
  }
  write_settings(wc::kSection, writes, kSettingsFile, SettingsUse::recent_files);
}

void clear_setup(ui::Window& window, Setup& s) {
  {
    SettingsAction clearing;  // asked for: told every time it fails
    write_settings(wc::kSection,
                   {{"Setup", "0"},
                    {"ReadFile", ""},
                    {"WriteFile", ""},
                    {"CommandBefore", ""},
                    {"CommandAfter", ""},
                    {"Indent", "1"},
                    {"Translation", "0"},
                    {"DoubleQuotes", "0"}},
                   kSettingsFile, SettingsUse::clear_setup);
  }
  s.save_setup = 0;
  s.double_quotes = 0;
  s.read_file.clear();
  s.write_file.clear();
  s.before.clear();
  s.after.clear();
  s.indent = 1;
  s.mode = conversion::kModeNone;
  enable_runs(window, false);
  window.display();
  refresh_preview(window, s);
}

// The tables by name. The reading leaves the record buffer as it was, so
// that the table named in it before is the one highlighted. False when the
// reading failed and the window must close.
bool fill_tables(ui::Window& window) {
  using dictionary::TTB;
  const dictionary::TransTablesRecord kept = TTB;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> names;  // each as its 20 characters
  bool ok = true;
  files::set(dictionary::TTB_TABLENAMEKEY());
  if (files::ERRORCODE() != 0) {
    standard_message(msg::kViewOpenError);
  } else {
    for (;;) {
      files::next(dictionary::TransTables);
      const std::int32_t rc = files::ERRORCODE();
      if (rc == 33) break;
      if (rc != 0) {
        ok = false;
        break;
      }
      rows.push_back({dictionary::field_text(TTB.name), std::to_string(TTB.idnr)});
      names.emplace_back(dictionary::field_bytes(TTB.name));
    }
  }
  TTB = kept;
  if (!ok) {
    standard_message(msg::kRecordRetrievalError, "TransTables");
    return false;
  }
  window.set_list_rows(wc::kTables, rows);
  if (rows.empty()) {
    dictionary::set_field(TTB.name, "");
  } else if (!dictionary::field_text(TTB.name).empty()) {
    std::size_t row = 0;
    while (row < names.size() && names[row] != dictionary::field_bytes(TTB.name)) ++row;
    window.set_property(wc::kTables, ui::props::kSelected, std::to_string(row + 1));
  }
  return true;
}

// A file lookup. The dialog starts where the stored directory says (else
// in the current directory) and changes no directory.
void look_up_file(ui::Window& window, Setup& s, bool read) {
  std::string& file = read ? s.read_file : s.write_file;
  const std::string& stored = read ? s.read_dir : s.write_dir;
  std::string start(ui::clip(file));
  if (!ui::clip(stored).empty() && ui::split_file_name(start).directory.empty()) {
    std::string dir(ui::clip(stored));
    if (dir.back() != '/' && dir.back() != '\\') dir += '/';
    start = dir + start;
  }
  // The files used last come first, in a menu, numbered for the keys;
  // "Browse..." opens the dialog.
  load_recent(s);
  std::string menu;
  for (std::size_t i = 0; i < s.recent.size(); ++i) {
    menu += "&" + std::to_string(i + 1) + " " + ui::system_text(s.recent[i]) + "|";
  }
  const std::vector<std::string> offered = s.recent;
  if (!offered.empty()) {
    const int choice = ui::popup(menu + "-|&Browse...");
    if (choice == 0) return;
    if (choice <= static_cast<int>(offered.size())) {
      file = offered[static_cast<std::size_t>(choice - 1)];
      remember(s, file);
      window.display(read ? wc::kReadFile : wc::kWriteFile);
      if (read) {
        enable_runs(window, true);
        refresh_preview(window, s);
      }
      return;
    }
  }
  const bool chosen = ui::file_dialog(read ? kReadTitle : kWriteTitle, start, read ? kReadFilter : kWriteFilter,
                                      ui::kFileKeepDirectory);
  if (chosen) {
    file = start;
    remember(s, file);
    window.display(read ? wc::kReadFile : wc::kWriteFile);
  }
  if (read) {
    enable_runs(window, chosen);
    refresh_preview(window, s);
  }
}

std::string sentence(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

void put_on_clipboard(const std::string& text, bool utf8) {
  QClipboard* board = QGuiApplication::clipboard();
  if (text.empty()) {
    board->clear();
    return;
  }
  board->setText(utf8 ? QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())) : ui::to_qstring(text));
}

conversion::Options options_of(const Setup& s) {
  conversion::Options options;
  options.mode = s.mode;
  options.indent = s.indent;
  options.before = s.before;
  options.after = s.after;
  options.line_end = s.line_end;
  options.encoding = s.encoding;
  options.double_quotes = s.double_quotes != 0;
  return options;
}

// The setup as the window shows it now: the texts and the indent being
// typed, where they can be read, in place of those last accepted (which
// stay the run's until accepted).
Setup shown_setup(const ui::Window& window, const Setup& s) {
  Setup shown;
  shown.read_file = window.typed_value(wc::kReadFile).value_or(s.read_file);
  shown.before = window.typed_value(wc::kBefore).value_or(s.before);
  shown.after = window.typed_value(wc::kAfter).value_or(s.after);
  const std::optional<std::string> indent = window.typed_value(wc::kIndent);
  shown.indent = indent ? std::atoi(indent->c_str()) : s.indent;
  shown.mode = s.mode;
  shown.double_quotes = s.double_quotes;
  shown.line_end = s.line_end;
  shown.encoding = s.encoding;
  return shown;
}

// The preview: the first lines "Process" would write, from the start of the
// read file only, as the window shows the setup now (typing included).
void refresh_preview(ui::Window& window, Setup& s) {
  std::string text;
  const Setup shown = shown_setup(window, s);
  const std::string read(ui::clip(shown.read_file));
  if (read.empty()) {
    text = "(Choose a read file to see the first lines written.)";
  } else {
    using dictionary::TTB;
    conversion::ReplacementTable table;
    if (s.mode == conversion::kModeInternational || s.mode == conversion::kModeAll) {
      std::int32_t id = TTB.idnr;
      const dictionary::TransTablesRecord kept = TTB;
      if (!s.table_name.empty() && conversion::find_table(s.table_name, &id) != 0) id = kept.idnr;
      TTB = kept;
      (void)conversion::load_table(id, &table);  // a table that cannot be read shows as none
    }
    const conversion::Preview p = conversion::preview(read, options_of(shown), table);
    if (!p.error.empty()) {
      text = "(" + sentence(p.error) + ")";
    } else {
      for (const std::string& line : p.lines) text += line + "\n";
      if (p.more) text += "...";
      if (p.lines.empty() && !p.more) text = "(The read file is empty.)";
    }
  }
  if (text != s.preview) {
    s.preview = std::move(text);
    window.display(wc::kPreview);
  }
}

// The report's words for what a run leaves to look at afterwards.
std::string afterwards(const conversion::Report& report) {
  std::string text;
  if (report.cut_lines > 0) {
    text = std::to_string(report.cut_lines) + (report.cut_lines == 1 ? " line was" : " lines were") +
           " longer than " + std::to_string(conversion::kDefaultMaxLine) + " characters and " +
           (report.cut_lines == 1 ? "was" : "were") + " cut; the first is line " + std::to_string(report.first_cut) +
           ".";
  }
  if (const std::string lone = conversion::lone_quote_summary(report); !lone.empty()) {
    if (!text.empty()) text += "||";
    text += sentence(lone) + "  Tick \"Double quotes\" to write each quote twice.";
  }
  return text;
}
std::string afterwards(const conversion::RevertReport& report) {
  const std::string left = conversion::left_out_summary(report);
  return left.empty() ? left : sentence(left);
}

// "Process" (a Conversion) and "Revert" (a Reversion): one run.
template <class Run>
void process(ui::Window& window, Setup& s) {
  using dictionary::TTB;
  constexpr bool kBack = std::is_same_v<Run, conversion::Reversion>;
  // The highlighted row is the table, as its name in the record buffer.
  if (!s.table_name.empty()) dictionary::set_field(TTB.name, s.table_name);
  std::int32_t table_id = TTB.idnr;
  if (conversion::find_table(dictionary::field_text(TTB.name), &table_id) != 0) {
    table_id = TTB.idnr;  // not reported: the table last loaded serves
  }

  const std::string read(ui::clip(s.read_file));
  if (read.empty()) {
    ui::beep();
    window.select(wc::kReadFile);
    return;
  }
  Run run(options_of(s));
  if (!run.open_input(read)) {
    ui::message(std::string(kInputText) + "||" + ui::system_text(sentence(run.report().error)), kInputCaption,
                ui::MessageIcon::Question, ui::code(ui::Button::Ok));
    return;
  }
  remember(s, read);
  const std::string write(ui::clip(s.write_file));
  bool replace = false;  // the user said an existing file may be replaced
  if (!write.empty()) {
    if (!run.refuse_same_file(write)) {
      ui::message(std::string(kOutputText) + "||" + ui::system_text(sentence(run.report().error)), kOutputCaption,
                  ui::MessageIcon::Question, ui::code(ui::Button::Ok));
      return;
    }
    switch (conversion::output_kind(write)) {
      case conversion::OutputKind::directory:
        // Refused before the question, which would ask to overwrite a folder.
        ui::message(std::string(kOutputText) + "||" + sentence("'" + write + "' is a directory, not a file"),
                    kOutputCaption, ui::MessageIcon::Question, ui::code(ui::Button::Ok));
        return;
      case conversion::OutputKind::file:
        if (ui::message("The file to write already exists.  Do you want to overwrite it?", "File already exists",
                        ui::MessageIcon::Exclamation, ui::Button::Yes | ui::Button::No,
                        ui::Button::Yes) != ui::Button::Yes) {
          return;
        }
        replace = true;
        break;
      case conversion::OutputKind::missing:
      case conversion::OutputKind::stream:  // written, never replaced: nothing to ask
        break;
    }
  }
  conversion::ReplacementTable table;
  if (s.mode == conversion::kModeInternational || s.mode == conversion::kModeAll) {
    if (conversion::load_table(table_id, &table) != 0) {
      standard_message(msg::kRecordRetrievalError, "Translations");
      return;
    }
  }

  s.progress = 0;
  window.set_property(wc::kProgress, ui::props::kHide, "0");
  window.display(wc::kProgress);
  const conversion::ProgressFn progress = [&window, &s](int percent) {
    s.progress = percent;
    window.display(wc::kProgress);
  };
  bool ok = false;
  std::uint64_t clipboard_cut = 0;
  std::uint64_t clipboard_first = 0;
  if (!write.empty()) {
    conversion::FileOutput sink(write, s.line_end, replace);
    ok = run.run(table, sink, progress);
  } else {
    conversion::ClipboardText sink(s.line_end, run.utf8());
    ok = run.run(table, sink, progress);
    if (ok) {
      put_on_clipboard(sink.text(), run.utf8());
      clipboard_cut = sink.lines_cut();
      clipboard_first = sink.first_line_cut();
    }
  }
  s.progress = 0;
  window.set_property(wc::kProgress, ui::props::kHide, "1");

  if (ok && !write.empty()) remember(s, write);
  const auto& report = run.report();
  if (!ok) {
    const bool input = report.failure == conversion::Report::Failure::input;
    ui::message(std::string(input ? kInputText : kOutputText) + "||" + ui::system_text(sentence(report.error)),
                input ? kInputCaption : kOutputCaption, ui::MessageIcon::Question, ui::code(ui::Button::Ok));
    return;
  }
  std::string text = afterwards(report);
  if (clipboard_cut > 0) {
    if (!text.empty()) text += "||";
    text += "The clipboard holds only the first " + std::to_string(conversion::kClipboardLimit) + " characters: " +
            std::to_string(clipboard_cut) + (clipboard_cut == 1 ? " line" : " lines") + " from line " +
            std::to_string(clipboard_first) + " on " + (clipboard_cut == 1 ? "is" : "are") + " cut or missing.";
  }
  if (text.empty()) return;
  const char* caption = "Lone quotes";
  if constexpr (kBack) {
    caption = "Lines left out";
  } else if (report.cut_lines > 0) {
    caption = "Lines cut";
  }
  if (clipboard_cut > 0) caption = "Lines cut";
  ui::message(text, caption, ui::MessageIcon::Asterisk, ui::code(ui::Button::Ok));
}

// The window grows into its preview: the preview takes what the window
// gains, the progress bar and the buttons keep to the bottom right.
void lay_out(ui::Window& window) {
  const int width = std::atoi(window.property(0, ui::props::kWidth).c_str());
  const int height = std::atoi(window.property(0, ui::props::kHeight).c_str());
  const int dx = std::max(0, width - window.du_x(kWindow.w));
  // Below its full height the preview gives up what it may.
  const int dy = std::max(-window.du_y(kPreviewShrink), height - window.du_y(kWindow.h));
  auto place = [&](int control, bool move_x, bool move_y, bool grow_x, bool grow_y) {
    const ui::ControlDef& d = kControls[control - 1];
    window.set_position(control, window.du_x(d.x) + (move_x ? dx : 0), window.du_y(d.y) + (move_y ? dy : 0),
                        window.du_x(d.w) + (grow_x ? dx : 0), window.du_y(d.h) + (grow_y ? dy : 0));
  };
  place(wc::kPreviewBox, false, false, true, true);
  place(wc::kPreview, false, false, true, true);
  place(wc::kProgress, false, true, true, false);
  for (int button : {wc::kRevert, wc::kClose, wc::kProcess}) place(button, true, true, false, false);
}

// A file dropped on the window or the toolbox, for the window to take.
std::string offered_file;

// A dropped file becomes the read file (the write file when dropped on its
// entry).
void take_dropped(ui::Window& window, Setup& s, const std::string& file, bool write) {
  (write ? s.write_file : s.read_file) = file;
  remember(s, file);
  window.display(write ? wc::kWriteFile : wc::kReadFile);
  if (!write) {
    enable_runs(window, true);
    refresh_preview(window, s);
  }
}

ui::Window* open_window() {
  for (ui::Window* w : ui::Window::open_windows()) {
    if (w->definition().name == kWindow.name) return w;
  }
  return nullptr;
}

}  // namespace

const ui::WindowDef& write_target_code_definition() { return kWindow; }

void offer_read_file(const std::string& path) {
  offered_file = path;
  if (ui::Window* open = open_window()) open->post(wc::kTakeOfferedFile);
}

ui::Task WriteTargetCode() {
  using namespace ui::events;
  // One at a time: a second start brings the open window to the front.
  if (ui::Window* open = open_window()) {
    if (QWidget* w = open->widget()) {
      w->raise();
      w->activateWindow();
    }
    co_return;
  }
  take_request();
  use_file(dictionary::Commands);
  use_file(dictionary::TransTables);
  use_file(dictionary::Translations);
  ui::Window window(kWindow);
  restore_placement(window, wc::kPlacementSection, kSettingsFile);

  Setup s;
  load_setup(s);
  load_recent(s);
  if (!offered_file.empty()) s.read_file = std::exchange(offered_file, std::string());
  window.use(wc::kReadFile, &s.read_file);
  window.use(wc::kWriteFile, &s.write_file);
  window.use(wc::kBefore, &s.before);
  window.use(wc::kAfter, &s.after);
  window.use(wc::kTranslation, &s.mode);
  window.use(wc::kIndent, &s.indent);
  window.use(wc::kSaveSetup, &s.save_setup);
  window.use(wc::kClearSetup, &s.clear_setup);
  window.use(wc::kDoubleQuotes, &s.double_quotes);
  window.use(wc::kPreview, &s.preview);
  window.use(wc::kTables, &s.table_name);
  window.use(wc::kProgress, &s.progress);
  if (!ui::clip(s.read_file).empty()) enable_runs(window, true);

  bool first_open = true;
  while (co_await window.next_event()) {
    const int event = window.event();
    switch (window.field()) {
      case 0:
        if (event == kOpenWindow && first_open) {
          first_open = false;
          if (!fill_tables(window)) {
            window.post(kCloseWindow);
            break;
          }
          window.display();
          window.select(wc::kWriteLookup);
          lay_out(window);
          refresh_preview(window, s);
        } else if (event == kSized) {
          lay_out(window);
        } else if (event == wc::kTakeOfferedFile && !offered_file.empty()) {
          take_dropped(window, s, std::exchange(offered_file, std::string()), false);
        }
        if (event == kDrop && !window.dropped_files().empty()) {
          take_dropped(window, s, window.dropped_files().front(), false);
        }
        break;
      case wc::kReadLookup:
        if (event == kAccepted) look_up_file(window, s, true);
        break;
      case wc::kWriteLookup:
        if (event == kAccepted) look_up_file(window, s, false);
        break;
      case wc::kReadFile:
        if (event == kEdited) refresh_preview(window, s);
        // A name typed in serves as well as one chosen.
        if (event == kAccepted) {
          enable_runs(window, !ui::clip(s.read_file).empty());
          refresh_preview(window, s);
        }
        if (event == kDrop && !window.dropped_files().empty()) {
          take_dropped(window, s, window.dropped_files().front(), false);
        }
        break;
      case wc::kWriteFile:
        // A file dropped here is the one to write.
        if (event == kDrop && !window.dropped_files().empty()) {
          take_dropped(window, s, window.dropped_files().front(), true);
        }
        break;
      case wc::kBefore:
      case wc::kAfter:
      case wc::kTranslation:
      case wc::kIndent:
      case wc::kDoubleQuotes:
        if (event == kAccepted || event == kEdited) refresh_preview(window, s);
        if (event == kDrop && !window.dropped_files().empty()) {
          take_dropped(window, s, window.dropped_files().front(), false);
        }
        break;
      case wc::kBeforeLookup:
      case wc::kAfterLookup:
        if (event == kAccepted && commands_browse != nullptr) {
          const int field = window.field();
          global_request = kSelectRecord;
          co_await commands_browse();
          if (global_response == kRequestCompleted) {
            std::string& text = field == wc::kBeforeLookup ? s.before : s.after;
            text = dictionary::field_text(dictionary::COM.commandstring);
            window.display(field == wc::kBeforeLookup ? wc::kBefore : wc::kAfter);
            refresh_preview(window, s);
          }
        }
        break;
      case wc::kClearSetup:
        if (event == kAccepted && s.clear_setup) clear_setup(window, s);
        break;
      case wc::kTables:
        if (event == kNewSelection) {
          dictionary::set_field(dictionary::TTB.name, s.table_name);
          refresh_preview(window, s);
        }
        break;
      case wc::kClose:
        if (event == kAccepted) {
          if (s.save_setup) save_setup(s);
          window.post(kCloseWindow);
        }
        break;
      case wc::kProcess:
        if (event == kAccepted) process<conversion::Conversion>(window, s);
        break;
      case wc::kRevert:
        if (event == kAccepted) process<conversion::Reversion>(window, s);
        break;
      default:
        if (event == kDrop && !window.dropped_files().empty()) {
          take_dropped(window, s, window.dropped_files().front(), false);
        }
        break;
    }
  }
  release_file(dictionary::Commands);
  release_file(dictionary::TransTables);
  release_file(dictionary::Translations);
  save_placement(window, wc::kPlacementSection, kSettingsFile);
  window.close();
  global_response = kRequestCancelled;
}

}  // namespace app
