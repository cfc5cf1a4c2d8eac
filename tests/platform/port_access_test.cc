// Who may use a device node, as another user sees it: real files with real
// owners, groups and modes, looked at from a child that gave up root.
#include "platform/port_access.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/temp_dir.h"

namespace tevra::test {
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;  // nobody's own group in the user database

// ExaminePortAccess(path) in a child running as nobody with `gid` and the
// supplementary `groups`: "verdict|Why()|ForGoodCommand()|ThisTimeCommand()".
std::string ExamineAs(const std::string& path, gid_t gid, const std::vector<gid_t>& groups) {
  std::array<int, 2> pipe{};
  if (::pipe(pipe.data()) != 0) {
    return "no pipe";
  }
  const UniqueFd readEnd(pipe[0]);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
      ::_exit(2);
    }
    const PortAccess a = ExaminePortAccess(path);
    const std::string text = std::to_string(static_cast<int>(a.verdict)) + "|" + a.Why() + "|" +
                             a.ForGoodCommand() + "|" + a.ThisTimeCommand();
    ::_exit(::write(pipe[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0
                                                                                            : 3);
  }
  ::close(pipe[1]);
  std::string text;
  std::array<char, 1024> buffer{};
  for (ssize_t n = 0; (n = ::read(readEnd.get(), buffer.data(), buffer.size())) > 0;) {
    text.append(buffer.data(), static_cast<std::size_t>(n));
  }
  int status = 0;
  (void)::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "child failed";
}

std::string Verdict(PortAccess::Verdict v) {
  return std::to_string(static_cast<int>(v));
}

TEST(PortAccessTest, SaysWhoMayUseTheNodeAndTheWayOut) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to give files owners and to become nobody";
  }
  const group* dialout = ::getgrnam("dialout");  // NOLINT(concurrency-mt-unsafe): one thread
  ASSERT_NE(dialout, nullptr);
  const gid_t dialoutGid = dialout->gr_gid;
  const TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const auto node = [&](const std::string& name, uid_t uid, gid_t gid, mode_t mode) {
    std::string path = dir.Write(name, {});
    EXPECT_EQ(::chown(path.c_str(), uid, gid), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  };
  const std::string usb = node("ttyUSB0", 0, dialoutGid, 0660);
  const std::string link = dir.Path("COM3");
  ASSERT_EQ(::symlink(usb.c_str(), link.c_str()), 0);
  const std::string own = node("ttyACM0", 0, kNogroup, 0660);
  const std::string rootOnly = node("ttyS0", 0, 0, 0600);
  const std::string mine = node("ttyUSB1", kNobody, 0, 0600);
  // A simulator's port as a customer would practise with it: a real
  // pseudo-terminal owned as an adapter is. No access list helps there.
  const UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid());
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  std::array<char, 64> ptyName{};
  ASSERT_EQ(::ptsname_r(master.get(), ptyName.data(), ptyName.size()), 0);
  const std::string pty = ptyName.data();
  ASSERT_EQ(::chown(pty.c_str(), 0, dialoutGid), 0);
  ASSERT_EQ(::chmod(pty.c_str(), 0660), 0);

  struct Case {
    const char* what;
    std::string path;
    gid_t gid;
    std::vector<gid_t> groups;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"not in the device's group, through a link",
       link,
       kNogroup,
       {},
       Verdict(PortAccess::Verdict::kNotInGroup) + "|" + usb +
           " is root:dialout 0660 and you (nobody) are not in the dialout group|"
           "sudo usermod -aG dialout nobody|sudo setfacl -m u:nobody:rw " +
           usb},
      {"in the group by the user database, not in this session",
       own,
       0,
       {},
       Verdict(PortAccess::Verdict::kGroupNotInSession) + "|" + own +
           " is root:nogroup 0660; you (nobody) joined the nogroup group after this session "
           "began: log out and in again||sudo setfacl -m u:nobody:rw " +
           own},
      {"in the group in this session",
       usb,
       kNogroup,
       {dialoutGid},
       Verdict(PortAccess::Verdict::kAllowed) + "|||"},
      {"only the owner",
       rootOnly,
       kNogroup,
       {},
       Verdict(PortAccess::Verdict::kOwnerOnly) + "|" + rootOnly +
           " is root:root 0600: only root may use it||sudo setfacl -m u:nobody:rw " + rootOnly},
      {"its owner", mine, kNogroup, {}, Verdict(PortAccess::Verdict::kAllowed) + "|||"},
      {"a pseudo-terminal: the group's way only",
       pty,
       kNogroup,
       {},
       Verdict(PortAccess::Verdict::kNotInGroup) + "|" + pty +
           " is root:dialout 0660 and you (nobody) are not in the dialout group|"
           "sudo usermod -aG dialout nobody|"},
      {"missing",
       dir.Path("ttyUSB9"),
       kNogroup,
       {},
       Verdict(PortAccess::Verdict::kMissing) + "|" + dir.Path("ttyUSB9") + " does not exist||"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExamineAs(c.path, c.gid, c.groups), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace tevra::test
