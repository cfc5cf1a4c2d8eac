#include "access/posix_acl.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

using namespace std::chrono_literals;

// Runs an acl tool; its stdout.
std::string Acl(const std::string& tool, const std::vector<std::string>& args) {
  test::ChildProcess child(tool, args);
  EXPECT_EQ(child.Finish(30s), 0) << tool << ": " << child.Stderr();
  return child.Stdout();
}

// On a real tmpfs file (tmpfs takes ACLs as devtmpfs does), through the
// kernel's own check of the attribute, read back by getfacl.
class PosixAclTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_.Write("node", {});
    ASSERT_EQ(::chmod(file_.c_str(), 0640), 0);
  }
  void Setfacl(const std::string& entries) { Acl("/usr/bin/setfacl", {"-m", entries, file_}); }
  std::string Getfacl() { return Acl("/usr/bin/getfacl", {"-n", "-c", "-E", file_}); }
  // As the step does: load, grant, store, load again.
  PosixAcl Grant(uid_t uid) {
    struct stat st {};
    EXPECT_EQ(::stat(file_.c_str(), &st), 0);
    PosixAcl acl;
    EXPECT_EQ(PosixAcl::Load(file_, st.st_mode, acl), std::nullopt);
    acl.GrantReadWrite(uid);
    EXPECT_EQ(acl.Store(file_), std::nullopt);
    PosixAcl back;
    EXPECT_EQ(PosixAcl::Load(file_, st.st_mode, back), std::nullopt);
    EXPECT_EQ(back.entries(), acl.entries());
    return back;
  }

  test::TempDir dir_;
  std::string file_;
};

TEST_F(PosixAclTest, WithoutAnAclTheModeIsTheStart) {
  EXPECT_TRUE(Grant(1000).AllowsReadWrite(1000));
  EXPECT_EQ(Getfacl(), "user::rw-\nuser:1000:rw-\ngroup::r--\nmask::rw-\nother::---\n\n");
}

TEST_F(PosixAclTest, OtherEntriesStayAndOnlyThisUsersIsReplaced) {
  Setfacl("u:1001:r--,g:5:r-x,u:1000:--x,u:7:-w-");
  const PosixAcl acl = Grant(1000);
  EXPECT_TRUE(acl.AllowsReadWrite(1000));
  EXPECT_FALSE(acl.AllowsReadWrite(1001));
  EXPECT_EQ(Getfacl(),
            "user::rw-\nuser:7:-w-\nuser:1000:rw-\nuser:1001:r--\ngroup::r--\ngroup:5:r-x\n"
            "mask::rwx\nother::---\n\n");
}

TEST_F(PosixAclTest, AMaskThatHidTheEntryIsRecomputed) {
  Setfacl("u:1000:rw-");
  Setfacl("m::r--");
  PosixAcl before;
  ASSERT_EQ(PosixAcl::Load(file_, 0640, before), std::nullopt);
  EXPECT_FALSE(before.AllowsReadWrite(1000));
  EXPECT_TRUE(Grant(1000).AllowsReadWrite(1000));
  EXPECT_EQ(Getfacl(), "user::rw-\nuser:1000:rw-\ngroup::r--\nmask::rw-\nother::---\n\n");
}

TEST(PosixAclParseTest, OnlyWholeVersion2EntriesAreRead) {
  const std::string good = PosixAcl::FromMode(0660).Serialize();
  ASSERT_EQ(good.size(), 4U + 3 * 8);
  EXPECT_TRUE(PosixAcl::Parse(good));
  EXPECT_FALSE(PosixAcl::Parse(good.substr(0, good.size() - 1)));
  EXPECT_FALSE(PosixAcl::Parse(""));
  std::string version1 = good;
  version1[0] = 1;
  EXPECT_FALSE(PosixAcl::Parse(version1));
}

}  // namespace
}  // namespace tevra
