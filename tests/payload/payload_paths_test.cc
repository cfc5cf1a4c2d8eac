#include "payload/payload_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

// Each case runs in its own process, so changing the environment here
// affects nothing else; the fixture still puts it back.
class PayloadDirectoryTest : public ::testing::Test {
 protected:
  PayloadDirectoryTest() {
    for (const char* name : kVars) {
      const char* v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): single thread
      saved_.emplace_back(name, v != nullptr ? std::optional<std::string>(v) : std::nullopt);
    }
    Set("XDG_RUNTIME_DIR", std::nullopt);
    Set("XDG_CACHE_HOME", std::nullopt);
    Set("HOME", dir_.Path("home"));
  }
  ~PayloadDirectoryTest() override {
    for (const auto& [name, value] : saved_) {
      Set(name, value);
    }
  }

  static void Set(const char* name, const std::optional<std::string>& value) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): single thread
    const int rc = value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    ASSERT_EQ(rc, 0);
  }

  static mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
  }

  static constexpr const char* kVars[] = {"XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "HOME"};
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
  test::TempDir dir_;
};

TEST_F(PayloadDirectoryTest, ChoosesDirectoryByEnvironmentAndCreatesItPrivate) {
  struct Case {
    const char* name;
    std::optional<std::string> runtime;
    std::optional<std::string> cache;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"runtime dir wins", dir_.Path("run"), dir_.Path("cache"), dir_.Path("run/tevra-updater")},
      {"trailing slash", dir_.Path("run2/"), std::nullopt, dir_.Path("run2/tevra-updater")},
      {"cache without runtime", std::nullopt, dir_.Path("cache"), dir_.Path("cache/tevra-updater")},
      {"empty runtime counts as unset", "", dir_.Path("cache"), dir_.Path("cache/tevra-updater")},
      {"relative runtime is ignored", "run", dir_.Path("cache"), dir_.Path("cache/tevra-updater")},
      {"home cache, parents created", std::nullopt, std::nullopt,
       dir_.Path("home/.cache/tevra-updater")},
      {"empty cache counts as unset", std::nullopt, "", dir_.Path("home/.cache/tevra-updater")},
      {"deep missing parents", dir_.Path("a/b/c"), std::nullopt, dir_.Path("a/b/c/tevra-updater")},
  };
  // A umask that would take the owner's own write bit away.
  const mode_t oldMask = ::umask(0277);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Set("XDG_RUNTIME_DIR", c.runtime);
    Set("XDG_CACHE_HOME", c.cache);
    EXPECT_EQ(PayloadDirectory(), c.expected);
    EXPECT_EQ(ModeOf(c.expected), S_IFDIR | 0700u);
  }
  // Parents it had to create are private too.
  EXPECT_EQ(ModeOf(dir_.Path("home/.cache")), S_IFDIR | 0700u);
  EXPECT_EQ(ModeOf(dir_.Path("a/b")), S_IFDIR | 0700u);
  ::umask(oldMask);
}

TEST_F(PayloadDirectoryTest, ReusesExistingDirectoryAndKeepsItsFiles) {
  Set("XDG_RUNTIME_DIR", dir_.path());
  const std::string first = PayloadDirectory();
  ASSERT_FALSE(first.empty());
  dir_.Write(first + "/" + kPayloadFileName, {1, 2, 3});
  EXPECT_EQ(PayloadDirectory(), first);
  EXPECT_EQ(dir_.Read(first + "/" + kPayloadFileName), (test::Bytes{1, 2, 3}));
}

TEST_F(PayloadDirectoryTest, RefusesWhatIsNotOurOwnRealDirectory) {
  Set("XDG_RUNTIME_DIR", dir_.path());
  const std::string at = dir_.Path("tevra-updater");

  dir_.Write(at, {7});
  errno = 0;
  EXPECT_EQ(PayloadDirectory(), "");
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(dir_.Read(at), test::Bytes{7});
  ASSERT_EQ(::unlink(at.c_str()), 0);

  // A link to a directory, even a good one, could have been planted to
  // redirect the extracted files.
  ASSERT_EQ(::mkdir(dir_.Path("elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(dir_.Path("elsewhere").c_str(), at.c_str()), 0);
  errno = 0;
  EXPECT_EQ(PayloadDirectory(), "");
  EXPECT_EQ(errno, ELOOP);
  ASSERT_EQ(::unlink(at.c_str()), 0);

  // Others could swap the extracted files in a directory they can write to.
  ASSERT_EQ(::mkdir(at.c_str(), 0700), 0);
  for (const mode_t mode : {0777u, 0720u, 0702u}) {
    ASSERT_EQ(::chmod(at.c_str(), mode), 0);
    std::string problem;
    EXPECT_EQ(PayloadDirectory(&problem), "");
    EXPECT_NE(problem.find("tevra-updater is writable by other users"), std::string::npos);
  }

  // A parent that is a regular file.
  Set("XDG_RUNTIME_DIR", dir_.Write("plain", {1}));
  errno = 0;
  EXPECT_EQ(PayloadDirectory(), "");
  EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(PayloadDirectoryTest, RefusesDirectoryOwnedBySomeoneElse) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to hand a directory to another user";
  }
  Set("XDG_RUNTIME_DIR", dir_.path());
  const std::string at = dir_.Path("tevra-updater");
  ASSERT_EQ(::mkdir(at.c_str(), 0700), 0);
  ASSERT_EQ(::chown(at.c_str(), 65534, 65534), 0);
  errno = 0;
  EXPECT_EQ(PayloadDirectory(), "");
  EXPECT_EQ(errno, EPERM);
}

TEST(SelfExecutablePathTest, NamesThisProgramsFile) {
  const std::string self = SelfExecutablePath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self.front(), '/');
  struct stat a {};
  struct stat b {};
  ASSERT_EQ(::stat(self.c_str(), &a), 0);
  ASSERT_EQ(::stat("/proc/self/exe", &b), 0);
  EXPECT_EQ(a.st_dev, b.st_dev);
  EXPECT_EQ(a.st_ino, b.st_ino);
}

}  // namespace
}  // namespace tevra
