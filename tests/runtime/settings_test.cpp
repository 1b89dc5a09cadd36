#include "runtime/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/fault_env.h"
#include "runtime/profile.h"
#include "runtime/regional.h"

namespace fs = std::filesystem;
using namespace std::string_literals;
using runtime::GETINI;
using runtime::ini_lookup;
using runtime::ini_write;
using runtime::WRITEINI;

namespace {

TEST(IniLookup, MatchesFirstSectionAndKeyWithoutRegardToCaseOrBlanks) {
  const std::string text = "[ Write Html ] junk\n \tMode\t =  a b  \nmode=2\n[b]\n[WRITE HTML]\nx=3\n";
  EXPECT_EQ(ini_lookup(text, " write html\t", "MODE "), "a b");
  EXPECT_EQ(ini_lookup(text, "Write Html", "x"), std::nullopt);
  EXPECT_EQ(ini_lookup(text, "Write", "Mode"), std::nullopt);
}

TEST(IniLookup, SkipsLinesWithoutEqualsAndStripsOnePairOfQuotes) {
  const std::string text = "k=top\r\n[s]\r\n; note\r\nk\r\n[x=1\r\na=\"x\"\nb=' y '\nc=\"z'\nn\0=\0"s;
  EXPECT_EQ(ini_lookup(text, "s", "k"), std::nullopt);
  EXPECT_EQ(ini_lookup(text, "s", "[x"), "1");
  EXPECT_EQ(ini_lookup(text, "s", "a"), "x");
  EXPECT_EQ(ini_lookup(text, "s", "b"), " y ");
  EXPECT_EQ(ini_lookup(text, "s", "c"), "\"z'");
  EXPECT_EQ(ini_lookup(text, "s", "n\0"s), "\0"s);
}

TEST(IniWrite, ReplacesValueInPlaceKeepingEveryOtherLine) {
  EXPECT_EQ(ini_write("; head\n[s]\n; c\nKey = old  \nk2=v\n\n[t]\nKey=t\n", "S", "key", "  new "),
            "; head\n[s]\n; c\nKey = new\nk2=v\n\n[t]\nKey=t\n");
}

TEST(IniWrite, AppendsKeyAfterLastKeyLineAndSectionAtEndWithFileLineEnds) {
  EXPECT_EQ(ini_write("[s]\na=1\n; about t\n\n[t]\n", "s", "b", "2"), "[s]\na=1\nb=2\n; about t\n\n[t]\n");
  EXPECT_EQ(ini_write("[s]", "s", "b", "2"), "[s]\nb=2\n");
  EXPECT_EQ(ini_write("", "s", "k", "v"), "[s]\nk=v\n");
  EXPECT_EQ(ini_write("[a]\r\nx=1", "s", "k", "v"), "[a]\r\nx=1\r\n[s]\r\nk=v\r\n");
}

TEST(IniWrite, DeletesKeyOrEverySectionOfTheName) {
  const std::string text = "[s]\nk=1\nj=2\nK=3\n[t]\nk=4\n[S]\nk=5\n";
  EXPECT_EQ(ini_write(text, "s", "k", std::nullopt), "[s]\nj=2\n[t]\nk=4\n[S]\nk=5\n");
  EXPECT_EQ(ini_write(text, "s", std::nullopt, std::nullopt), "[t]\nk=4\n");
  EXPECT_EQ(ini_write(text, "none", "k", std::nullopt), text);
}

TEST(IniWrite, RefusesTextThatWouldNotReadBackAsWritten) {
  for (auto [s, k, v] : {std::tuple{"s", "k", "a\nb"}, {"s", "a=b", "v"}, {"s", "[k", "v]"}, {"x]", "k", "v"}}) {
    EXPECT_FALSE(runtime::ini_writable(s, k, v)) << k;
    EXPECT_EQ(ini_write("[s]\n", s, k, v), "[s]\n") << k;
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937_64 rng(std::random_device{}());
    do dir_ = fs::temp_directory_path() / ("markfit-settings-" + std::to_string(rng()));
    while (!fs::create_directory(dir_));
    old_cwd_ = fs::current_path();
    fs::current_path(dir_);
    for (const char* name : kVariables) saved_.push_back(std::getenv(name) ? std::getenv(name) : "");
    ::setenv("MARKFIT_PROFILE", (dir_ / "sys/profile.ini").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_ / "xdg").c_str(), 1);
    runtime::regional() = runtime::Regional{};
  }
  void TearDown() override {
    runtime::set_settings_env(nullptr);
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
    for (int i = 0; i < 3; ++i) ::setenv(kVariables[i], saved_[i].c_str(), 1);
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
  std::ptrdiff_t files_in_dir() { return std::distance(fs::directory_iterator(dir_), {}); }

  static constexpr const char* kVariables[] = {"MARKFIT_PROFILE", "XDG_CONFIG_HOME", "HOME"};
  std::vector<std::string> saved_;
  fs::path dir_, old_cwd_;
};

TEST_F(SettingsFileTest, ReadsDefaultsWritesAndDeletes) {
  EXPECT_EQ(GETINI("s", "k", "0", ".\\Markfit.ini"), "0");
  WRITEINI("WriteHtml", "Mode", "2", ".\\Markfit.ini");
  WRITEINI("Toolbox", "XPosit", "10", "./Markfit.ini");
  EXPECT_EQ(GETINI("writehtml", "mode", "0", "./Markfit.ini"), "2");
  EXPECT_EQ(GETINI("WriteHtml", "XPosit", "0", "./Markfit.ini"), "0");
  WRITEINI("WriteHtml", "Mode", std::nullopt, "./Markfit.ini");
  EXPECT_EQ(get("Markfit.ini"), "[WriteHtml]\n[Toolbox]\nXPosit=10\n");
  WRITEINI("WriteHtml", std::nullopt, std::nullopt, "./Markfit.ini");
  WRITEINI("Gone", std::nullopt, std::nullopt, "./Other.ini");
  EXPECT_EQ(get("Markfit.ini"), "[Toolbox]\nXPosit=10\n");
  EXPECT_FALSE(fs::exists("Other.ini"));
  EXPECT_TRUE(runtime::last_settings_error().ok());
}

TEST_F(SettingsFileTest, CutsTextsToTheLimitsOfOneCall) {
  put("Markfit.ini", "[s]\nk=" + std::string(1500, 'v') + "\n");
  EXPECT_EQ(GETINI("s", "k", "", "./Markfit.ini"), std::string(1023, 'v'));
  EXPECT_EQ(GETINI("s", "no", std::string(1500, 'd'), "./Markfit.ini"), std::string(1023, 'd'));
  WRITEINI(std::string(70, 's'), std::string(70, 'k'), std::string(1500, 'w'), "./Markfit.ini");
  EXPECT_EQ(GETINI(std::string(63, 's'), std::string(63, 'k'), "", "./Markfit.ini"), std::string(1023, 'w'));
  EXPECT_EQ(get("Markfit.ini").find(std::string(64, 'k')), std::string::npos);
}

TEST_F(SettingsFileTest, NamesFollowCurrentDirectoryOrProfileDirectory) {
  fs::create_directory("sub");
  WRITEINI("s", "k", "top", ".\\Markfit.ini");
  fs::current_path("sub");
  EXPECT_EQ(GETINI("s", "k", "0", ".\\Markfit.ini"), "0");
  WRITEINI("s", "k", "sub", ".\\Markfit.ini");
  WRITEINI("s", "k", "bare", "Bare.ini");
  EXPECT_EQ(get(dir_ / "sub/Markfit.ini"), "[s]\nk=sub\n");
  EXPECT_EQ(get(dir_ / "sys/Bare.ini"), "[s]\nk=bare\n");
  EXPECT_EQ(get(dir_ / "Markfit.ini"), "[s]\nk=top\n");
}

TEST_F(SettingsFileTest, ProfilePathComesFromEnvironment) {
  EXPECT_EQ(runtime::profile_path(), dir_ / "sys/profile.ini");
  WRITEINI("intl", "iTime", "1", "");
  EXPECT_EQ(get(dir_ / "sys/profile.ini"), "[intl]\niTime=1\n");
  ::unsetenv("MARKFIT_PROFILE");
  EXPECT_EQ(runtime::profile_path(), dir_ / "xdg/markfit/profile.ini");
  WRITEINI("OVKESTREL", "Trace", "1", "");
  EXPECT_EQ(runtime::GETPROFILESTR("ovkestrel", "trace", "0"), "1");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);
  ::setenv("HOME", dir_.c_str(), 1);
  EXPECT_EQ(runtime::profile_path(), dir_ / ".config/markfit/profile.ini");
}

TEST_F(SettingsFileTest, ProfileIntegersAndRegionalSettings) {
  runtime::regional().am = "xx";
  runtime::read_regional_settings();
  EXPECT_EQ(runtime::regional().am, "AM");
  EXPECT_EQ(runtime::regional().itlzero, 1);
  put(dir_ / "sys/profile.ini", "[intl]\niTime=1px\niTLzero=-0\nsTime=.:\ns1159=a.m.\ns2359=\nsLongDate=" +
                                    std::string(300, 'd') + "\n[n]\nc=abc\ne=+99999999999\nf=-99999999999\n");
  EXPECT_EQ(runtime::GETPROFILEINT("n", "c", 5), 5);
  EXPECT_EQ(runtime::GETPROFILEINT("n", "e", 5), INT_MAX);
  EXPECT_EQ(runtime::GETPROFILEINT("n", "f", 5), INT_MIN);
  runtime::read_regional_settings();
  const runtime::Regional& r = runtime::regional();
  EXPECT_EQ(std::tie(r.itime, r.itlzero, r.time_separator, r.am, r.pm), std::make_tuple(1, 0, ".", "a.", ""));
  EXPECT_EQ(r.short_date, "MM/dd/yy");
  EXPECT_EQ(r.long_date, std::string(255, 'd'));
}

// Fails the write path at each of its steps in turn, then cuts the power:
// the file is always the old one or the new one, whole, and a failure
// leaves no temporary file and is recorded.
TEST_F(SettingsFileTest, WriteIsAtomicUnderFaultsAndPowerCuts) {
  for (std::uint64_t n = 1;; ++n) {
    put("Markfit.ini", "[s]\nk=old\n");
    platform::FaultEnv env(platform::Env::posix(), n);
    env.fail_nth(n, platform::fault_op::mutating, 0, true);
    runtime::set_settings_env(&env);
    WRITEINI("s", "k", "new", "./Markfit.ini");
    const bool failed = env.faults_fired() > 0;
    EXPECT_EQ(runtime::last_settings_error().ok(), !failed) << n;
    EXPECT_EQ(files_in_dir(), 1) << n;
    ASSERT_TRUE(env.power_cut(platform::PowerCut::tear_all_writes).ok());
    EXPECT_EQ(get("Markfit.ini"), failed ? "[s]\nk=old\n" : "[s]\nk=new\n") << n;
    if (!failed) break;
  }
}

TEST_F(SettingsFileTest, SeveralValuesGoInOneReplacementOrNotAtAll) {
  put("Markfit.ini", "[w]\nX=1\n");
  platform::FaultEnv env(platform::Env::posix());
  runtime::set_settings_env(&env);
  WRITEINI("w", {{"Maximize", "No"}, {"X", "5"}, {"Gone", std::nullopt}, {"Y", "7"}}, "./Markfit.ini");
  EXPECT_EQ(get("Markfit.ini"), "[w]\nX=5\nMaximize=No\nY=7\n");
  EXPECT_EQ(env.operations(platform::fault_op::sync), 1u);
  WRITEINI("w", {{"X", "6"}, {"Y", "a\nb"}}, "./Markfit.ini");
  EXPECT_EQ(runtime::last_settings_error().error, runtime::kSettingsInvalidArgument);
  EXPECT_EQ(get("Markfit.ini"), "[w]\nX=5\nMaximize=No\nY=7\n");
}

TEST_F(SettingsFileTest, UnreadableFileOrRefusedTextLeavesFileAlone) {
  platform::FaultEnv env(platform::Env::posix());
  runtime::set_settings_env(&env);
  put("Markfit.ini", "[s]\nk=old\n");
  env.fail_nth(1, platform::fault_op::read, 5);
  WRITEINI("s", "j", "new", "./Markfit.ini");
  EXPECT_EQ(runtime::last_settings_error().error, 5);
  WRITEINI("s", "j", "new\n[evil]\nx=1", "./Markfit.ini");
  EXPECT_EQ(runtime::last_settings_error().error, runtime::kSettingsInvalidArgument);
  EXPECT_EQ(env.operations(), 0u);
  EXPECT_EQ(get("Markfit.ini"), "[s]\nk=old\n");
}

}  // namespace
