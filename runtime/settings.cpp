#include "runtime/settings.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include "runtime/profile.h"

namespace runtime {

namespace {

// --- INI text --------------------------------------------------------------

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && is_blank(s[b])) ++b;
  while (e > b && is_blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

constexpr char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string_view strip_quotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

enum class LineKind : std::uint8_t { other, header, key };

// One line of the text. Offsets index the whole text.
struct Line {
  std::size_t begin = 0;  // first byte
  std::size_t end = 0;    // end of the content, before CR LF / LF
  std::size_t next = 0;   // first byte of the next line
  LineKind kind = LineKind::other;
  std::string_view name;  // header name or key, blanks cut
  std::size_t value_begin = 0;  // after "=" and the blanks that follow it
  std::size_t value_end = 0;    // before trailing blanks
};

std::vector<Line> split_lines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    const std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      line.end = line.next = text.size();
    } else {
      line.end = nl;
      line.next = nl + 1;
    }
    if (line.end > line.begin && text[line.end - 1] == '\r') --line.end;
    pos = line.next;

    const std::string_view content = text.substr(line.begin, line.end - line.begin);
    std::size_t first = 0;
    while (first < content.size() && is_blank(content[first])) ++first;
    const std::size_t close =
        (first < content.size() && content[first] == '[') ? content.find(']', first + 1) : std::string_view::npos;
    if (close != std::string_view::npos) {
      line.kind = LineKind::header;
      line.name = trim(content.substr(first + 1, close - first - 1));
    } else if (const std::size_t eq = content.find('='); eq != std::string_view::npos) {
      line.kind = LineKind::key;
      line.name = trim(content.substr(0, eq));
      std::size_t vb = eq + 1;
      while (vb < content.size() && is_blank(content[vb])) ++vb;
      std::size_t ve = content.size();
      while (ve > vb && is_blank(content[ve - 1])) --ve;
      line.value_begin = line.begin + vb;
      line.value_end = line.begin + ve;
    }
    lines.push_back(line);
  }
  return lines;
}

constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Index of the header of the first section named `name` at or after `from`,
// or npos.
std::size_t find_section(const std::vector<Line>& lines, std::string_view name, std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (lines[i].kind == LineKind::header && same_name(lines[i].name, name)) return i;
  }
  return npos;
}

// Index one past the last line of the section whose header is at `header`.
std::size_t section_end(const std::vector<Line>& lines, std::size_t header) {
  std::size_t i = header + 1;
  while (i < lines.size() && lines[i].kind != LineKind::header) ++i;
  return i;
}

std::string_view line_end_of(std::string_view text) {
  const std::size_t nl = text.find('\n');
  if (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') return "\r\n";
  return "\n";
}

bool has_any(std::string_view s, std::string_view chars) { return s.find_first_of(chars) != std::string_view::npos; }

// --- Settings files ----------------------------------------------------------

platform::Env* g_env = nullptr;
platform::Status g_last_error;

using namespace platform::syserr;

// The platform's interface takes C strings: nothing after a NUL reaches it.
std::string_view c_string(std::string_view s) { return s.substr(0, s.find('\0')); }

std::string_view cut(std::string_view s, std::size_t limit) { return s.substr(0, std::min(s.size(), limit)); }

struct Target {
  std::string path;         // absolute
  bool in_profile_dir = false;  // its directory may have to be made on write
};

platform::Status resolve(platform::Env* env, std::string_view file_name, Target* out) {
  std::string name(cut(c_string(file_name), kMaxFileNameLength));
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  std::string path;
  if (name.find('/') != std::string::npos) {
    path = name;
  } else {
    const std::string profile = profile_path();
    if (profile.empty()) return platform::Status(path_not_found);
    if (name.empty()) {
      path = profile;
    } else {
      std::string dir = std::filesystem::path(profile).parent_path().string();
      path = (dir.empty() ? std::string(".") : dir) + "/" + name;
    }
    out->in_profile_dir = true;
  }
  return env->full_path(path, &out->path);
}

// Reads the whole file. A missing file is no error: *exists turns false.
platform::Status read_file(platform::Env* env, const std::string& path, std::string* text, bool* exists) {
  text->clear();
  *exists = false;
  std::unique_ptr<platform::File> file;
  if (platform::Status s = env->open(path, platform::OpenMode{}, &file); !s) {
    if (s.error == file_not_found || s.error == path_not_found) return platform::Status::success();
    return s;
  }
  *exists = true;
  // Read to the end rather than trusting size(): the file may grow under us.
  char buf[16384];
  for (std::uint64_t offset = 0;;) {
    std::size_t got = 0;
    if (platform::Status s = file->read_at(offset, buf, sizeof buf, &got); !s) return s;
    if (got == 0) break;
    text->append(buf, got);
    offset += got;
  }
  return platform::Status::success();
}

std::string temp_suffix() {
  // Unique among writers in this process by the counter, among processes by
  // the random start; the exclusive create below settles any collision.
  static std::uint64_t counter = [] {
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  }();
  static constexpr char digits[] = "0123456789abcdef";
  std::uint64_t n = ++counter;
  std::string s = ".~wr";
  for (int i = 0; i < 16; ++i, n >>= 4) s.push_back(digits[n & 15]);
  return s;
}

// Replaces the file at `path` by `text` so that a crash at any point leaves
// the old file or the new one complete. The temporary file sits beside the
// target because rename() is atomic only within one file system.
platform::Status replace_file(platform::Env* env, const std::string& path, std::string_view text) {
  std::unique_ptr<platform::File> file;
  std::string temp;
  platform::Status s;
  for (int attempt = 0; attempt < 16; ++attempt) {
    temp = path + temp_suffix();
    s = env->open(temp, platform::OpenMode{platform::Access::write, true, false, true}, &file);
    if (s.error != file_exists) break;
  }
  if (!s) return s;

  s = file->write_at(0, text.data(), text.size());
  if (s) s = file->sync();
  file.reset();
  if (s) s = env->rename(temp, path);
  if (!s) {
    (void)env->remove(temp);  // the old file is untouched; only tidy up
    return s;
  }
  return env->sync_directory_of(path);
}

}  // namespace

std::optional<std::string> ini_lookup(std::string_view text, std::string_view section,
                                      std::string_view key) {
  section = trim(section);
  key = trim(key);
  const std::vector<Line> lines = split_lines(text);
  const std::size_t header = find_section(lines, section);
  if (header == npos) return std::nullopt;
  const std::size_t end = section_end(lines, header);
  for (std::size_t i = header + 1; i < end; ++i) {
    const Line& line = lines[i];
    if (line.kind == LineKind::key && same_name(line.name, key)) {
      return std::string(strip_quotes(text.substr(line.value_begin, line.value_end - line.value_begin)));
    }
  }
  return std::nullopt;
}

bool ini_writable(std::string_view section, std::string_view key, std::string_view value) {
  section = trim(section);
  key = trim(key);
  if (has_any(section, "\r\n]")) return false;
  if (has_any(key, "\r\n=") || (!key.empty() && key.front() == '[')) return false;
  return !has_any(value, "\r\n");
}

std::string ini_write(std::string_view text, std::string_view section,
                      std::optional<std::string_view> key, std::optional<std::string_view> value) {
  section = trim(section);
  const std::vector<Line> lines = split_lines(text);

  if (!key) {
    std::string out;
    std::size_t kept_from = 0;
    for (std::size_t h = find_section(lines, section); h != npos;) {
      const std::size_t end = section_end(lines, h);
      out.append(text.substr(kept_from, lines[h].begin - kept_from));
      kept_from = end < lines.size() ? lines[end].begin : text.size();
      h = find_section(lines, section, end);
    }
    out.append(text.substr(kept_from));
    return out;
  }

  const std::string_view name = trim(*key);
  const std::size_t header = find_section(lines, section);

  if (!value) {
    if (header == npos) return std::string(text);
    std::string out;
    std::size_t kept_from = 0;
    const std::size_t end = section_end(lines, header);
    for (std::size_t i = header + 1; i < end; ++i) {
      if (lines[i].kind == LineKind::key && same_name(lines[i].name, name)) {
        out.append(text.substr(kept_from, lines[i].begin - kept_from));
        kept_from = lines[i].next;
      }
    }
    out.append(text.substr(kept_from));
    return out;
  }

  if (!ini_writable(section, name, *value)) return std::string(text);
  const std::string_view new_value = trim(*value);
  const std::string_view eol = line_end_of(text);
  std::string out(text);

  if (header == npos) {
    if (!out.empty() && out.back() != '\n') out.append(eol);
    out.append("[").append(section).append("]").append(eol);
    out.append(name).append("=").append(new_value).append(eol);
    return out;
  }

  const std::size_t end = section_end(lines, header);
  std::size_t insert_after = header;
  for (std::size_t i = header + 1; i < end; ++i) {
    if (lines[i].kind != LineKind::key) continue;
    if (same_name(lines[i].name, name)) {
      // The line's own key spelling, spacing and line end stay.
      const std::size_t vb = lines[i].value_begin;
      out.replace(vb, lines[i].end - vb, new_value);
      return out;
    }
    insert_after = i;
  }
  const Line& after = lines[insert_after];
  std::string added;
  if (after.next == 0 || text[after.next - 1] != '\n') added.append(eol);
  added.append(name).append("=").append(new_value).append(eol);
  out.insert(after.next, added);
  return out;
}

std::string GETINI(std::string_view section, std::string_view key, std::string_view default_value,
                   std::string_view file_name) {
  platform::Env* env = settings_env();
  g_last_error = platform::Status::success();
  const std::string_view fallback = cut(c_string(default_value), kMaxValueLength);

  Target target;
  if (platform::Status s = resolve(env, file_name, &target); !s) {
    g_last_error = s;
    return std::string(fallback);
  }
  std::string text;
  bool exists = false;
  if (platform::Status s = read_file(env, target.path, &text, &exists); !s) {
    g_last_error = s;
    return std::string(fallback);
  }
  const std::optional<std::string> found = ini_lookup(
      text, cut(c_string(section), kMaxSectionLength), cut(c_string(key), kMaxKeyLength));
  if (!found) return std::string(fallback);
  return std::string(cut(*found, kMaxValueLength));
}

namespace {

// Applies the writes to the file's text and replaces the file once. Every
// write is checked first: one that cannot be carried out leaves the file
// alone.
void write_settings(std::string_view section, const std::vector<SettingWrite>& writes, std::string_view file_name) {
  platform::Env* env = settings_env();
  g_last_error = platform::Status::success();

  const std::string_view sec = cut(c_string(section), kMaxSectionLength);
  struct Cut {
    std::optional<std::string_view> key, value;
  };
  std::vector<Cut> cuts;
  for (const SettingWrite& w : writes) {
    Cut c;
    if (w.key) c.key = cut(c_string(*w.key), kMaxKeyLength);
    if (w.key && w.value) c.value = cut(c_string(*w.value), kMaxValueLength);
    if (c.key && c.value && !ini_writable(sec, *c.key, *c.value)) {
      g_last_error = platform::Status(kSettingsInvalidArgument);
      return;
    }
    cuts.push_back(c);
  }

  Target target;
  if (platform::Status s = resolve(env, file_name, &target); !s) {
    g_last_error = s;
    return;
  }
  std::string old_text;
  bool exists = false;
  if (platform::Status s = read_file(env, target.path, &old_text, &exists); !s) {
    // Writing now would replace settings we could not read with nothing.
    g_last_error = s;
    return;
  }
  std::string new_text = old_text;
  for (const Cut& c : cuts) new_text = ini_write(new_text, sec, c.key, c.value);
  if (new_text == old_text) return;  // includes deletes on a missing file

  if (!exists && target.in_profile_dir) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(target.path).parent_path(), ec);
    if (ec) {
      g_last_error = platform::Status(ec == std::errc::permission_denied ? access_denied
                                                                         : path_not_found);
      return;
    }
  }
  g_last_error = replace_file(env, target.path, new_text);
}

}  // namespace

void WRITEINI(std::string_view section, const std::optional<std::string>& key,
              const std::optional<std::string>& value, std::string_view file_name) {
  write_settings(section, {SettingWrite{key, value}}, file_name);
}

void WRITEINI(std::string_view section, const std::vector<SettingWrite>& writes, std::string_view file_name) {
  write_settings(section, writes, file_name);
}

std::string settings_file_path(std::string_view file_name) {
  Target target;
  if (!resolve(settings_env(), file_name, &target)) return {};
  return target.path;
}

platform::Status last_settings_error() { return g_last_error; }

void set_settings_env(platform::Env* env) { g_env = env; }

platform::Env* settings_env() { return g_env ? g_env : platform::Env::posix(); }

}  // namespace runtime
