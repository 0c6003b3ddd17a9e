#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <latch>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "foundation/app_info.hpp"
#include "foundation/user_defaults.hpp"
#include "foundation/user_folders.hpp"
#include "fresh_process.hpp"
#include "testing/bounded_task.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
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

// A file that is there but cannot be opened (left owned by another user, as after running the application
// once with sudo) holds settings all the same: a change cannot build on them, so it throws and the file stays,
// instead of being replaced by the one key.
TEST(UserDefaults, AFileThatCannotBeOpenedIsNotReplaced) {
  foundation::tests::inFreshProcess([] {
    const auto dir = freshDir("unopenable");
    const auto file = dir / "defaults.json";
    std::ofstream(file) << R"({"kept": 1})";
    fs::permissions(file, fs::perms::none);
    struct stat before {};
    if (::stat(file.c_str(), &before) != 0) return false;
    if (::geteuid() == 0) {  // root reads anything: the change is made as a user who cannot
      const uid_t nobody = 65534;
      if (::chown(dir.c_str(), nobody, nobody) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) return false;
    }
    UserDefaults defaults(file);
    bool refused = false;
    try {
      defaults.set("x", 2);
    } catch (const std::system_error&) {
      refused = true;
    }
    struct stat after {};
    const bool kept = ::stat(file.c_str(), &after) == 0 && after.st_ino == before.st_ino &&
                      after.st_size == before.st_size && after.st_uid == before.st_uid;
    fs::remove_all(dir);
    return refused && kept && !defaults.value("x");
  });
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

// A writer killed between making its temporary file and renaming it over the settings leaves that file (up to
// kMaximumFileSize) beside them. The next change removes it, and nothing else: every writer holds the folder's
// lock while its temporary file exists, so one found under that lock is no live writer's.
TEST(UserDefaults, AKilledWritersTemporaryFileGoesWithTheNextChange) {
  const auto dir = freshDir("leftover");
  const auto file = dir / "defaults.json";
  // A writer in a process of its own that the kernel kills in the middle of writing its temporary file: the
  // file grows past the process's size limit.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(10);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    UserDefaults(file).set("payload", std::string(200000, 'x'));
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "the writer was not killed mid-write";
  std::vector<fs::path> leftovers;
  for (const auto& entry : fs::directory_iterator(dir)) leftovers.push_back(entry.path());
  ASSERT_EQ(leftovers.size(), 1u) << "the killed writer left no temporary file";

  // Files that are not this file's temporary files (copies the user keeps, another file's), and a folder: none
  // of them is this library's to remove, however much their names look like one.
  const std::string temporary = leftovers.front().filename().string();
  const std::vector<fs::path> others = {dir / "defaults.json.backup", dir / "defaults.json.Ab3xQ9",
                                        dir / (temporary + "a"), dir / ("other.json" + temporary.substr(13))};
  for (const auto& other : others) std::ofstream(other) << "kept";
  fs::create_directories(dir / (temporary.substr(0, temporary.size() - 6) + "Zz9Zz9"));

  UserDefaults defaults(file);
  defaults.set("a", 1);
  EXPECT_FALSE(fs::exists(leftovers.front())) << leftovers.front();
  for (const auto& other : others) EXPECT_TRUE(fs::exists(other)) << other;
  EXPECT_TRUE(fs::is_directory(dir / (temporary.substr(0, temporary.size() - 6) + "Zz9Zz9")));
  EXPECT_EQ(UserDefaults(file).value("a"), 1);

  // An empty path names no settings file: the hidden files of the working folder are not its own.
  const auto hidden = dir / (temporary.substr(13));
  std::ofstream(hidden) << "kept";
  const fs::path working = fs::current_path();
  fs::current_path(dir);
  EXPECT_THROW(UserDefaults("").set("a", 1), std::system_error);
  fs::current_path(working);
  EXPECT_TRUE(fs::exists(hidden)) << hidden;
}

// A settings file that is a link (to a shared or synced folder, say) stays a link: writes go to its target.
TEST(UserDefaults, WritesGoThroughSymlinksToTheirTarget) {
  const auto dir = freshDir("symlink");
  fs::create_directories(dir / "real");
  fs::create_directories(dir / "links");
  const auto target = dir / "real" / "settings.json";
  std::ofstream(target) << R"({"kept":true})";
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("../real/settings.json", dir / "links" / "relative.json");
  fs::create_symlink(dir / "links" / "relative.json", dir / "absolute.json");  // a chain of two

  for (const auto& link : {dir / "links" / "relative.json", dir / "absolute.json"}) {
    SCOPED_TRACE(link.string());
    UserDefaults defaults(link);
    EXPECT_EQ(defaults.value("kept"), true);
    defaults.set(link.filename().string(), 1);
    EXPECT_TRUE(fs::is_symlink(link)) << "the link was replaced by a file";
  }
  EXPECT_EQ(fileContents(target), nlohmann::json({{"kept", true}, {"relative.json", 1}, {"absolute.json", 1}}));
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "links"), fs::directory_iterator()), 1);
}

// Two objects on one file (two libraries of one process, or two processes) each change their own keys:
// neither loses the other's, and each reads what the other wrote.
TEST(UserDefaults, TwoObjectsOnOneFileLoseNothing) {
  const auto file = freshDir("shared") / "defaults.json";
  UserDefaults first(file), second(file);
  first.set("first", 1);
  second.set("second", 2);
  first.remove("first");
  EXPECT_EQ(first.value("second"), 2);
  EXPECT_EQ(fileContents(file), nlohmann::json({{"second", 2}}));

  constexpr int kEach = 50;
  std::thread other([&] {
    for (int i = 0; i < kEach; ++i) second.set("b" + std::to_string(i), i);
  });
  for (int i = 0; i < kEach; ++i) first.set("a" + std::to_string(i), i);
  other.join();
  const auto written = fileContents(file);
  EXPECT_EQ(written.size(), 2u * kEach + 1);
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(written.value("a" + std::to_string(i), -1), i);
    EXPECT_EQ(written.value("b" + std::to_string(i), -1), i);
  }
  EXPECT_EQ(first.value("b" + std::to_string(kEach - 1)), kEach - 1);
}

// What is not a regular file (a FIFO, a device behind a link, a folder) or is larger than a settings file can
// be is refused with an error naming the path, promptly (a FIFO would block an open, a device never ends), and
// never replaced by a write.
TEST(UserDefaults, RefusesWhatIsNotARegularFileOrIsTooLarge) {
  const auto dir = freshDir("special");
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir / "zero.json");
  fs::create_directories(dir / "folder.json");
  {
    std::ofstream big(dir / "big.json");
    big << "{\"x\":\"" << std::string(UserDefaults::kMaximumFileSize, 'x') << "\"}";
  }
  for (const char* name : {"fifo.json", "zero.json", "folder.json", "big.json"}) {
    SCOPED_TRACE(name);
    const auto file = dir / name;
    const auto refused = testing_support::runWithin(10s, [&] {
      try {
        UserDefaults defaults(file);
      } catch (const std::system_error& error) {
        return std::string(error.what());
      }
      return std::string("accepted");
    });
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find(file.string()), std::string::npos) << *refused;
  }

  // A file that turns into something else after it was opened: reads and writes refuse it, and the FIFO stays.
  const auto file = dir / "swapped.json";
  UserDefaults defaults(file);
  defaults.set("kept", 1);
  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_TRUE(testing_support::runWithin(10s, [&] {
    EXPECT_THROW(defaults.value("kept"), std::system_error);
    EXPECT_THROW(defaults.set("kept", 2), std::system_error);
  }));
  EXPECT_TRUE(fs::is_fifo(file));
}

// A write that would make the file larger than can be read back is refused and changes nothing.
TEST(UserDefaults, AWriteBeyondTheSizeCapChangesNothing) {
  const auto file = freshDir("cap") / "defaults.json";
  UserDefaults defaults(file);
  defaults.set("small", 1);
  EXPECT_THROW(defaults.set("huge", std::string(UserDefaults::kMaximumFileSize, 'x')), std::system_error);
  EXPECT_FALSE(defaults.value("huge").has_value());
  EXPECT_TRUE(fileContents(file) == nlohmann::json({{"small", 1}})) << "the file changed";
}

// Nesting is bounded both ways: a file nested deeper than kMaximumDepth (made by another program) is ignored
// like any file that does not hold settings, never read by recursion that would overflow the stack; and a
// value that would make the file deeper, or that JSON cannot hold (NaN, infinity), is refused and changes
// nothing, so that everything written can be read back as written.
TEST(UserDefaults, NestingIsBoundedAndOnlyWhatReadsBackIsWritten) {
  const auto dir = freshDir("depth");
  const auto deepFile = dir / "deep.json";
  const std::size_t depth = 200000;
  std::ofstream(deepFile) << "{\"k\":" << std::string(depth, '[') << std::string(depth, ']') << "}";
  {
    UserDefaults defaults(deepFile);
    EXPECT_FALSE(defaults.value("k"));
    defaults.set("x", 1);
  }
  EXPECT_EQ(fileContents(deepFile), nlohmann::json({{"x", 1}}));

  const auto nested = [](std::size_t levels) {
    nlohmann::json value = 1;
    for (std::size_t i = 0; i < levels; ++i) value = nlohmann::json::array({std::move(value)});
    return value;
  };
  const auto file = dir / "defaults.json";
  UserDefaults defaults(file);
  // Brackets and quotes inside text are not nesting.
  const std::string brackets = std::string(100, '[') + "\"\\" + std::string(100, '{');
  defaults.set("kept", brackets);
  EXPECT_EQ(UserDefaults(file).value("kept"), brackets);
  // With the file's own object, kMaximumDepth - 1 arrays are as deep as a file may go.
  defaults.set("deepest", nested(UserDefaults::kMaximumDepth - 1));
  EXPECT_EQ(UserDefaults(file).value("deepest"), nested(UserDefaults::kMaximumDepth - 1));
  EXPECT_THROW(defaults.set("deeper", nested(UserDefaults::kMaximumDepth)), std::invalid_argument);
  EXPECT_THROW(defaults.set("nan", std::nan("")), std::invalid_argument);
  EXPECT_THROW(defaults.set("list", {1.0, std::numeric_limits<double>::infinity()}), std::invalid_argument);
  for (const char* refused : {"deeper", "nan", "list"}) EXPECT_FALSE(defaults.value(refused)) << refused;
  EXPECT_EQ(fileContents(file), nlohmann::json({{"kept", brackets}, {"deepest", nested(UserDefaults::kMaximumDepth - 1)}}));
}

// Every kind of value a settings file can hold reads back as it was given, through another object; a value
// JSON has no text for (what a failed non-throwing parse gives, binary) is refused, as it would otherwise
// leave a file that reads back as something else, or as no settings at all.
TEST(UserDefaults, ValuesReadBackAsGivenAndOthersAreRefused) {
  const auto file = freshDir("kinds") / "defaults.json";
  UserDefaults defaults(file);
  const nlohmann::json values = {
      {"null", nullptr},
      {"bool", false},
      {"min", std::numeric_limits<std::int64_t>::min()},
      {"max", std::numeric_limits<std::uint64_t>::max()},
      {"double", 0.1},
      {"negativeZero", -0.0},
      {"text", std::string("a\0\"\\\n\u00e9", 7)},
      {"empty", nlohmann::json::object()},
      {"list", {nlohmann::json::array(), 1.5e300, "x"}},
  };
  for (const auto& [key, value] : values.items()) defaults.set(key, value);

  const nlohmann::json failedParse = nlohmann::json::parse("{oops", nullptr, false);
  EXPECT_THROW(defaults.set("failedParse", failedParse), std::invalid_argument);
  EXPECT_THROW(defaults.set("inList", {1, failedParse}), std::invalid_argument);
  EXPECT_THROW(defaults.set("binary", nlohmann::json::binary({1, 2, 3})), std::invalid_argument);

  const UserDefaults other(file);
  for (const auto& [key, value] : values.items()) {
    const auto read = other.value(key);
    ASSERT_TRUE(read) << key;
    EXPECT_EQ(*read, value) << key;
    EXPECT_EQ(read->type(), value.type()) << key;
  }
  EXPECT_TRUE(std::signbit(other.value("negativeZero")->get<double>()));
  EXPECT_EQ(fileContents(file), values);
}

// Another writer that holds the folder's lock (a process stopped mid-write, say) holds back only the writes
// that need it: reads of the same object go on meanwhile, and the held-back write gives up in the end.
TEST(UserDefaults, AReadDoesNotWaitBehindAWriteHeldByAnotherWriter) {
  const auto dir = freshDir("held");
  const auto file = dir / "defaults.json";
  UserDefaults defaults(file);
  defaults.set("kept", 1);
  const int held = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);  // as another process's writer would
  std::latch writing(1);
  auto write = testing_support::launch([&] {
    writing.count_down();
    try {
      defaults.set("kept", 2);
    } catch (const std::system_error&) {
      return true;
    }
    return false;
  });
  writing.wait();
  const auto read = testing_support::runWithin(5s, [&] { return defaults.value("kept"); });
  ASSERT_TRUE(read) << "the read waited for the held-back write";
  EXPECT_EQ(*read, 1);
  ASSERT_EQ(write.wait_for(30s), std::future_status::ready);
  EXPECT_TRUE(write.get()) << "the write did not give up";
  ::close(held);
  EXPECT_EQ(UserDefaults(file).value("kept"), 1);
}

// The shared defaults follow the application's identity and configuration folder as they are when asked for:
// an application that names itself after something already used them (a library made at start) keeps its
// settings in its own folder, not in the one of the first call. In a process of its own: both are process-wide.
TEST(UserDefaults, StandardFollowsTheIdentityAndFolderOfTheMomentItIsAskedFor) {
  const auto first = freshDir("standard-first");
  const auto second = freshDir("standard-second");
  foundation::tests::inFreshProcess([&] {
    ::setenv("XDG_CONFIG_HOME", first.c_str(), 1);
    foundation::AppInfo::setBundleIdentifier("");
    UserDefaults& early = UserDefaults::standard();
    early.set("earlyKey", 1);

    foundation::AppInfo::setBundleIdentifier("com.example.named");
    UserDefaults& named = UserDefaults::standard();
    named.set("namedKey", 2);
    ::setenv("XDG_CONFIG_HOME", second.c_str(), 1);
    UserDefaults::standard().set("movedKey", 3);

    // What each wrote is in the file its identity and folder name, and only there.
    const auto read = [](const fs::path& file) {
      std::ifstream in(file);
      return in ? nlohmann::json::parse(in, nullptr, false) : nlohmann::json();
    };
    const auto unnamed = read(first / "tolvaran" / "defaults.json");
    const auto firstNamed = read(first / "com.example.named" / "defaults.json");
    const auto secondNamed = read(second / "com.example.named" / "defaults.json");
    const bool filesRight = unnamed == nlohmann::json{{"earlyKey", 1}} &&
                            firstNamed == nlohmann::json{{"namedKey", 2}} &&
                            secondNamed == nlohmann::json{{"movedKey", 3}};
    // A reference taken earlier keeps its file, and asking again under the same identity gives the same object.
    ::setenv("XDG_CONFIG_HOME", first.c_str(), 1);
    const bool objectsRight = &UserDefaults::standard() == &named && &named != &early &&
                              early.value("earlyKey") == nlohmann::json(1) && !named.value("earlyKey");
    fs::remove_all(first);
    fs::remove_all(second);
    return filesRight && objectsRight;
  });
  fs::remove_all(first);
  fs::remove_all(second);
}

// A configuration folder given as a relative path is no folder at all (the base directory rules say to ignore
// it): settings go under $HOME/.config, not into whatever folder the process happens to work in.
TEST(UserDefaults, StandardIgnoresARelativeConfigurationFolder) {
  const auto home = freshDir("standard-home");
  foundation::tests::inFreshProcess([&] {
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", "relative-config", 1);
    fs::current_path(home);
    foundation::AppInfo::setBundleIdentifier("com.example.relative");
    return UserDefaults::standard().file() == home / ".config" / "com.example.relative" / "defaults.json";
  });
  fs::remove_all(home);
}

// Without HOME (a service started with an empty environment) the settings still go to the user's own home, as
// the account names it, never to the shared temporary folder where another user could have put a folder or a
// link of theirs in their way.
TEST(UserDefaults, StandardWithoutHomeUsesTheAccountsHome) {
  foundation::tests::inFreshProcess([] {
    ::unsetenv("HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    const passwd* account = ::getpwuid(::geteuid());
    if (!account || !account->pw_dir || !*account->pw_dir) return false;
    const fs::path expected = fs::path(account->pw_dir) / ".config" / "com.example.homeless" / "defaults.json";
    foundation::AppInfo::setBundleIdentifier("com.example.homeless");
    return UserDefaults::standard().file() == expected;
  });
}

// Caches follow the rules of settings: an image cache made by a service with an empty environment must not land
// in the shared temporary folder either.
TEST(UserFolders, CachesFollowTheRulesOfSettings) {
  foundation::tests::inFreshProcess([] {
    ::unsetenv("HOME");
    ::setenv("XDG_CACHE_HOME", "relative/cache", 1);
    const passwd* account = ::getpwuid(::geteuid());
    if (!account || !account->pw_dir || !*account->pw_dir) return false;
    if (foundation::userCacheFolder() != fs::path(account->pw_dir) / ".cache") return false;
    ::setenv("XDG_CACHE_HOME", "/somewhere/cache", 1);
    return foundation::userCacheFolder() == fs::path("/somewhere/cache");
  });
}

// A reader tells another writer's change by the file it finds. A program that rewrites the file in place
// and keeps its time (as a copy or a restore that preserves times does) leaves the same inode, size and
// modification time: only the file's status-change time, which no program can set, says it changed.
TEST(UserDefaults, AChangeThatKeepsTheFilesTimeIsSeen) {
  const auto file = freshDir("kept-time") / "defaults.json";
  const auto write = [&](const std::string& value) { std::ofstream(file) << nlohmann::json{{"k", value}}.dump(); };
  write("a");
  UserDefaults reader(file);
  EXPECT_EQ(reader.value("k"), "a");
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);
  write("b");
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  EXPECT_EQ(reader.value("k"), "b");

  // A writer of its own starts from what the file holds, whatever the reader last saw.
  UserDefaults writer(file);
  writer.set("other", 1);
  EXPECT_EQ(reader.value("other"), 1);
  EXPECT_EQ(reader.value("k"), "b");
}
