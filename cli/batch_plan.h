// Which files `markfit convert -d DIR` converts, and where each output goes:
// worked out before anything is written, so that an output that would land
// on an input, or two inputs that would share one output, are refused
// before either is touched.
//
//   BatchPlanner planner({.folder = "out", .recursive = true});
//   for (const std::string& arg : inputs) planner.add_input(arg);
//   const BatchPlan& plan = planner.finish();
//   for (const BatchItem& item : plan.items) ...   // item.problem: refused
//
// Names. An input's output is DIR/<name><suffix>, where <name> is the
// input's file name without its extension, the last "." and what follows
// ("page.htm" -> "page", "a.b.html" -> "a.b", "notes" -> "notes"; a name
// that starts with "." and has no other keeps it: ".draft" -> ".draft").
// Names are bytes: blanks, "é" and the like pass as they are.
//
// Folders (recursive only). A folder given as input is walked for files
// whose name matches one of the globs (default "*.htm" and "*.html"), and
// the layout below it is kept under DIR: site/a/b.htm -> DIR/a/b<suffix>.
// Names and folders starting with "." are passed over unless a glob starts
// with "." itself (as a shell does). Symbolic links are followed; a link
// that leads back to a folder the walk is inside of (a loop) is passed over
// and noted, and so is anything deeper than kDeepestWalk folders. Two ways
// to one folder are two places in the layout: its pages are converted to
// both. DIR itself is never walked when it lies inside a walked folder. Only
// regular files are taken from a walk: a FIFO there would stop the batch.
//
// Refused items (problem set, counted as failures, the rest still done):
// a folder given without recursion; an unreadable folder; an output that is
// one of the inputs; several inputs with one output (every one of them:
// which should win is not ours to guess). The same file given twice for one
// output is converted once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct BatchRequest {
  std::string folder;             // DIR, as given
  std::string suffix = ".htw";
  bool recursive = false;
  std::vector<std::string> globs; // empty: the defaults
};

struct BatchItem {
  std::string input;    // the file to read, as the user would name it
  std::string output;   // where its output goes, as the user would name it
  std::string problem;  // why it is not converted; empty when it is
};

struct BatchPlan {
  std::vector<BatchItem> items;    // in the order the inputs were given, walks in name order
  std::vector<std::string> notes;  // what a walk passed over that is no failure
};

inline constexpr int kDeepestWalk = 64;

inline const std::vector<std::string> kDefaultGlobs = {"*.htm", "*.html"};

// Whether `name` (a file name, no "/") matches `pattern`: "*" any run of
// characters, "?" one, "[abc]", "[a-z]", "[!abc]" one of (not of) a set,
// "\" takes the next character as it is. Letters A to Z match either case,
// so that the "*.htm" of a page saved as PAGE.HTM still finds it. A name
// starting with "." is matched only by a pattern starting with ".".
bool glob_match(std::string_view pattern, std::string_view name);

// The output file name for an input file name (see Names above).
std::string output_file_name(std::string_view input_name, std::string_view suffix);

class BatchPlanner {
 public:
  explicit BatchPlanner(BatchRequest request);

  // One INPUT word: a file, or (recursive) a folder to walk.
  void add_input(const std::string& path);

  // Resolves the clashes between the items added so far. The plan is valid
  // until the next add; items keep their place in it from one finish() to
  // the next, new ones come after them.
  const BatchPlan& finish();

  // Folders walked so far, for a watch that looks for new pages in them:
  // the folder as the user would name it.
  std::vector<std::string> walked() const;

  // A file that appeared later in the folder walked()[index] (its name
  // alone): true when it was added to the plan (finish() again to check
  // it); false when the globs do not take it, it is no regular file, or it
  // is planned already.
  bool add_found(std::size_t index, const std::string& name);

  // A folder that appeared later in walked()[index]: walked like the
  // others, its folders added to walked().
  void add_found_folder(std::size_t index, const std::string& name);

 private:
  struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    auto operator<=>(const Identity&) const = default;
  };
  struct Walked {
    std::string folder;
    std::string output_folder;
    std::vector<Identity> chain;  // the folder and those the walk went through to it
  };
  struct Entry {
    BatchItem item;
    std::string refused;      // the item's own problem, before clashes
    std::string output_full;  // for comparing
    bool has_identity = false;
    Identity identity;
  };

  void find_folder();
  void walk(const std::string& folder, const std::string& output_folder, std::vector<Identity> chain);
  void add_file(const std::string& input, const std::string& output);
  void refuse(const std::string& input, const std::string& problem);
  bool matches(std::string_view name) const;
  std::string full(const std::string& path) const;

  BatchRequest request_;
  bool have_folder_identity_ = false;
  Identity folder_identity_;  // DIR's, when it exists
  std::vector<Entry> entries_;
  std::vector<Walked> walked_;
  BatchPlan plan_;
};

}  // namespace cli
