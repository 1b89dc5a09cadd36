// The user's system profile: the INI file that holds the runtime's own
// settings (section "intl" for the regional settings, the drivers' trace
// switches in "OVKESTREL" and "OVASCII").
#pragma once

#include <string>
#include <string_view>

namespace runtime {

// Where the profile lives, looked up at every call:
//   $MARKFIT_PROFILE when set and not empty (a relative name is taken
//   against the current directory), else $XDG_CONFIG_HOME/markfit/profile.ini
//   when that variable holds an absolute path, else
//   $HOME/.config/markfit/profile.ini. Empty when none of them is usable
//   (no HOME either): reads then give their defaults and writes fail with
//   error 3 (path not found) in last_settings_error().
std::string profile_path();

// GETINI on the profile.
std::string GETPROFILESTR(std::string_view section, std::string_view key,
                          std::string_view default_value);

// The profile value read as a decimal integer: blanks, an optional sign and
// the leading digits; what follows them is ignored ("12px" is 12). Gives
// `default_value` when the key is missing or its value has no leading digit.
// Values beyond the range of int are held at its limits.
int GETPROFILEINT(std::string_view section, std::string_view key, int default_value);

// Fills runtime::regional() from the profile's section "intl": "iTime",
// "iTLzero", "sTime" (1 character), "s1159" and "s2359" (2 characters),
// "sShortDate" and "sLongDate" (255 characters); a missing key gives the
// built-in default of runtime::Regional. Called once at start-up, before the environment file.
void read_regional_settings();

}  // namespace runtime
