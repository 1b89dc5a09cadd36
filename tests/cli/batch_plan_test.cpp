// What a batch converts and where each output goes, in real folders: names
// with blanks and accents, walks through links and loops, and the clashes
// that must be refused before anything is written.
#include "cli/batch_plan.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/platform/temp_dir.h"

namespace cli {
namespace {

namespace fs = std::filesystem;

TEST(GlobTest, MatchesNamesAsAShellWouldIgnoringTheCaseOfLetters) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*.htm", "page.htm", true},      {"*.htm", "PAGE.HTM", true},     {"*.htm", "page.html", false},
      {"*.htm", "page.htm.bak", false}, {"*.htm", ".hidden.htm", false}, {".*.htm", ".hidden.htm", true},
      {"*", "caf\xC3\xA9 menu.htm", true}, {"a?c", "abc", true},         {"a?c", "ac", false},
      {"*a*b*c", "xaxbxxc", true},      {"*a*b*c", "xaxbxxcx", false},   {"[ab]*.htm", "b1.htm", true},
      {"[!ab]*", "a1", false},          {"[!ab]*", "c1", true},          {"[a-c]", "B", true},
      {"[A-C]", "b", true},             {"[a-c]", "d", false},           {"[]x]", "]", true},
      {"[ab", "[ab", true},             {"\\*.htm", "*.htm", true},      {"\\*.htm", "a.htm", false},
      {"*.", "a", false},               {"", "", true},                  {"**.htm", "a.htm", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(glob_match(c.pattern, c.name), c.match) << c.pattern << " / " << c.name;
  }
}

TEST(GlobTest, OutputNamesDropTheLastExtensionOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"page.htm", "page.htw"},   {"a.b.html", "a.b.htw"}, {"notes", "notes.htw"},
      {".draft", ".draft.htw"},   {"caf\xC3\xA9 x.HTM", "caf\xC3\xA9 x.htw"}, {"end.", "end.htw"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(output_file_name(in, ".htw"), out) << in;
}

class BatchPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    previous_ = fs::current_path();
    fs::current_path(dir_.path());
  }
  void TearDown() override { fs::current_path(previous_); }
  static void touch(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path().empty() ? "." : fs::path(path).parent_path());
    std::ofstream(path) << "<p>\n";
  }
  // "input -> output" per item, and "input: problem" for refused ones.
  static std::vector<std::string> lines(const BatchPlan& plan) {
    std::vector<std::string> out;
    for (const BatchItem& i : plan.items) out.push_back(i.problem.empty() ? i.input + " -> " + i.output : i.problem);
    return out;
  }

  platform_test::TempDir dir_;
  fs::path previous_;
};

TEST_F(BatchPlanTest, FilesGoFlatIntoTheFolderOnceEach) {
  touch("caf\xC3\xA9 menu.htm");
  touch("sub/index.html");
  fs::create_directory("site");
  BatchPlanner planner({"out/", ".x", false, {}});
  for (const char* in : {"caf\xC3\xA9 menu.htm", "./caf\xC3\xA9 menu.htm", "sub/index.html", "missing.htm", "site"}) {
    planner.add_input(in);
  }
  EXPECT_EQ(lines(planner.finish()), (std::vector<std::string>{
                                         "caf\xC3\xA9 menu.htm -> out/caf\xC3\xA9 menu.x",
                                         "sub/index.html -> out/index.x",
                                         "missing.htm -> out/missing.x",  // its conversion will say what is wrong
                                         "'site' is a folder; give -r to convert the pages in it",
                                     }));
}

TEST_F(BatchPlanTest, WalksKeepTheLayoutAndPassOverLoopsHiddenNamesAndTheOutputFolder) {
  touch("site/a.htm");
  touch("site/b.txt");
  touch("site/.hidden.htm");
  touch("site/.git/c.htm");
  touch("site/deep/er/D.HTML");
  touch("site/out/old.htm");  // the output folder inside the tree
  touch("elsewhere/e.htm");
  fs::create_directory_symlink("../elsewhere", "site/linked");
  fs::create_directory_symlink("..", "site/deep/loop");
  fs::create_symlink("nowhere.htm", "site/dangling.htm");
  ASSERT_EQ(::mkfifo("site/pipe.htm", 0600), 0);
  BatchPlanner planner({"site/out", ".htw", true, {}});
  planner.add_input("site/");
  const BatchPlan& plan = planner.finish();
  EXPECT_EQ(lines(plan), (std::vector<std::string>{
                             "site/a.htm -> site/out/a.htw",
                             "site/dangling.htm -> site/out/dangling.htw",
                             "site/deep/er/D.HTML -> site/out/deep/er/D.htw",
                             "site/linked/e.htm -> site/out/linked/e.htw",
                         }));
  EXPECT_EQ(plan.notes, (std::vector<std::string>{
                            "passed over 'site/deep/loop': it leads back to a folder it is in",
                            "passed over 'site/pipe.htm': not a regular file",
                        }));
  EXPECT_EQ(planner.walked(), (std::vector<std::string>{"site", "site/deep", "site/deep/er", "site/linked"}));

  // The globs choose; DIR elsewhere leaves site/out a folder like any.
  BatchPlanner txt({"out", ".htw", true, {"*.txt", "*.htm"}});
  txt.add_input("site");
  EXPECT_EQ(lines(txt.finish()), (std::vector<std::string>{
                                     "site/a.htm -> out/a.htw",
                                     "site/b.txt -> out/b.htw",
                                     "site/dangling.htm -> out/dangling.htw",
                                     "site/linked/e.htm -> out/linked/e.htw",
                                     "site/out/old.htm -> out/out/old.htw",
                                 }));
}

TEST_F(BatchPlanTest, ClashesAreRefusedBeforeAnythingIsWritten) {
  touch("a.htm");
  touch("a.html");
  touch("b.htm");
  touch("c.htm");
  fs::create_hard_link("c.htm", "c-link.htm");
  {
    BatchPlanner planner({".", ".htw", false, {}});
    for (const char* in : {"a.htm", "a.html", "b.htm"}) planner.add_input(in);
    EXPECT_EQ(lines(planner.finish()),
              (std::vector<std::string>{
                  "'a.htm' is not converted: 'a.html' goes to 'a.htw' as well, and which should win is not clear",
                  "'a.html' is not converted: 'a.htm' goes to 'a.htw' as well, and which should win is not clear",
                  "b.htm -> b.htw",
              }));
  }
  {
    // Outputs that would land on an input: by name, as its own input, or
    // through a hard link.
    fs::create_hard_link("c.htm", "b.html");
    BatchPlanner planner({".", ".html", false, {}});
    for (const char* in : {"a.htm", "a.html", "b.htm", "c-link.htm"}) planner.add_input(in);
    const char* const over = " would be written over the input ";
    const char* const advice = " (choose another --suffix or -d)";
    EXPECT_EQ(lines(planner.finish()),
              (std::vector<std::string>{
                  std::string("'a.htm' is not converted: its output 'a.html'") + over + "'a.html'" + advice,
                  std::string("'a.html' is not converted: its output 'a.html'") + over + "'a.html'" + advice,
                  std::string("'b.htm' is not converted: its output 'b.html'") + over + "'c-link.htm'" + advice,
                  "c-link.htm -> c-link.html",
              }));
  }
}

TEST_F(BatchPlanTest, PagesFoundLaterJoinThePlanButOurOwnOutputsDoNot) {
  touch("site/a.htm");
  BatchPlanner planner({"site", ".html", true, {}});
  planner.add_input("site");
  ASSERT_EQ(planner.finish().items.size(), 1u);
  touch("site/a.html");  // our own output, which the globs take
  EXPECT_FALSE(planner.add_found(0, "a.html"));
  touch("site/b.htm");
  touch("site/notes.txt");
  EXPECT_TRUE(planner.add_found(0, "b.htm"));
  EXPECT_FALSE(planner.add_found(0, "b.htm"));  // planned already
  EXPECT_FALSE(planner.add_found(0, "notes.txt"));
  touch("site/new/c.htm");
  planner.add_found_folder(0, "new");
  EXPECT_EQ(lines(planner.finish()), (std::vector<std::string>{
                                         "site/a.htm -> site/a.html",
                                         "site/b.htm -> site/b.html",
                                         "site/new/c.htm -> site/new/c.html",
                                     }));
  EXPECT_EQ(planner.walked().back(), "site/new");
}

}  // namespace
}  // namespace cli
