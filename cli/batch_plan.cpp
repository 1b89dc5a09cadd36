#include "cli/batch_plan.h"

#include <algorithm>
#include <map>

#include "app/conversion/text_output.h"
#include "platform/env.h"
#include "platform/folder.h"

namespace cli {
namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// One "[...]" at pattern[*p] (just after the "["), against c. False in
// *well_formed when the set is not closed (the "[" is then an ordinary
// character).
bool in_set(std::string_view pattern, std::size_t* p, char c, bool* well_formed) {
  std::size_t i = *p;
  bool negate = false;
  if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
    negate = true;
    ++i;
  }
  bool found = false;
  bool first = true;
  for (; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
    char low = pattern[i] == '\\' && i + 1 < pattern.size() ? pattern[++i] : pattern[i];
    ++i;
    char high = low;
    if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
      high = pattern[i + 1] == '\\' && i + 2 < pattern.size() ? pattern[i + 2] : pattern[i + 1];
      i += pattern[i + 1] == '\\' ? 3 : 2;
    }
    const auto u = [](char x) { return static_cast<unsigned char>(x); };
    for (const char k : {c, fold(c), c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c}) {
      if (u(low) <= u(k) && u(k) <= u(high)) found = true;
    }
  }
  *well_formed = i < pattern.size();
  if (!*well_formed) return false;
  *p = i + 1;
  return found != negate;
}

bool match_from(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  // The last "*" and where its match now ends, to go back to.
  std::size_t star = std::string_view::npos;
  std::size_t star_n = 0;
  while (n < name.size()) {
    bool step = false;
    if (p < pattern.size()) {
      const char c = pattern[p];
      if (c == '*') {
        star = ++p;
        star_n = n;
        continue;
      }
      if (c == '?') {
        ++p;
        step = true;
      } else if (c == '[') {
        std::size_t q = p + 1;
        bool well_formed = true;
        const bool hit = in_set(pattern, &q, name[n], &well_formed);
        if (well_formed) {
          step = hit;
          if (hit) p = q;
        } else if (fold(name[n]) == '[') {
          ++p;
          step = true;
        }
      } else {
        const char want = c == '\\' && p + 1 < pattern.size() ? pattern[p + 1] : c;
        if (fold(want) == fold(name[n])) {
          p += c == '\\' && p + 1 < pattern.size() ? 2 : 1;
          step = true;
        }
      }
    }
    if (step) {
      ++n;
    } else if (star != std::string_view::npos) {
      p = star;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// `base` and `name` as one path the way a user writes it: "." in front
// left out, no doubled "/".
std::string join(const std::string& base, const std::string& name) {
  if (base.empty() || base == ".") return name;
  if (base.back() == '/') return base + name;
  return base + "/" + name;
}

// A path without the "/" a user may have typed at its end ("out/" -> "out").
std::string trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace

bool glob_match(std::string_view pattern, std::string_view name) {
  if (!name.empty() && name.front() == '.' && (pattern.empty() || pattern.front() != '.')) return false;
  return match_from(pattern, name);
}

std::string output_file_name(std::string_view input_name, std::string_view suffix) {
  const std::size_t dot = input_name.rfind('.');
  const std::string_view stem = dot == std::string_view::npos || dot == 0 ? input_name : input_name.substr(0, dot);
  return std::string(stem) + std::string(suffix);
}

BatchPlanner::BatchPlanner(BatchRequest request) : request_(std::move(request)) {
  request_.folder = trimmed(request_.folder);
  if (request_.globs.empty()) request_.globs = kDefaultGlobs;
  find_folder();
}

void BatchPlanner::find_folder() {
  platform::FileInfo info;
  if (platform::Env::posix()->file_info(request_.folder, &info).ok() && info.directory) {
    have_folder_identity_ = true;
    folder_identity_ = {info.device, info.inode};
  }
}

std::string BatchPlanner::full(const std::string& path) const {
  std::string out;
  return platform::Env::posix()->full_path(path, &out).ok() ? out : path;
}

bool BatchPlanner::matches(std::string_view name) const {
  return std::any_of(request_.globs.begin(), request_.globs.end(),
                     [name](const std::string& g) { return glob_match(g, name); });
}

void BatchPlanner::refuse(const std::string& input, const std::string& problem) {
  Entry e;
  e.item.input = input;
  e.refused = problem;
  entries_.push_back(std::move(e));
}

void BatchPlanner::add_file(const std::string& input, const std::string& output) {
  Entry e;
  e.item.input = input;
  e.item.output = output;
  e.output_full = full(output);
  platform::FileInfo info;
  if (platform::Env::posix()->file_info(input, &info).ok()) {
    e.has_identity = true;
    e.identity = {info.device, info.inode};
  }
  const std::string input_full = full(input);
  for (const Entry& other : entries_) {
    if (other.output_full != e.output_full || !other.refused.empty()) continue;
    const bool same = e.has_identity ? other.has_identity && other.identity == e.identity
                                     : full(other.item.input) == input_full;
    if (same) return;  // given twice
  }
  entries_.push_back(std::move(e));
}

void BatchPlanner::add_input(const std::string& path) {
  platform::FileInfo info;
  const bool is_folder = platform::Env::posix()->file_info(path, &info).ok() && info.directory;
  if (!is_folder) {
    // A missing or unreadable file is planned all the same: its conversion
    // says what is wrong with it, as for a single file.
    const std::string trimmed_path = trimmed(path);
    const std::size_t slash = trimmed_path.rfind('/');
    const std::string name = slash == std::string::npos ? trimmed_path : trimmed_path.substr(slash + 1);
    add_file(path, join(request_.folder, output_file_name(name, request_.suffix)));
    return;
  }
  if (!request_.recursive) {
    refuse(path, quoted(path) + " is a folder; give -r to convert the pages in it");
    return;
  }
  walk(trimmed(path), request_.folder, {{info.device, info.inode}});
}

void BatchPlanner::walk(const std::string& folder, const std::string& output_folder, std::vector<Identity> chain) {
  walked_.push_back({folder, output_folder, chain});
  std::vector<platform::FolderEntry> entries;
  if (const platform::Status st = platform::list_folder(folder, &entries); !st.ok()) {
    refuse(folder, "cannot read the folder " + quoted(folder) + ": " + conversion::system_error_text(st.error));
    return;
  }
  for (const platform::FolderEntry& e : entries) {
    const std::string path = join(folder, e.name);
    if (e.kind == platform::EntryKind::folder) {
      if (e.name.front() == '.') continue;
      const Identity id{e.info.device, e.info.inode};
      if (have_folder_identity_ && id == folder_identity_) continue;  // where the outputs go
      if (std::find(chain.begin(), chain.end(), id) != chain.end()) {
        plan_.notes.push_back("passed over " + quoted(path) + ": it leads back to a folder it is in");
        continue;
      }
      if (static_cast<int>(chain.size()) >= kDeepestWalk) {
        plan_.notes.push_back("passed over " + quoted(path) + ": folders deeper than " +
                              std::to_string(kDeepestWalk) + " levels are not walked");
        continue;
      }
      std::vector<Identity> deeper = chain;
      deeper.push_back(id);
      walk(path, join(output_folder, e.name), std::move(deeper));
    } else if (matches(e.name)) {
      if (e.kind == platform::EntryKind::other) {
        plan_.notes.push_back("passed over " + quoted(path) + ": not a regular file");
        continue;
      }
      // A link that leads nowhere is planned, so that its conversion says so.
      add_file(path, join(output_folder, output_file_name(e.name, request_.suffix)));
    }
  }
}

std::vector<std::string> BatchPlanner::walked() const {
  std::vector<std::string> out;
  for (const Walked& w : walked_) out.push_back(w.folder);
  return out;
}

bool BatchPlanner::add_found(std::size_t index, const std::string& name) {
  if (index >= walked_.size() || !matches(name)) return false;
  const Walked& w = walked_[index];
  const std::string input = join(w.folder, name);
  platform::FileInfo info;
  if (!platform::Env::posix()->file_info(input, &info).ok() || info.directory) return false;
  const std::string output = join(w.output_folder, output_file_name(name, request_.suffix));
  const std::string output_full = full(output);
  const std::string input_full = full(input);
  for (const Entry& e : entries_) {
    // Planned already, or an output of ours that the globs also take.
    if (e.output_full == input_full) return false;
    if (e.output_full == output_full && full(e.item.input) == input_full) return false;
  }
  add_file(input, output);
  return true;
}

void BatchPlanner::add_found_folder(std::size_t index, const std::string& name) {
  if (index >= walked_.size() || name.empty() || name.front() == '.') return;
  find_folder();  // made since, perhaps by our own first outputs
  const Walked w = walked_[index];  // walk() adds to walked_
  const std::string path = join(w.folder, name);
  platform::FileInfo info;
  if (!platform::Env::posix()->file_info(path, &info).ok() || !info.directory) return;
  const Identity id{info.device, info.inode};
  if (have_folder_identity_ && id == folder_identity_) return;
  if (std::find(w.chain.begin(), w.chain.end(), id) != w.chain.end()) return;
  for (const Walked& other : walked_) {
    if (other.folder == path) return;  // walked already
  }
  std::vector<Identity> chain = w.chain;
  chain.push_back(id);
  walk(path, join(w.output_folder, name), std::move(chain));
}

const BatchPlan& BatchPlanner::finish() {
  // Inputs by identity, to know an output that would land on one.
  std::map<Identity, const Entry*> inputs;
  for (const Entry& e : entries_) {
    if (e.has_identity) inputs.emplace(e.identity, &e);
  }
  std::map<std::string, std::vector<std::size_t>> by_output;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].refused.empty()) by_output[entries_[i].output_full].push_back(i);
  }
  plan_.items.clear();
  for (Entry& e : entries_) {
    e.item.problem = e.refused;
    if (!e.item.problem.empty()) continue;
    const std::vector<std::size_t>& sharing = by_output[e.output_full];
    platform::FileInfo info;
    if (platform::Env::posix()->file_info(e.item.output, &info).ok()) {
      const auto input = inputs.find({info.device, info.inode});
      if (input != inputs.end()) {
        e.item.problem = quoted(e.item.input) + " is not converted: its output " + quoted(e.item.output) +
                         " would be written over the input " + quoted(input->second->item.input) +
                         " (choose another --suffix or -d)";
        continue;
      }
    }
    if (sharing.size() > 1) {
      std::vector<std::string> others;
      for (const std::size_t k : sharing) {
        if (&entries_[k] != &e) others.push_back(quoted(entries_[k].item.input));
      }
      std::string names;
      for (std::size_t k = 0; k < others.size(); ++k) {
        names += (k == 0 ? "" : k + 1 == others.size() ? " and " : ", ") + others[k];
      }
      e.item.problem = quoted(e.item.input) + " is not converted: " + names + (others.size() == 1 ? " goes" : " go") +
                       " to " + quoted(e.item.output) + " as well, and which should win is not clear";
    }
  }
  for (const Entry& e : entries_) plan_.items.push_back(e.item);
  return plan_;
}

}  // namespace cli
