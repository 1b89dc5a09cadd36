// Saves as editors make them, each seen once; what is no save; names that
// go and come; signals that end a watch.
#include "platform/watcher.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/platform/temp_dir.h"

namespace platform {
namespace {

using platform_test::TempDir;
namespace fs = std::filesystem;

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Every report until the watcher has been quiet for `quiet_ms`, merged.
WatchReport gather(Watcher& w, int quiet_ms = 300) {
  WatchReport all;
  for (;;) {
    WatchReport r;
    EXPECT_TRUE(w.wait(quiet_ms, &r).ok());
    if (r.empty()) return all;
    all.saved.insert(all.saved.end(), r.saved.begin(), r.saved.end());
    all.removed.insert(all.removed.end(), r.removed.begin(), r.removed.end());
    all.lost.insert(all.lost.end(), r.lost.begin(), r.lost.end());
    all.created.insert(all.created.end(), r.created.begin(), r.created.end());
    all.overflow |= r.overflow;
    all.stop |= r.stop;
  }
}

class WatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    // Shorter than the defaults, so that waiting out a burst is quick; the
    // writes of the slow writer below still come closer than quiet_ms.
    ASSERT_TRUE(Watcher::open(&watcher_, {20, 200, 2000}).ok());
  }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
  std::unique_ptr<Watcher> watcher_;
};

TEST_F(WatcherTest, EverySaveAnEditorMakesIsReportedOnce) {
  struct Case {
    const char* how;
    std::function<void(const std::string&)> save;
  };
  const Case cases[] = {
      {"truncated and rewritten in place", [](const std::string& p) { write(p, "<p>new</p>\n"); }},
      {"a new file renamed over it",
       [](const std::string& p) {
         write(p + ".swp", "<p>new</p>\n");
         fs::rename(p + ".swp", p);
       }},
      {"the old file moved to a backup, a new one written, the backup removed",
       [](const std::string& p) {
         fs::rename(p, p + "~");
         write(p, "<p>new</p>\n");
         fs::remove(p + "~");
       }},
      {"written in pieces by a program that keeps it open a while",
       [](const std::string& p) {
         std::ofstream out(p, std::ios::binary);
         for (int i = 0; i < 8; ++i) {
           out << "<p>" << i << "</p>\n" << std::flush;
           std::this_thread::sleep_for(std::chrono::milliseconds(15));
         }
       }},
      {"removed and made again", [](const std::string& p) {
         fs::remove(p);
         write(p, "<p>new</p>\n");
       }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    const std::string page = file("page é.htm");
    write(page, "<p>old</p>\n");
    int id = 0;
    ASSERT_TRUE(watcher_->watch_file(page, &id).ok());
    gather(*watcher_);  // the setting up is no save
    c.save(page);
    const WatchReport r = gather(*watcher_);
    EXPECT_EQ(r.saved, std::vector<int>{id});
    EXPECT_TRUE(r.removed.empty());
    // Reading it through the seam opens it read/write: still no save.
    std::unique_ptr<File> f;
    ASSERT_TRUE(Env::posix()->open(page, {}, &f).ok());
    f.reset();
    EXPECT_TRUE(gather(*watcher_).empty());
  }
}

TEST_F(WatcherTest, NamesThatGoComeBackAndLeadElsewhere) {
  fs::create_directory(file("real"));
  write(file("real/target.htm"), "x");
  fs::create_symlink(file("real/target.htm"), file("link.htm"));
  int link = 0, same = 0, other = 0;
  ASSERT_TRUE(watcher_->watch_file(file("link.htm"), &link).ok());
  ASSERT_TRUE(watcher_->watch_file(file("real/../real/target.htm"), &same).ok());
  EXPECT_EQ(same, link);  // the place, not the spelling
  ASSERT_TRUE(watcher_->watch_file(file("not yet.htm"), &other).ok());
  EXPECT_NE(other, link);

  write(file("real/target.htm"), "saved where the link leads");
  EXPECT_EQ(gather(*watcher_).saved, std::vector<int>{link});

  fs::remove(file("not yet.htm"));  // nothing there: nothing to say
  write(file("not yet.htm"), "now");
  EXPECT_EQ(gather(*watcher_).saved, std::vector<int>{other});
  fs::rename(file("not yet.htm"), file("elsewhere.htm"));
  WatchReport r = gather(*watcher_);
  EXPECT_EQ(r.removed, std::vector<int>{other});
  EXPECT_TRUE(r.saved.empty());

  EXPECT_EQ(watcher_->watch_file(file("no folder/x.htm"), &other).error, 3);
}

TEST_F(WatcherTest, FoldersReportSettledNewNamesAndTheirOwnEnd) {
  fs::create_directory(file("site"));
  write(file("site/kept.htm"), "x");
  int folder = 0, kept = 0;
  ASSERT_TRUE(watcher_->watch_folder(file("site"), &folder).ok());
  ASSERT_TRUE(watcher_->watch_file(file("site/kept.htm"), &kept).ok());
  write(file("site/.new.htm.tmp"), "x");  // an editor's temporary, renamed into place
  fs::rename(file("site/.new.htm.tmp"), file("site/new.htm"));
  fs::create_directory(file("site/sub"));
  write(file("site/kept.htm"), "y");
  WatchReport r = gather(*watcher_);
  ASSERT_EQ(r.created.size(), 2u);
  std::sort(r.created.begin(), r.created.end(), [](auto& a, auto& b) { return a.name < b.name; });
  EXPECT_EQ(r.created[0].name, "new.htm");
  EXPECT_FALSE(r.created[0].is_folder);
  EXPECT_EQ(r.created[1].name, "sub");
  EXPECT_TRUE(r.created[1].is_folder);
  EXPECT_EQ(r.created[0].folder, folder);
  EXPECT_EQ(r.saved, std::vector<int>{kept});  // a watched name is a save, not a new name

  EXPECT_EQ(watcher_->watch_folder(file("site/kept.htm"), &folder).error, 3);
  fs::remove_all(file("site"));
  r = gather(*watcher_);
  std::sort(r.lost.begin(), r.lost.end());
  EXPECT_EQ(r.lost, (std::vector<int>{std::min(folder, kept), std::max(folder, kept)}));
}

TEST_F(WatcherTest, StopSignalsEndTheWaitAndAreLetGoAfterwards) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_FALSE(watcher_->stop_requested());
    ASSERT_EQ(::kill(::getpid(), sig), 0);  // held: the test goes on
    EXPECT_TRUE(watcher_->stop_requested());
    WatchReport r;
    ASSERT_TRUE(watcher_->wait(-1, &r).ok());
    EXPECT_TRUE(r.stop);
  }
  // One that comes after the last wait is dropped with the watcher, and
  // the signals are no longer held.
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  watcher_.reset();
  sigset_t now;
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &now), 0);
  EXPECT_EQ(::sigismember(&now, SIGTERM), 0);
  EXPECT_EQ(::sigismember(&now, SIGINT), 0);
  // Under nohup a hangup is no stop.
  struct sigaction ignore {}, before {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGHUP, &ignore, &before), 0);
  ASSERT_TRUE(Watcher::open(&watcher_).ok());
  ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
  EXPECT_FALSE(watcher_->stop_requested());
  watcher_.reset();
  ::sigaction(SIGHUP, &before, nullptr);
}

}  // namespace
}  // namespace platform
