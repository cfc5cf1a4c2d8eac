// What root may be asked to run, on real files: only a file that no user
// but root can change, nor any folder above it.
#include "access/trusted_program.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

TEST(TrustedProgramTest, OnlyWhatNoUserButRootCanChange) {
  EXPECT_TRUE(TrustedProgram::Check("/usr/bin/true").trusted());
  // Everyone may write /tmp: whoever made the folder there may swap it.
  const test::TempDir downloads;
  const std::string copy = downloads.Write("tevra-updater", {0x7f});
  ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
  const TrustedProgram inTmp = TrustedProgram::Check(copy);
  EXPECT_FALSE(inTmp.trusted());
  EXPECT_NE(inTmp.cause.find("/tmp (mode 1777) may be written by everyone"), std::string::npos)
      << inTmp.cause;
  // A link is followed: what counts is the file root would run.
  std::filesystem::create_symlink("/usr/bin/true", downloads.Path("link"));
  const TrustedProgram linked = TrustedProgram::Check(downloads.Path("link"));
  EXPECT_TRUE(linked.trusted()) << linked.cause;
  EXPECT_EQ(linked.path, "/usr/bin/true");
  EXPECT_FALSE(TrustedProgram::Check(downloads.Path("missing")).trusted());
  EXPECT_FALSE(TrustedProgram::Check(downloads.path()).trusted()) << "a folder is no program";

  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root for a root-owned folder of the test's own";
  }
  // Under /run, root's own: trusted until a user or a group may write.
  std::string made = "/run/tevra-trust-XXXXXX";
  ASSERT_NE(::mkdtemp(made.data()), nullptr);
  const std::filesystem::path dir = made;
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  const std::string program = dir / "tevra-updater";
  std::filesystem::copy_file(copy, program);
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  EXPECT_TRUE(TrustedProgram::Check(program).trusted()) << TrustedProgram::Check(program).cause;
  struct Case {
    const char* what;
    std::string path;
    mode_t mode;
    uid_t owner;
    const char* cause;
  };
  for (const Case& c : {
           Case{"a user's file", program, 0755, 65534, "belongs to uid 65534, not root"},
           Case{"a group may write it", program, 0775, 0, "may be written by its group"},
           Case{"a group may write the folder", dir, 0775, 0, "may be written by its group"},
           Case{"a user's folder", dir, 0755, 65534, "belongs to uid 65534, not root"},
       }) {
    ASSERT_EQ(::chown(c.path.c_str(), c.owner, 0), 0);
    ASSERT_EQ(::chmod(c.path.c_str(), c.mode), 0);
    const TrustedProgram checked = TrustedProgram::Check(program);
    EXPECT_FALSE(checked.trusted()) << c.what;
    EXPECT_EQ(checked.cause.find(c.path + " "), 0U) << c.what << ": " << checked.cause;
    EXPECT_NE(checked.cause.find(c.cause), std::string::npos) << c.what << ": " << checked.cause;
    ASSERT_EQ(::chown(c.path.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(c.path.c_str(), 0755), 0);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tevra
