#include "app/conversion/line_reverter.h"

#include <algorithm>
#include <cstring>

#include "app/conversion/line_converter.h"

namespace conversion {
namespace {

std::string_view clipped(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

bool looked_up(std::int32_t mode, std::uint8_t c) {
  return (mode == kModeInternational && c >= 128) || (mode == kModeAll && c != '<');
}

}  // namespace

LineReverter::LineReverter(const Options& options, const ReplacementTable& table, bool utf8)
    : keep_entities_(options.keep_entities) {
  auto encoded = [utf8](std::string_view ansi) {
    std::string text;
    if (utf8) {
      append_ansi_as_utf8(text, ansi);
    } else {
      text = ansi;
    }
    return text;
  };
  bool identity = false;
  quotes_doubled_ = written_text(options, table, '\'', &identity) == "''";
  std::string prefix(static_cast<std::size_t>(std::clamp(options.indent, 0, kMaxIndent)), ' ');
  prefix += clipped(options.before);
  prefix_ = encoded(prefix);
  after_ = encoded(clipped(options.after));

  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<std::uint8_t>(code);
    if (!looked_up(options.mode, c)) continue;
    const std::string text = encoded(written_text(options, table, c, &identity));
    if (identity || text.size() < 3 || text.front() != '&' || text.back() != ';') continue;
    const char self = static_cast<char>(c);
    // The first character in the table's order keeps the text.
    if (entities_.emplace(text, encoded(std::string_view(&self, 1))).second) {
      longest_entity_ = std::max(longest_entity_, text.size());
    }
  }
}

bool LineReverter::revert(std::string_view line, std::string_view* html, std::string* problem) {
  std::string_view work;
  const bool starts = line.substr(0, prefix_.size()) == prefix_;
  if (starts && line.size() >= prefix_.size() + after_.size() &&
      line.substr(line.size() - after_.size()) == after_) {
    work = line.substr(prefix_.size(), line.size() - prefix_.size() - after_.size());
  } else if (!(after_.empty() && line == clipped(prefix_))) {
    // An empty work line with nothing after it lost the prefix's trailing
    // blanks; anything else is not a line the conversion writes.
    *problem = starts || line == clipped(prefix_) ? "does not end with the after-text"
                                                  : "does not start with the indent and before-text";
    return false;
  }
  if (!undo_work_line(work, problem)) return false;
  *html = out_;
  return true;
}

bool LineReverter::undo_work_line(std::string_view work, std::string* problem) {
  out_.clear();
  const std::size_t n = work.size();
  for (std::size_t i = 0; i < n;) {
    const char c = work[i];
    if (c == '<') {
      if (i + 1 == n || work[i + 1] != '<') {
        *problem = "holds a \"<\" that is not doubled";
        return false;
      }
      out_.push_back('<');
      i += 2;
      continue;
    }
    if (c == '\'' && quotes_doubled_) {
      if (i + 1 == n || work[i + 1] != '\'') {
        *problem = "holds a quote (') that is not doubled";
        return false;
      }
      out_.push_back('\'');
      i += 2;
      continue;
    }
    if (c == '&' && !keep_entities_ && !entities_.empty()) {
      bool found = false;
      const std::size_t most = std::min(longest_entity_, n - i);
      for (std::size_t len = 3; len <= most && !found; ++len) {
        if (work[i + len - 1] != ';') continue;
        if (const auto e = entities_.find(std::string(work.substr(i, len))); e != entities_.end()) {
          out_ += e->second;
          i += len;
          found = true;
        }
      }
      if (found) continue;
    }
    // Plain text up to the next byte that may start something.
    std::size_t j = i + 1;
    while (j < n && work[j] != '<' && work[j] != '\'' && work[j] != '&') ++j;
    out_.append(work.data() + i, j - i);
    i = j;
  }
  return true;
}

}  // namespace conversion
