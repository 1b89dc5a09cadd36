#include "runtime/profile.h"

#include <climits>
#include <cstdlib>

#include "runtime/regional.h"
#include "runtime/settings.h"

namespace runtime {

namespace {

std::string getenv_string(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string cut(std::string s, std::size_t limit) {
  if (s.size() > limit) s.resize(limit);
  return s;
}

}  // namespace

std::string profile_path() {
  if (std::string p = getenv_string("MARKFIT_PROFILE"); !p.empty()) return p;
  // A relative XDG_CONFIG_HOME is invalid by its own convention and ignored.
  if (std::string x = getenv_string("XDG_CONFIG_HOME"); !x.empty() && x.front() == '/') {
    return x + "/markfit/profile.ini";
  }
  if (std::string h = getenv_string("HOME"); !h.empty()) return h + "/.config/markfit/profile.ini";
  return {};
}

std::string GETPROFILESTR(std::string_view section, std::string_view key,
                          std::string_view default_value) {
  return GETINI(section, key, default_value, "");
}

int GETPROFILEINT(std::string_view section, std::string_view key, int default_value) {
  const std::string text = GETPROFILESTR(section, key, "");
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return default_value;
  // Accumulate as a negative number: its range holds INT_MIN.
  long long n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    n = n * 10 - (text[i] - '0');
    if (n < INT_MIN) n = static_cast<long long>(INT_MIN) - 1;  // held below the range
  }
  if (negative) return n < INT_MIN ? INT_MIN : static_cast<int>(n);
  return -n > INT_MAX ? INT_MAX : static_cast<int>(-n);
}

void read_regional_settings() {
  const Regional defaults;
  Regional& r = regional();
  r.itime = GETPROFILEINT("intl", "iTime", defaults.itime);
  r.itlzero = GETPROFILEINT("intl", "iTLzero", defaults.itlzero);
  r.time_separator = cut(GETPROFILESTR("intl", "sTime", defaults.time_separator), 1);
  r.am = cut(GETPROFILESTR("intl", "s1159", defaults.am), 2);
  r.pm = cut(GETPROFILESTR("intl", "s2359", defaults.pm), 2);
  r.short_date = cut(GETPROFILESTR("intl", "sShortDate", defaults.short_date), 255);
  r.long_date = cut(GETPROFILESTR("intl", "sLongDate", defaults.long_date), 255);
}

}  // namespace runtime
