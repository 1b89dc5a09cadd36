#include "cli/convert_batch.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "app/conversion/text_output.h"
#include "platform/env.h"
#include "platform/folder.h"
#include "platform/watcher.h"

namespace cli {
namespace {

std::string quoted(const std::string& s) { return "'" + s + "'"; }

std::string time_of_day() {
  const std::time_t now = std::time(nullptr);
  char text[16] = "";
  if (const std::tm* local = std::localtime(&now)) std::strftime(text, sizeof text, "%H:%M:%S ", local);
  return text;
}

std::string full(const std::string& path) {
  std::string out;
  return platform::Env::posix()->full_path(path, &out).ok() ? out : path;
}

class Batch {
 public:
  Batch(const BatchRun& run, const ConvertOne& convert, const BatchStreams& streams)
      : run_(run), convert_(convert), s_(streams) {}

  int go() {
    if (run_.watch) {
      if (const platform::Status st = platform::Watcher::open(&watcher_); !st.ok()) {
        say_error("cannot watch files: " + conversion::system_error_text(st.error));
        return 1;
      }
    }
    if (run_.single) {
      items_.emplace_back(*run_.single);
    } else {
      planner_ = std::make_unique<BatchPlanner>(run_.request);
      for (const std::string& input : run_.inputs) planner_->add_input(input);
      const BatchPlan& plan = planner_->finish();
      for (const BatchItem& item : plan.items) items_.emplace_back(item);
      for (const std::string& note : plan.notes) say_error(note);
      if (items_.empty()) say_error("no file to convert: no name matched " + globs());
    }
    const std::size_t failed = first_pass();
    if (!watcher_) {
      if (failed > 0) {
        say_error(std::to_string(failed) + " of " + std::to_string(items_.size()) +
                  (items_.size() == 1 ? " file was" : " files were") + " not converted");
      }
      return failed > 0 ? 1 : 0;
    }
    if (stopped_) return 0;
    return watch();
  }

 private:
  struct Tracked {
    explicit Tracked(BatchItem i) : item(std::move(i)) {}
    BatchItem item;
    int id = 0;  // the watcher's, 0 when not watched
    // The input as it was when its last conversion began (taken before the
    // reading, so that a save during the conversion shows as a change).
    bool seen = false;
    platform::FileInfo info;
  };

  // Whether items_[i]'s input is not as it was at its last conversion.
  bool changed_since(std::size_t i) const {
    const Tracked& t = items_[i];
    platform::FileInfo now;
    if (!platform::Env::posix()->file_info(t.item.input, &now).ok()) return false;  // gone: nothing to convert
    return !t.seen || now.size != t.info.size || now.modified_ns != t.info.modified_ns ||
           now.inode != t.info.inode || now.device != t.info.device;
  }

  std::string globs() const {
    const std::vector<std::string>& g = run_.request.globs.empty() ? kDefaultGlobs : run_.request.globs;
    std::string text;
    for (std::size_t i = 0; i < g.size(); ++i) text += (i == 0 ? "" : i + 1 == g.size() ? " or " : ", ") + g[i];
    return text;
  }

  void say(std::FILE* to, const std::string& line) {
    if (bar_) bar_->hide();
    std::fprintf(to, "%s%s\n", watcher_ ? time_of_day().c_str() : "", line.c_str());
    std::fflush(to);
  }
  void say_error(const std::string& message) { say(s_.err, "markfit convert: " + message); }

  // Converts items_[i]; false when it failed (and was reported).
  bool convert_item(std::size_t i, BatchProgress* progress) {
    const BatchItem& item = items_[i].item;
    if (!item.problem.empty()) {
      say_error(item.problem);
      return false;
    }
    const std::string output_full = full(item.output);
    const std::size_t slash = item.output.rfind('/');
    // The folder is made only for an input that is there, so that a
    // mistyped name leaves nothing behind.
    platform::FileInfo info;
    const bool there = platform::Env::posix()->file_info(item.input, &info).ok();
    items_[i].seen = there;
    items_[i].info = info;
    if (slash != std::string::npos && slash > 0 && there) {
      const std::string folder = item.output.substr(0, slash);
      if (const platform::Status st = platform::make_folders(folder); !st.ok()) {
        say_error("cannot make the folder " + quoted(folder) + " for " + quoted(item.input) + ": " +
                  conversion::system_error_text(st.error));
        return false;
      }
    }
    OneFile file;
    file.input = item.input;
    file.output = item.output;
    file.force = run_.force || written_.count(output_full) > 0;
    file.name_in_notes = quoted(item.input);
    const OneResult r = convert_(file, progress);
    if (r.failure) {
      say_error(r.failure->message);
      return false;
    }
    written_.insert(output_full);
    if (watcher_) {
      say(s_.out, item.input + " -> " + item.output + " (" + std::to_string(r.lines) +
                      (r.lines == 1 ? " line)" : " lines)"));
    }
    return true;
  }

  std::size_t first_pass() {
    std::vector<std::uint64_t> sizes(items_.size(), 0);
    BatchProgress progress;
    if (s_.err_is_terminal) {
      for (std::size_t i = 0; i < items_.size(); ++i) {
        std::unique_ptr<platform::File> f;
        if (items_[i].item.problem.empty() && platform::Env::posix()->open(items_[i].item.input, {}, &f).ok()) {
          (void)f->size(&sizes[i]);
        }
        progress.total += sizes[i];
      }
      if (progress.total > s_.progress_minimum) {
        bar_ = std::make_unique<ProgressBar>(s_.err);
        progress.bar = bar_.get();
      }
    }
    std::size_t failed = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (watcher_ && watcher_->stop_requested()) {
        stopped_ = true;
        break;
      }
      if (!convert_item(i, progress.bar ? &progress : nullptr)) ++failed;
      progress.done += sizes[i];
    }
    bar_.reset();
    return failed;
  }

  void watch_item(std::size_t i) {
    Tracked& t = items_[i];
    if (!t.item.problem.empty() || t.id != 0) return;
    if (const platform::Status st = watcher_->watch_file(t.item.input, &t.id); !st.ok()) {
      say_error("cannot watch " + quoted(t.item.input) + ": " + conversion::system_error_text(st.error));
    }
  }

  void watch_new_folders() {
    if (!planner_) return;
    const std::vector<std::string> walked = planner_->walked();
    for (; folders_known_ < walked.size(); ++folders_known_) {
      int id = 0;
      if (const platform::Status st = watcher_->watch_folder(walked[folders_known_], &id); !st.ok()) {
        say_error("cannot watch the folder " + quoted(walked[folders_known_]) + ": " +
                  conversion::system_error_text(st.error));
        continue;
      }
      folders_[id].push_back(folders_known_);
    }
  }

  // After planner_ took new names: the items it added, and those whose
  // problem it changed (a new page that shares an output with an old one).
  void take_new_plan() {
    const BatchPlan& plan = planner_->finish();
    for (std::size_t i = 0; i < plan.items.size(); ++i) {
      if (i < items_.size()) {
        if (plan.items[i].problem != items_[i].item.problem) {
          items_[i].item = plan.items[i];
          if (!plan.items[i].problem.empty()) say_error(plan.items[i].problem);
        }
        continue;
      }
      items_.emplace_back(plan.items[i]);
      watch_item(i);
      convert_item(i, nullptr);
    }
    for (std::size_t n = notes_seen_; n < plan.notes.size(); ++n) say_error(plan.notes[n]);
    notes_seen_ = plan.notes.size();
    watch_new_folders();
  }

  // Walks the walked folders again, as at the start: pages and folders the
  // dropped notices did not tell of join (and are converted).
  void walk_again() {
    if (!planner_) return;
    bool added = false;
    for (std::size_t index = 0; index < planner_->walked().size(); ++index) {
      std::vector<platform::FolderEntry> entries;
      if (!platform::list_folder(planner_->walked()[index], &entries).ok()) continue;  // said when it goes
      for (const platform::FolderEntry& e : entries) {
        if (e.kind == platform::EntryKind::folder) {
          const std::size_t before = planner_->walked().size();
          planner_->add_found_folder(index, e.name);
          added |= planner_->walked().size() != before;
        } else {
          added |= planner_->add_found(index, e.name);
        }
      }
    }
    if (added) take_new_plan();
  }

  // The table's data files changed: read it again, and convert everything
  // again when it is not the same. False when nothing was converted.
  bool table_changed() {
    bool changed = false;
    const std::string error = run_.table->reload(&changed);
    if (!error.empty()) {
      say_error(error + "; the table in use stays");
      return false;
    }
    if (!changed) return false;
    say(s_.out, "the translation table changed; converting every file again");
    for (std::size_t i = 0; i < items_.size(); ++i) {
      if (watcher_->stop_requested()) return true;
      platform::FileInfo info;
      // An input that is gone was said so when it went.
      if (items_[i].item.problem.empty() && platform::Env::posix()->file_info(items_[i].item.input, &info).ok()) {
        convert_item(i, nullptr);
      }
    }
    return true;
  }

  int watch() {
    std::vector<int> table_ids;
    if (run_.table) {
      for (const std::string& file : run_.table->files) {
        int id = 0;
        if (const platform::Status st = watcher_->watch_file(file, &id); !st.ok()) {
          say_error("cannot watch " + quoted(file) + ": " + conversion::system_error_text(st.error) +
                    "; changes to the translation table will not be seen");
        } else {
          table_ids.push_back(id);
        }
      }
    }
    for (std::size_t i = 0; i < items_.size(); ++i) watch_item(i);
    if (planner_) notes_seen_ = planner_->finish().notes.size();
    watch_new_folders();
    const auto watched = std::count_if(items_.begin(), items_.end(), [](const Tracked& t) { return t.id != 0; });
    say_error("watching " + std::to_string(watched) + (watched == 1 ? " file" : " files") +
              (folders_.empty() ? std::string()
                                : " and " + std::to_string(folders_known_) + (folders_known_ == 1 ? " folder" : " folders")) +
              "; Ctrl-C ends");
    for (;;) {
      platform::WatchReport r;
      if (const platform::Status st = watcher_->wait(-1, &r); !st.ok()) {
        say_error("watching failed: " + conversion::system_error_text(st.error));
        return 1;
      }
      if (r.stop) return 0;
      // Checked at each report of a change to the data files, not on a
      // clock: the report comes once the files have been quiet for a moment
      // (a program that keeps them open, as the table windows do, is quiet
      // 300 ms after its last write), so one update is one reading, and no
      // time is spent reading files that did not change.
      const auto touched = [&](const std::vector<int>& ids) {
        return std::any_of(ids.begin(), ids.end(), [&](int id) {
          return std::find(table_ids.begin(), table_ids.end(), id) != table_ids.end();
        });
      };
      const bool all_done = (r.overflow || touched(r.saved) || touched(r.removed)) && run_.table && table_changed();
      if (watcher_->stop_requested()) return 0;
      if (r.overflow) {
        say_error("the system dropped change notices; looking for what changed");
        walk_again();
      }
      std::set<std::size_t> again;
      for (std::size_t i = 0; i < items_.size(); ++i) {
        const int id = items_[i].id;
        if (id == 0) continue;
        if (!all_done && (std::find(r.saved.begin(), r.saved.end(), id) != r.saved.end() ||
                          (r.overflow && changed_since(i)))) {
          again.insert(i);
        }
        if (std::find(r.removed.begin(), r.removed.end(), id) != r.removed.end()) {
          say_error(quoted(items_[i].item.input) + " is gone; its output stays, and it is converted again when it "
                    "comes back");
        }
        if (std::find(r.lost.begin(), r.lost.end(), id) != r.lost.end()) {
          say_error("no longer watching " + quoted(items_[i].item.input) + ": its folder is gone");
          items_[i].id = 0;
        }
      }
      for (const std::size_t i : again) {
        if (watcher_->stop_requested()) return 0;
        convert_item(i, nullptr);
      }
      if (planner_ && !r.created.empty()) {
        bool added = false;
        for (const platform::WatchReport::NewName& n : r.created) {
          const auto folder = folders_.find(n.folder);
          if (folder == folders_.end()) continue;
          for (const std::size_t index : folder->second) {
            if (n.is_folder) {
              if (n.name.front() == '.') continue;  // never walked
              // Watched before it is walked, so that a page made in it
              // meanwhile is either found by the walk or reported after.
              const std::string parent = planner_->walked()[index];
              int id = 0;
              (void)watcher_->watch_folder(parent == "." ? n.name : parent + "/" + n.name, &id);
              const std::size_t before = planner_->walked().size();
              planner_->add_found_folder(index, n.name);
              added |= planner_->walked().size() != before;
            } else {
              added |= planner_->add_found(index, n.name);
            }
          }
        }
        if (added) take_new_plan();
      }
    }
  }

  const BatchRun& run_;
  const ConvertOne& convert_;
  const BatchStreams& s_;
  std::unique_ptr<platform::Watcher> watcher_;
  std::unique_ptr<BatchPlanner> planner_;
  std::vector<Tracked> items_;
  std::set<std::string> written_;  // outputs this run made, by full path
  std::map<int, std::vector<std::size_t>> folders_;  // watched folder -> walked() indices
  std::size_t folders_known_ = 0;
  std::size_t notes_seen_ = 0;
  std::unique_ptr<ProgressBar> bar_;
  bool stopped_ = false;
};

}  // namespace

int run_batch(const BatchRun& run, const ConvertOne& convert, const BatchStreams& streams) {
  return Batch(run, convert, streams).go();
}

}  // namespace cli
