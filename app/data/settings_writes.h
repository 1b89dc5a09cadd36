// Settings writes that the user hears about. runtime::WRITEINI stays silent,
// like the platform function it stands for (other programs and callers rely
// on that); every write the application makes to a settings file goes
// through write_settings() instead, which checks the outcome and tells the
// user, naming the file and the system's reason.
//
// When the user is told, so as to be heard without being nagged:
//   * A write made on the side of what the user does (the recent files
//     kept when a file is chosen, a window's placement when it closes) is
//     told once per settings file: later failures of that file stay quiet
//     until a write to it succeeds again. The message says so, as what is
//     not told is lost too.
//   * Inside a SettingsAction (the user asked for settings to be saved:
//     "Close" with "Save setup", "Clear setup"; the program's Exit, after
//     which the windows' placements would be found lost only at the next
//     start) every failure is told, also when told before, all of them in
//     one message when the outermost action ends.
//   * When the session is ending from outside (a signal, the desktop
//     logging out: ui::session_ending()), nobody is there to answer a box:
//     the same words go to standard error, one line per file and reason.
// UI thread only, like the message boxes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/settings.h"

namespace app {

// What a write was for; it gives the message its words.
enum class SettingsUse { setup, clear_setup, recent_files, placement };

// runtime::WRITEINI(section, writes, file), then tells as said above when it
// failed. True when the file holds the writes.
bool write_settings(std::string_view section, const std::vector<runtime::SettingWrite>& writes,
                    std::string_view file, SettingsUse use);

// One action of the user during which every failed settings write is told,
// together, when the outermost action ends (its destructor). Actions nest;
// an inner one joins the outer. Spans co_awaits: the failures of every
// procedure that writes meanwhile (windows closing at Exit) join it.
// `program_ends`: the action is the program's end, and the message does not
// speak of later writes.
class SettingsAction {
 public:
  explicit SettingsAction(bool program_ends = false);
  ~SettingsAction();
  SettingsAction(const SettingsAction&) = delete;
  SettingsAction& operator=(const SettingsAction&) = delete;
};

// Forgets what was told (tests).
void reset_settings_reports();

}  // namespace app
