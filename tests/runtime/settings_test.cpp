#include "runtime/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "runtime/profile.h"
#include "runtime/regional.h"

namespace fs = std::filesystem;
using runtime::ini_lookup;
using runtime::ini_write;

namespace {

// --- INI text rules -----------------------------------------------------------

TEST(IniLookup, MatchesSectionAndKeyWithoutRegardToCaseAndBlanks) {
  const std::string text = "[ Write Html ]  trailing junk\n  \tCommandBefore\t =  a b  \n";
  EXPECT_EQ(ini_lookup(text, "write html", "COMMANDBEFORE"), "a b");
  EXPECT_EQ(ini_lookup(text, " WRITE HTML\t", " commandbefore "), "a b");
  EXPECT_EQ(ini_lookup(text, "Write", "CommandBefore"), std::nullopt);
}

TEST(IniLookup, FirstSectionAndFirstKeyWin) {
  const std::string text = "[a]\nk=1\nk=2\n[b]\nx=0\n[A]\nk=3\nonly=later\n";
  EXPECT_EQ(ini_lookup(text, "a", "k"), "1");
  EXPECT_EQ(ini_lookup(text, "a", "only"), std::nullopt);
}

TEST(IniLookup, SkipsLinesWithoutEqualsAndKeysBeforeAnySection) {
  const std::string text = "k=top\n[s]\n; note\njunk\n[no close=1\n=empty key\nk=v";
  EXPECT_EQ(ini_lookup(text, "s", "k"), "v");
  EXPECT_EQ(ini_lookup(text, "s", "junk"), std::nullopt);
  EXPECT_EQ(ini_lookup(text, "s", "[no close"), "1");
  EXPECT_EQ(ini_lookup(text, "s", ""), "empty key");
}

TEST(IniLookup, StripsOnePairOfMatchingQuotes) {
  const std::string text = "[s]\na=\"x\"\nb=' y '\nc=\"z'\nd=\"\ne=\"\"q\"\"\n";
  EXPECT_EQ(ini_lookup(text, "s", "a"), "x");
  EXPECT_EQ(ini_lookup(text, "s", "b"), " y ");
  EXPECT_EQ(ini_lookup(text, "s", "c"), "\"z'");
  EXPECT_EQ(ini_lookup(text, "s", "d"), "\"");
  EXPECT_EQ(ini_lookup(text, "s", "e"), "\"q\"");
}

TEST(IniLookup, ReadsCrlfLinesAndBinaryBytes) {
  const std::string text("[s]\r\nk=v\r\nn\0ul=\0x\r\n", 20);
  EXPECT_EQ(ini_lookup(text, "s", "k"), "v");
  EXPECT_EQ(ini_lookup(text, "s", std::string("n\0ul", 4)), std::string("\0x", 2));
}

TEST(IniWrite, ReplacesValueInPlaceKeepingEveryOtherLine) {
  const std::string text = "; head\n[s]\n; c1\nKey = old  \nk2=v\n\n[t]\nKey=t\n";
  EXPECT_EQ(ini_write(text, "S", "key", "  new "), "; head\n[s]\n; c1\nKey = new\nk2=v\n\n[t]\nKey=t\n");
}

TEST(IniWrite, AppendsMissingKeyAfterLastKeyLineOfSection) {
  EXPECT_EQ(ini_write("[s]\na=1\n; about t\n\n[t]\n", "s", "b", "2"),
            "[s]\na=1\nb=2\n; about t\n\n[t]\n");
  EXPECT_EQ(ini_write("[s]\n\n[t]\n", "s", "b", "2"), "[s]\nb=2\n\n[t]\n");
  EXPECT_EQ(ini_write("[s]", "s", "b", "2"), "[s]\nb=2\n");
}

TEST(IniWrite, CreatesMissingSectionAtEndWithFileLineEnds) {
  EXPECT_EQ(ini_write("", "s", "k", "v"), "[s]\nk=v\n");
  EXPECT_EQ(ini_write("[a]\r\nx=1", "s", "k", "v"), "[a]\r\nx=1\r\n[s]\r\nk=v\r\n");
  EXPECT_EQ(ini_write("[a]\r\nx=1\r\n", "a", "k", "v"), "[a]\r\nx=1\r\nk=v\r\n");
}

TEST(IniWrite, DeletesKeyOrWholeSectionLeavingNothingToFind) {
  const std::string text = "[s]\nk=1\nj=2\nK=3\n[t]\nk=4\n[S]\nk=5\n";
  const std::string no_key = ini_write(text, "s", "k", std::nullopt);
  EXPECT_EQ(no_key, "[s]\nj=2\n[t]\nk=4\n[S]\nk=5\n");
  EXPECT_EQ(ini_lookup(no_key, "s", "k"), std::nullopt);
  EXPECT_EQ(ini_write(text, "s", std::nullopt, std::nullopt), "[t]\nk=4\n");
  EXPECT_EQ(ini_write(text, "none", "k", std::nullopt), text);
}

TEST(IniWrite, RefusesTextThatWouldNotReadBackAsWritten) {
  const std::string text = "[s]\nk=v\n";
  for (auto [s, k, v] : {std::tuple{"s", "k", "a\nb"}, {"s", "a=b", "v"}, {"s", "[k", "v]"},
                         {"x]y", "k", "v"}, {"s", "k\r", "v"}}) {
    EXPECT_FALSE(runtime::ini_writable(s, k, v)) << k;
    EXPECT_EQ(ini_write(text, s, k, v), text) << k;
  }
}

// --- Settings files -----------------------------------------------------------

// Passes everything to the real environment, logs the steps that change
// files, and fails the `fail_at`-th of them (open for writing, write, sync,
// rename, directory sync) with 29.
class FaultEnv : public platform::Env {
 public:
  std::vector<std::string> log;
  int fail_at = 0;
  int fail_read_open = 0;  // error for opening a file to read, 0 none

  platform::Status step(const char* what) {
    log.push_back(what);
    return platform::Status(static_cast<int>(log.size()) == fail_at ? 29 : 0);
  }

  class FaultFile : public platform::File {
   public:
    FaultFile(FaultEnv* env, std::unique_ptr<platform::File> f) : env_(env), f_(std::move(f)) {}
    platform::Status read_at(std::uint64_t o, void* b, std::size_t n, std::size_t* got) override {
      return f_->read_at(o, b, n, got);
    }
    platform::Status write_at(std::uint64_t o, const void* b, std::size_t n, std::size_t* w) override {
      if (auto s = env_->step("write"); !s) return s;
      return f_->write_at(o, b, n, w);
    }
    platform::Status size(std::uint64_t* out) override { return f_->size(out); }
    platform::Status truncate(std::uint64_t n) override { return f_->truncate(n); }
    platform::Status sync() override {
      if (auto s = env_->step("sync"); !s) return s;
      return f_->sync();
    }
    platform::Status lock(std::uint64_t o, std::uint64_t n, platform::LockKind k, bool w) override {
      return f_->lock(o, n, k, w);
    }
    platform::Status unlock(std::uint64_t o, std::uint64_t n) override { return f_->unlock(o, n); }
    const std::string& path() const override { return f_->path(); }

   private:
    FaultEnv* env_;
    std::unique_ptr<platform::File> f_;
  };

  platform::Status open(const std::string& p, const platform::OpenMode& m,
                        std::unique_ptr<platform::File>* out) override {
    if (m.access == platform::Access::read && fail_read_open) return platform::Status(fail_read_open);
    if (m.access != platform::Access::read) {
      if (auto s = step("open"); !s) return s;
    }
    std::unique_ptr<platform::File> f;
    if (auto s = real->open(p, m, &f); !s) return s;
    *out = std::make_unique<FaultFile>(this, std::move(f));
    return platform::Status::success();
  }
  platform::Status remove(const std::string& p) override { return real->remove(p); }
  platform::Status rename(const std::string& from, const std::string& to) override {
    if (auto s = step("rename"); !s) return s;
    return real->rename(from, to);
  }
  bool exists(const std::string& p) override { return real->exists(p); }
  platform::Status full_path(const std::string& p, std::string* out) override { return real->full_path(p, out); }
  platform::Status current_directory(std::string* out) override { return real->current_directory(out); }
  platform::Status set_current_directory(const std::string& p) override {
    return real->set_current_directory(p);
  }
  platform::Status sync_directory_of(const std::string& p) override {
    if (auto s = step("syncdir"); !s) return s;
    return real->sync_directory_of(p);
  }
  std::uint64_t ticks() override { return real->ticks(); }
  std::int64_t now() override { return real->now(); }

 private:
  platform::Env* real = platform::Env::posix();
};

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937_64 rng(std::random_device{}());
    do {
      dir_ = fs::temp_directory_path() / ("markfit-settings-" + std::to_string(rng()));
    } while (!fs::create_directory(dir_));
    old_cwd_ = fs::current_path();
    fs::current_path(dir_);
    for (const char* name : kVariables) {
      const char* v = std::getenv(name);
      saved_env_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
    }
    ::setenv("MARKFIT_PROFILE", (dir_ / "sys" / "profile.ini").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_ / "xdg").c_str(), 1);
    runtime::regional() = runtime::Regional{};
    runtime::set_settings_env(nullptr);
  }
  void TearDown() override {
    runtime::set_settings_env(nullptr);
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
    for (std::size_t i = 0; i < std::size(kVariables); ++i) {
      if (saved_env_[i]) {
        ::setenv(kVariables[i], saved_env_[i]->c_str(), 1);
      } else {
        ::unsetenv(kVariables[i]);
      }
    }
  }
  static void put(const fs::path& p, const std::string& text) {
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string get(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
  }
  size_t files_in(const fs::path& d) { return std::distance(fs::directory_iterator(d), {}); }

  static constexpr const char* kVariables[] = {"MARKFIT_PROFILE", "XDG_CONFIG_HOME", "HOME"};
  std::vector<std::optional<std::string>> saved_env_;
  fs::path dir_;
  fs::path old_cwd_;
};

TEST_F(SettingsFileTest, MissingFileSectionOrKeyGivesDefaultUnchanged) {
  EXPECT_EQ(runtime::GETINI("s", "k", "0", ".\\Markfit.ini"), "0");
  put("Markfit.ini", "[s]\nk=1\n");
  EXPECT_EQ(runtime::GETINI("t", "k", "0", "./Markfit.ini"), "0");
  EXPECT_EQ(runtime::GETINI("s", "j", " 0 ", "./Markfit.ini"), " 0 ");
  EXPECT_EQ(runtime::GETINI("s", "k", "0", ".\\Markfit.ini"), "1");
  EXPECT_TRUE(runtime::last_settings_error().ok());
}

TEST_F(SettingsFileTest, WritesReadBackDeleteKeysAndSections) {
  runtime::WRITEINI("WriteHtml", "CommandBefore", "HTML", ".\\Markfit.ini");
  runtime::WRITEINI("WriteHtml", "Mode", "2", ".\\Markfit.ini");
  runtime::WRITEINI("Toolbox", "XPosit", "10", "./Markfit.ini");
  EXPECT_EQ(get("Markfit.ini"), "[WriteHtml]\nCommandBefore=HTML\nMode=2\n[Toolbox]\nXPosit=10\n");
  runtime::WRITEINI("WriteHtml", "Mode", std::nullopt, "./Markfit.ini");
  EXPECT_EQ(runtime::GETINI("WriteHtml", "Mode", "none", "./Markfit.ini"), "none");
  runtime::WRITEINI("WriteHtml", std::nullopt, std::nullopt, "./Markfit.ini");
  EXPECT_EQ(get("Markfit.ini"), "[Toolbox]\nXPosit=10\n");
  runtime::WRITEINI("Gone", std::nullopt, std::nullopt, "./Other.ini");
  EXPECT_FALSE(fs::exists("Other.ini"));
  EXPECT_TRUE(runtime::last_settings_error().ok());
}

TEST_F(SettingsFileTest, CutsTextsToTheLimitsOfOneCall) {
  put("Markfit.ini", "[s]\nk=" + std::string(1500, 'v') + "\n");
  EXPECT_EQ(runtime::GETINI("s", "k", "", "./Markfit.ini"), std::string(1023, 'v'));
  EXPECT_EQ(runtime::GETINI("s", "no", std::string(1500, 'd'), "./Markfit.ini"), std::string(1023, 'd'));
  const std::string section(70, 's'), key(70, 'k');
  runtime::WRITEINI(section, key, std::string(1500, 'w'), "./Markfit.ini");
  EXPECT_EQ(runtime::GETINI(section.substr(0, 63), key.substr(0, 63), "", "./Markfit.ini"),
            std::string(1023, 'w'));
  EXPECT_EQ(get("Markfit.ini").find(std::string(64, 'k')), std::string::npos);
}

TEST_F(SettingsFileTest, FileNamesFollowCurrentDirectoryOrProfileDirectory) {
  fs::create_directory("sub");
  runtime::WRITEINI("s", "k", "top", ".\\Markfit.ini");
  fs::current_path("sub");
  EXPECT_EQ(runtime::GETINI("s", "k", "0", ".\\Markfit.ini"), "0");
  runtime::WRITEINI("s", "k", "sub", ".\\Markfit.ini");
  EXPECT_EQ(get(dir_ / "sub" / "Markfit.ini"), "[s]\nk=sub\n");
  runtime::WRITEINI("s", "k", "bare", "Bare.ini");
  EXPECT_EQ(get(dir_ / "sys" / "Bare.ini"), "[s]\nk=bare\n");
  EXPECT_EQ(get(dir_ / "Markfit.ini"), "[s]\nk=top\n");
}

TEST_F(SettingsFileTest, ProfilePathComesFromEnvironment) {
  EXPECT_EQ(runtime::profile_path(), (dir_ / "sys" / "profile.ini").string());
  runtime::WRITEINI("intl", "iTime", "1", "");
  EXPECT_EQ(get(dir_ / "sys" / "profile.ini"), "[intl]\niTime=1\n");
  ::unsetenv("MARKFIT_PROFILE");
  EXPECT_EQ(runtime::profile_path(), (dir_ / "xdg" / "markfit" / "profile.ini").string());
  runtime::WRITEINI("OVKESTREL", "Trace", "1", "");  // makes the directory
  EXPECT_EQ(runtime::GETPROFILESTR("ovkestrel", "trace", "0"), "1");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);
  ::setenv("HOME", dir_.c_str(), 1);
  EXPECT_EQ(runtime::profile_path(), (dir_ / ".config" / "markfit" / "profile.ini").string());
}

TEST_F(SettingsFileTest, ProfileIntegersReadLeadingDigits) {
  put(dir_ / "sys" / "profile.ini",
      "[n]\na=12px\nb= -7\nc=abc\nd=\ne=+99999999999\nf=-99999999999\n");
  EXPECT_EQ(runtime::GETPROFILEINT("n", "a", 5), 12);
  EXPECT_EQ(runtime::GETPROFILEINT("n", "b", 5), -7);
  EXPECT_EQ(runtime::GETPROFILEINT("n", "c", 5), 5);
  EXPECT_EQ(runtime::GETPROFILEINT("n", "d", 5), 5);
  EXPECT_EQ(runtime::GETPROFILEINT("n", "e", 5), INT_MAX);
  EXPECT_EQ(runtime::GETPROFILEINT("n", "f", 5), INT_MIN);
  EXPECT_EQ(runtime::GETPROFILEINT("n", "missing", 5), 5);
}

TEST_F(SettingsFileTest, RegionalSettingsTakeDefaultsAndCutOverrides) {
  runtime::regional().am = "xx";
  runtime::read_regional_settings();
  EXPECT_EQ(runtime::regional().am, "AM");
  EXPECT_EQ(runtime::regional().itlzero, 1);
  EXPECT_EQ(runtime::regional().long_date, "ddd', 'MMMM' 'dd', 'yyyy");
  put(dir_ / "sys" / "profile.ini", "[intl]\niTime=1\niTLzero=0\nsTime=.:\ns1159=a.m.\ns2359=\n"
                                    "sShortDate=dd.MM.yyyy\nsLongDate=" + std::string(300, 'd') + "\n");
  runtime::read_regional_settings();
  const runtime::Regional& r = runtime::regional();
  EXPECT_EQ(r.itime, 1);
  EXPECT_EQ(r.itlzero, 0);
  EXPECT_EQ(r.time_separator, ".");
  EXPECT_EQ(r.am, "a.");
  EXPECT_EQ(r.pm, "");
  EXPECT_EQ(r.short_date, "dd.MM.yyyy");
  EXPECT_EQ(r.long_date, std::string(255, 'd'));
}

TEST_F(SettingsFileTest, WriteSyncsNewFileBeforeRenamingItOverTheOld) {
  FaultEnv env;
  runtime::set_settings_env(&env);
  put("Markfit.ini", "[s]\nk=old\n");
  runtime::WRITEINI("s", "k", "new", "./Markfit.ini");
  EXPECT_EQ(env.log, (std::vector<std::string>{"open", "write", "sync", "rename", "syncdir"}));
  EXPECT_EQ(get("Markfit.ini"), "[s]\nk=new\n");
  EXPECT_EQ(files_in(dir_), 1u);
}

TEST_F(SettingsFileTest, FailedWriteKeepsOldFileLeavesNoTempAndRecordsError) {
  for (int fail_at = 1; fail_at <= 5; ++fail_at) {
    FaultEnv env;
    env.fail_at = fail_at;
    runtime::set_settings_env(&env);
    put("Markfit.ini", "[s]\nk=old\n");
    runtime::WRITEINI("s", "k", "new", "./Markfit.ini");
    EXPECT_EQ(runtime::last_settings_error().error, 29) << fail_at;
    // Only a failed directory sync comes after the new file is in place.
    EXPECT_EQ(get("Markfit.ini"), fail_at == 5 ? "[s]\nk=new\n" : "[s]\nk=old\n") << fail_at;
    EXPECT_EQ(files_in(dir_), 1u) << fail_at;
  }
}

TEST_F(SettingsFileTest, UnreadableOrRefusedWriteLeavesFileAlone) {
  FaultEnv env;
  env.fail_read_open = 5;
  runtime::set_settings_env(&env);
  put("Markfit.ini", "[s]\nk=old\n");
  runtime::WRITEINI("s", "j", "new", "./Markfit.ini");
  EXPECT_EQ(runtime::last_settings_error().error, 5);
  EXPECT_TRUE(env.log.empty());
  env.fail_read_open = 0;
  runtime::WRITEINI("s", "j", "new\n[evil]\nx=1", "./Markfit.ini");
  EXPECT_EQ(runtime::last_settings_error().error, runtime::kSettingsInvalidArgument);
  EXPECT_EQ(get("Markfit.ini"), "[s]\nk=old\n");
}

}  // namespace
