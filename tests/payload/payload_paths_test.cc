#include "payload/payload_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tests/support/isolated_environment.h"

namespace tevra {
namespace {

class PayloadDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { Use(dir_.path(), std::nullopt); }
  void Use(const std::optional<std::string>& runtime, const std::optional<std::string>& cache) {
    for (const auto& [name, value] :
         {std::pair{"XDG_RUNTIME_DIR", runtime}, {"XDG_CACHE_HOME", cache}}) {
      value ? test::SetEnv(name, *value) : (void)::unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
    }
    test::SetEnv("HOME", dir_.Path("home"));
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
  }

  test::TempDir dir_;
  const std::string at_ = dir_.Path("tevra-updater");
};

TEST_F(PayloadDirectoryTest, ChoosesDirectoryByEnvironmentAndCreatesItPrivate) {
  struct Case {
    std::optional<std::string> runtime, cache;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {dir_.Path("run"), dir_.Path("cache"), dir_.Path("run/tevra-updater")},
      {std::nullopt, dir_.Path("cache"), dir_.Path("cache/tevra-updater")},
      {"", dir_.Path("cache"), dir_.Path("cache/tevra-updater")},     // empty counts as unset
      {"run", dir_.Path("cache"), dir_.Path("cache/tevra-updater")},  // relative is ignored
      {std::nullopt, std::nullopt, dir_.Path("home/.cache/tevra-updater")},
      {dir_.Path("a/b/c"), std::nullopt, dir_.Path("a/b/c/tevra-updater")},
  };
  // A umask that would take the owner's own write bit away.
  const mode_t oldMask = ::umask(0277);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    Use(c.runtime, c.cache);
    EXPECT_EQ(PayloadDirectory(), c.expected);
    EXPECT_EQ(ModeOf(c.expected), S_IFDIR | 0700U);
  }
  EXPECT_EQ(ModeOf(dir_.Path("a/b")), S_IFDIR | 0700U);
  ::umask(oldMask);
  Use(dir_.path(), std::nullopt);
  dir_.Write(PayloadDirectory() + "/" + kPayloadFileName, {1, 2, 3});
  EXPECT_EQ(PayloadDirectory(), at_);
  EXPECT_EQ(dir_.Read(at_ + "/" + kPayloadFileName), (test::Bytes{1, 2, 3}));
}

// Others could swap the extracted files in a directory they can write to.
TEST_F(PayloadDirectoryTest, RefusesWhatIsNotOurOwnPrivateDirectory) {
  ASSERT_EQ(::mkdir(dir_.Path("elsewhere").c_str(), 0700), 0);
  const auto made = [this](mode_t mode, uid_t owner) {
    return [this, mode, owner] {
      EXPECT_EQ(::mkdir(at_.c_str(), 0700), 0);
      EXPECT_EQ(::chmod(at_.c_str(), mode), 0);
      EXPECT_EQ(::chown(at_.c_str(), owner, static_cast<gid_t>(-1)), 0);
    };
  };
  std::vector<std::pair<std::function<void()>, const char*>> cases = {
      {[&] { dir_.Write(at_, {7}); }, "is not a directory"},
      {[&] { EXPECT_EQ(::symlink(dir_.Path("elsewhere").c_str(), at_.c_str()), 0); },
       "is a symbolic link"},
      {[&] { Use(dir_.Write("plain", {1}), std::nullopt); }, "Not a directory"},
      {made(0777, ::geteuid()), "is writable by other users (mode 0777)"},
      {made(0702, ::geteuid()), "is writable by other users"},
  };
  if (::geteuid() == 0) {  // only root can hand a directory to another user
    cases.emplace_back(made(0700, 65534), "belongs to another user");
  }
  for (const auto& [make, problemPart] : cases) {
    SCOPED_TRACE(problemPart);
    std::filesystem::remove_all(at_);
    Use(dir_.path(), std::nullopt);
    make();
    std::string problem;
    EXPECT_EQ(PayloadDirectory(&problem), "");
    EXPECT_NE(problem.find(problemPart), std::string::npos) << problem;
  }
  EXPECT_EQ(dir_.Read(dir_.Path("plain")), test::Bytes{1}) << "nothing replaced";

  // The problem reaches a terminal: a name from the environment cannot steer it.
  Use(dir_.Write("plain\x1b[2J", {1}), std::nullopt);
  std::string problem;
  EXPECT_EQ(PayloadDirectory(&problem), "");
  EXPECT_NE(problem.find("plain\\x1B[2J/"), std::string::npos) << problem;
  EXPECT_EQ(problem.find('\x1b'), std::string::npos) << problem;
}

}  // namespace
}  // namespace tevra
