// The process-wide regional settings: what dates, times and pictures are
// shown with. Filled once at start-up from the system profile's section
// "intl" (settings) and then from the environment file (ORVMONTH, ORVMON,
// ORVAMPM); read by the picture formatter.
#pragma once

#include <array>
#include <string>

namespace runtime {

struct Regional {
  int itime = 0;                 // "iTime": 0 12-hour clock, 1 24-hour clock
  int itlzero = 1;               // "iTLzero": leading zero on hours
  std::string time_separator = ":";   // "sTime", 1 character
  std::string am = "AM";         // "s1159", 2 characters (ORVAMPM may replace)
  std::string pm = "PM";         // "s2359", 2 characters (ORVAMPM may replace)
  std::string short_date = "MM/dd/yy";                 // "sShortDate", 255 at most
  std::string long_date = "ddd', 'MMMM' 'dd', 'yyyy";  // "sLongDate", 255 at most
  std::array<std::string, 12> month_names = {"January", "February", "March",     "April",
                                             "May",     "June",     "July",      "August",
                                             "September", "October", "November", "December"};
  std::array<std::string, 12> month_abbrevs = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
};

// The settings in force. Start-up writes them; tests may reset them with
// `regional() = Regional{}`. Single-threaded like the rest of the runtime.
Regional& regional();

}  // namespace runtime
