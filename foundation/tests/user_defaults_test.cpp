#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/user_defaults.hpp"

namespace fs = std::filesystem;
using foundation::UserDefaults;

namespace {
fs::path freshDir(const std::string& name) {
  auto dir = fs::temp_directory_path() / ("foundation-defaults-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}
}  // namespace

TEST(UserDefaults, ValuesSurviveAReopen) {
  const auto file = freshDir("reopen") / "nested" / "defaults.json";
  {
    UserDefaults defaults(file);
    EXPECT_FALSE(defaults.value("missing"));
    defaults.set("throttle", {{"a", 1}});
    defaults.set("flag", true);
    defaults.remove("flag");
  }
  UserDefaults reopened(file);
  EXPECT_EQ(reopened.value("throttle"), nlohmann::json({{"a", 1}}));
  EXPECT_FALSE(reopened.value("flag"));
}

TEST(UserDefaults, ABrokenFileIsIgnoredAndReplacedOnWrite) {
  const auto file = freshDir("broken") / "defaults.json";
  std::ofstream(file) << "{not json";
  UserDefaults defaults(file);
  EXPECT_FALSE(defaults.value("x"));
  defaults.set("x", 1);
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(nlohmann::json::parse(text.str()), nlohmann::json({{"x", 1}}));
}

namespace {
nlohmann::json fileContents(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return nlohmann::json::parse(text.str(), nullptr, false);
}
}  // namespace

// A value that cannot be encoded (text that is not UTF-8) is refused without a trace, and does not poison the
// writes after it.
TEST(UserDefaults, AnUnwritableValueChangesNothingAndLaterWritesPersist) {
  const auto file = freshDir("unwritable") / "defaults.json";
  UserDefaults defaults(file);
  defaults.set("kept", "before");

  EXPECT_ANY_THROW(defaults.set("bad", std::string("\xff\xfe")));
  EXPECT_ANY_THROW(defaults.set("kept", std::string("\xc3")));
  EXPECT_FALSE(defaults.value("bad"));
  EXPECT_EQ(defaults.value("kept"), "before");
  EXPECT_EQ(fileContents(file), nlohmann::json({{"kept", "before"}}));

  defaults.set("after", 2);
  defaults.remove("kept");
  EXPECT_EQ(fileContents(file), nlohmann::json({{"after", 2}}));
  EXPECT_EQ(UserDefaults(file).value("after"), 2);
}

// A writer killed at an arbitrary point leaves the previous or the next complete document, never a torn one.
TEST(UserDefaults, WriterKilledMidWriteLeavesAWholeFile) {
  const auto dir = freshDir("kill");
  const auto file = dir / "defaults.json";
  {
    UserDefaults seed(file);
    seed.set("generation", 0);
  }
  for (int round = 0; round < 5; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      UserDefaults writer(file);
      const std::string big(200000, 'x');  // large enough that writes take a while
      for (int i = 1;; ++i) {
        writer.set("payload", big);
        writer.set("generation", i);
        if (i == 1) {
          char c = 1;
          (void)!::write(ready[1], &c, 1);
        }
      }
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    const auto parsed = nlohmann::json::parse(text.str(), nullptr, false);
    ASSERT_TRUE(parsed.is_object()) << "round " << round << ": torn file";
    EXPECT_TRUE(parsed.contains("generation"));
  }
}
