#include "app/data/settings_writes.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "runtime/messages.h"
#include "ui/services.h"
#include "ui/session_end.h"

namespace app {
namespace {

struct Failure {
  SettingsUse use;
  std::string path;
  std::string reason;  // a sentence
};

// Settings files whose failure was told and that no write has succeeded on
// since.
std::set<std::string>& told() {
  static std::set<std::string> files;
  return files;
}

int g_actions = 0;                // open SettingsActions
std::vector<Failure> g_collected;  // their failures, in order
bool g_program_ends = false;       // one of them is the program's end

constexpr std::string_view kCaption = "ERROR: Could not save settings";

std::string_view what(SettingsUse use) {
  switch (use) {
    case SettingsUse::setup: return "save the setup";
    case SettingsUse::clear_setup: return "clear the setup";
    case SettingsUse::recent_files: return "keep the list of recent files";
    case SettingsUse::placement: return "save where the windows were";
  }
  return "save the settings";
}

std::string sentence(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();  // some built-in texts end in a blank
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

// The reason of a failed write. The runtime refuses a value that could not
// be read back as written with the same number as the system's "Invalid
// Parameter"; the writes tell the two apart.
std::string reason_of(std::string_view section, const std::vector<runtime::SettingWrite>& writes, int error) {
  if (error == runtime::kSettingsInvalidArgument) {
    for (const runtime::SettingWrite& w : writes) {
      if (w.key && w.value && !runtime::ini_writable(section, *w.key, *w.value)) {
        return "A value holds a line break, which a settings file cannot keep.";
      }
    }
  }
  return sentence(runtime::system_error_text(error));
}

// One line per distinct file and reason, on standard error or in one box.
// A file told for the first time is told once: the message says that later
// failures stay quiet, unless the program is ending anyway.
void tell(const std::vector<Failure>& failures, bool program_ends) {
  std::vector<const Failure*> distinct;
  for (const Failure& f : failures) {
    const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](const Failure* d) {
      return d->path == f.path && d->reason == f.reason;
    });
    if (!seen) distinct.push_back(&f);
  }
  if (distinct.empty()) return;
  bool once = false;
  for (const Failure* f : distinct) once = told().insert(f->path).second || once;
  once = once && !program_ends;

  const SettingsUse use = distinct.front()->use;
  if (ui::session_ending()) {
    // Nobody is left to answer a box (it would be dismissed unread).
    for (const Failure* f : distinct) {
      std::fprintf(stderr, "markfit: could not %.*s in the settings file %s: %s\n",
                   static_cast<int>(what(f->use).size()), what(f->use).data(), f->path.c_str(), f->reason.c_str());
    }
    std::fflush(stderr);
    return;
  }
  std::string text = "Could not " + std::string(what(use)) + " in the settings file";
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    text += (i == 0 ? "|" : "||") + ui::system_text(distinct[i]->path) + "||" + distinct[i]->reason;
  }
  if (use == SettingsUse::placement) text += "||The windows may not open where you left them next time.";
  if (once) text += "||Until the file can be written, later settings are lost without another message.";
  ui::message(text, kCaption, ui::MessageIcon::Exclamation, ui::code(ui::Button::Ok));
}

}  // namespace

bool write_settings(std::string_view section, const std::vector<runtime::SettingWrite>& writes,
                    std::string_view file, SettingsUse use) {
  runtime::WRITEINI(section, writes, file);
  const platform::Status status = runtime::last_settings_error();
  std::string path = runtime::settings_file_path(file);
  if (path.empty()) path = std::string(file);
  if (status.ok()) {
    told().erase(path);  // a later failure is news again
    return true;
  }
  Failure failure{use, std::move(path), reason_of(section, writes, status.error)};
  if (g_actions > 0) {
    g_collected.push_back(std::move(failure));
  } else if (told().count(failure.path) == 0) {
    tell({std::move(failure)}, false);
  }
  return false;
}

SettingsAction::SettingsAction(bool program_ends) {
  ++g_actions;
  g_program_ends = g_program_ends || program_ends;
}

SettingsAction::~SettingsAction() {
  if (--g_actions > 0) return;
  // Taken before telling: the box's event loop lets other procedures write,
  // and they must not find this action's failures still pending.
  tell(std::exchange(g_collected, {}), std::exchange(g_program_ends, false));
}

void reset_settings_reports() {
  told().clear();
  g_collected.clear();
  g_program_ends = false;
}

}  // namespace app
