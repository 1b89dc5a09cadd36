#include "runtime/environment_file.h"

#include <memory>

#include "runtime/char_tables.h"
#include "runtime/charset.h"
#include "runtime/messages.h"
#include "runtime/regional.h"

namespace runtime {
namespace {

constexpr char kCtrlZ = 0x1A;

bool long_file_names_flag = false;

bool is_line_end(char c) { return c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

char upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper_ascii(a[i]) != upper_ascii(b[i])) return false;
  return true;
}

bool is_keyword(std::string_view text, std::string_view keyword) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return equals_ignoring_case(text, keyword);
}

std::string join(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) text += ',';
    text += items[i];
  }
  return text;
}

// "ORVMSG" followed by 1 to 9 decimal digits; -1 for anything else.
int message_number(std::string_view name) {
  constexpr std::string_view kPrefix = "ORVMSG";
  if (name.size() <= kPrefix.size() || name.size() > kPrefix.size() + 9) return -1;
  if (!equals_ignoring_case(name.substr(0, kPrefix.size()), kPrefix)) return -1;
  int number = 0;
  for (char c : name.substr(kPrefix.size())) {
    if (!is_digit(c)) return -1;
    number = number * 10 + (c - '0');
  }
  return number;
}

void set_month_names(std::array<std::string, 12>& names, const std::vector<std::string>& items) {
  for (std::size_t i = 0; i < items.size() && i < names.size(); ++i)
    if (!items[i].empty()) names[i] = items[i];
}

// Groups of three, where a comma may stand between two groups.
std::string digraph_groups(std::string_view text) {
  std::string groups;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ',') {
      ++i;
      continue;
    }
    if (text.size() - i < CharTables::kSequenceEntry) break;
    groups.append(text.substr(i, CharTables::kSequenceEntry));
    i += CharTables::kSequenceEntry;
  }
  return groups;
}

struct Reader {
  bool oem = false;

  void apply(const std::string& name, std::string value) {
    const auto last = value.find_last_not_of(" \t");
    value.erase(last == std::string::npos ? 0 : last + 1);
    value = decode_character_codes(value);

    const bool colseq = equals_ignoring_case(name, "ORVCOLSEQ");
    if (colseq) {
      const std::string list =
          (!value.empty() && value.front() == '"') ? parse_quoted_list(value, false).front() : value;
      set_collating_sequence(list, oem);
      return;
    }

    if (oem) oem_to_ansi(value);
    const std::string quoted =
        (!value.empty() && value.front() == '"') ? value : quote_as_list(value);
    std::vector<std::string> items = parse_quoted_list(quoted);
    if (value.empty()) items.clear();

    if (equals_ignoring_case(name, "ORVCHARSET")) {
      oem = is_keyword(join(items), "OEM");
    } else if (equals_ignoring_case(name, "ORVCASE")) {
      set_case_tables(items);
    } else if (equals_ignoring_case(name, "ORVMONTH")) {
      set_month_names(regional().month_names, items);
    } else if (equals_ignoring_case(name, "ORVMON")) {
      set_month_names(regional().month_abbrevs, items);
    } else if (equals_ignoring_case(name, "ORVAMPM")) {
      if (items.size() >= 2 && !is_keyword(join(items), "WINDOWS")) {
        regional().am = items[0];
        regional().pm = items[1];
      }
    } else if (equals_ignoring_case(name, "ORVDIGRAPH")) {
      set_sequences(digraph_groups(join(items)));
    } else if (equals_ignoring_case(name, "ORVBUTTON")) {
      for (std::size_t i = 0; i < items.size(); ++i)
        if (!items[i].empty())
          set_replacement_message(kButtonMessageBase + static_cast<int>(i), items[i]);
    } else if (equals_ignoring_case(name, "ORVLFN")) {
      long_file_names_flag = is_keyword(join(items), "ON");
    } else if (const int number = message_number(name); number >= 0) {
      set_replacement_message(number, join(items));
    }
  }
};

}  // namespace

std::string environment_file_path(const std::string& program_path) {
  const auto slash = program_path.find_last_of('/');
  const std::size_t component = slash == std::string::npos ? 0 : slash + 1;
  const auto dot = program_path.find_last_of('.');
  std::string path = program_path;
  if (dot != std::string::npos && dot > component) path.erase(dot);
  return path + ".ENV";
}

std::vector<std::string> parse_quoted_list(std::string_view text, bool commas_separate) {
  std::vector<std::string> items(1);
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        items.back() += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        items.back() += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',' && commas_separate) {
      items.emplace_back();
    } else {
      items.back() += c;
    }
  }
  return items;
}

std::string quote_as_list(std::string_view text, bool commas_separate) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"')
      quoted += "\"\"";
    else if (c == ',' && commas_separate)
      quoted += "\",\"";
    else
      quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string decode_character_codes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != '<' || i + 1 >= text.size()) {
      out += c;
      ++i;
    } else if (text[i + 1] == '<') {
      out += '<';
      i += 2;
    } else if (!is_digit(text[i + 1])) {
      out += '<';
      ++i;
    } else {
      std::size_t end = i + 1;
      unsigned code = 0;
      while (end < text.size() && is_digit(text[end])) {
        if (code <= 255) code = code * 10 + static_cast<unsigned>(text[end] - '0');
        ++end;
      }
      if (code > 255) {
        out.append(text.substr(i, end - i));  // not a character: keep as written
        i = end;
      } else {
        out += static_cast<char>(code);
        i = end < text.size() ? end + 1 : end;  // the closing character goes
      }
    }
  }
  return out;
}

void apply_environment_text(std::string_view bytes) {
  Reader reader;
  std::size_t pos = 0;
  const std::size_t n = bytes.size();
  while (pos < n) {
    const char first = bytes[pos];
    if (first == kCtrlZ) return;
    if (is_line_end(first)) {
      ++pos;
      continue;
    }

    std::string name;
    bool has_equals = false;
    for (std::size_t count = 0; pos < n; ++count) {
      const char c = bytes[pos];
      if (c == kCtrlZ) return;
      if (is_line_end(c)) break;
      if (c == '=') {
        ++pos;
        has_equals = true;
        break;
      }
      if (count == kEnvironmentNameLimit) break;
      const auto u = static_cast<unsigned char>(c);
      if (u > ' ' && u != 0x7F) name += c;
      ++pos;
    }

    std::string value;
    bool end_of_file = false;
    while (pos < n && !is_line_end(bytes[pos])) {
      if (bytes[pos] == kCtrlZ) {
        end_of_file = true;
        break;
      }
      if (has_equals && value.size() < kEnvironmentValueLimit) value += bytes[pos];
      ++pos;
    }
    if (has_equals) reader.apply(name, std::move(value));
    if (end_of_file) return;
  }
}

void load_environment_file(const std::string& path, platform::Env& env) {
  std::unique_ptr<platform::File> file;
  if (!env.open(path, platform::OpenMode{}, &file).ok() || !file) return;
  std::string text;
  char buffer[4096];
  while (text.size() < kEnvironmentFileLimit) {
    std::size_t got = 0;
    const auto status = file->read_at(text.size(), buffer, sizeof buffer, &got);
    if (got > sizeof buffer) got = 0;
    text.append(buffer, got);
    if (!status.ok() || got == 0) break;
  }
  if (text.size() > kEnvironmentFileLimit) text.resize(kEnvironmentFileLimit);
  apply_environment_text(text);
}

void load_environment_file(const std::string& path) {
  load_environment_file(path, *platform::Env::posix());
}

bool long_file_names() { return long_file_names_flag; }

void reset_environment_settings() {
  reset_char_tables();
  clear_replacement_messages();
  long_file_names_flag = false;
}

}  // namespace runtime
