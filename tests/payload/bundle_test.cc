#include "bundler/bundle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "payload/extract_payload.h"
#include "platform/unique_fd.h"
#include "tests/support/temp_dir.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): for posix_spawn

namespace tevra {
namespace {

using test::Bytes;
using test::Concat;
using test::RandomBytes;

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string AsText(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// Runs the built tevra-bundle with its output captured in files of dir.
ProgramRun RunProgram(const test::TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), TEVRA_BUNDLE_PROGRAM);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  const std::string outPath = dir.Path(".stdout");
  const std::string errPath = dir.Path(".stderr");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ProgramRun run;
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return run;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE() << "waitpid failed";
      return run;
    }
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = AsText(dir.Read(outPath));
  run.err = AsText(dir.Read(errPath));
  ::unlink(outPath.c_str());
  ::unlink(errPath.c_str());
  return run;
}

Bytes TrailerOf(std::uint32_t length) {
  const TrailerBytes t = EncodeTrailer(length);
  return Bytes(t.begin(), t.end());
}

bool IsOneLine(const std::string& s) {
  return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
}

class BundleTest : public ::testing::Test {
 protected:
  bool Pack(const std::string& updater, const std::string& payload, const std::string& output) {
    error_.clear();
    return PackBundle(updater, payload, output, error_);
  }
  mode_t PermissionsOf(const std::string& path) const {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }
  void ExpectExtractsTo(const std::string& bundle, const Bytes& image, const Bytes& payload) {
    const std::string imageOut = dir_.Path("x.exe");
    const std::string payloadOut = dir_.Path("x.bin");
    ASSERT_TRUE(ExtractPayload(bundle.c_str(), imageOut.c_str(), payloadOut.c_str()));
    EXPECT_EQ(dir_.Read(imageOut), image);
    EXPECT_EQ(dir_.Read(payloadOut), payload);
    ::unlink(imageOut.c_str());
    ::unlink(payloadOut.c_str());
  }

  test::TempDir dir_;
  std::string error_;
};

TEST_F(BundleTest, PackThenExtractIsByteForByteForEveryPayloadSize) {
  const Bytes updater = RandomBytes(40960, 1);
  const std::string updaterPath = dir_.Write("updater", updater);
  // The longest name a file may have: the temporary one must fit too.
  const std::string bundled = dir_.Path(std::string(NAME_MAX, 'b'));
  std::uint32_t seed = 100;
  for (const std::size_t size : {1u, 15u, 16u, 17u, 128u, 200u, 16384u, 100000u}) {
    SCOPED_TRACE(size);
    const Bytes payload = RandomBytes(size, ++seed);
    const std::string payloadPath = dir_.Write("payload", payload);
    ASSERT_TRUE(Pack(updaterPath, payloadPath, bundled)) << error_;
    EXPECT_EQ(dir_.Read(bundled),
              Concat(Concat(updater, payload), TrailerOf(static_cast<std::uint32_t>(size))));
    ExpectExtractsTo(bundled, updater, payload);
    std::string error;
    const std::optional<PayloadLayout> layout = InspectBundle(bundled, error);
    ASSERT_TRUE(layout) << error;
    EXPECT_EQ(layout->imageBytes, updater.size());
    EXPECT_EQ(layout->payloadBytes, size);
  }
}

TEST_F(BundleTest, ProgramPacksThe57352ByteLayoutAndInspectAgrees) {
  const Bytes updater = RandomBytes(40960, 2);
  const Bytes payload = RandomBytes(16384, 3);
  const std::string updaterPath = dir_.Write("updater", updater);
  const std::string payloadPath = dir_.Write("payload", payload);
  const std::string output = dir_.Path("bundled");

  const ProgramRun pack = RunProgram(
      dir_, {"pack", "--updater", updaterPath, "--payload", payloadPath, "--output", output});
  ASSERT_EQ(pack.exitCode, 0) << pack.err;
  EXPECT_EQ(pack.err, "");
  const Bytes bundled = dir_.Read(output);
  ASSERT_EQ(bundled.size(), 57352u);
  EXPECT_EQ(Bytes(bundled.end() - 8, bundled.end()),
            (Bytes{0x00, 0x40, 0x00, 0x00, 0x55, 0x81, 0x18, 0x55}));
  ExpectExtractsTo(output, updater, payload);

  const ProgramRun inspect = RunProgram(dir_, {"inspect", output});
  EXPECT_EQ(inspect.exitCode, 0) << inspect.err;
  EXPECT_EQ(inspect.out, "image_bytes: 40960\npayload_bytes: 16384\nmagic: 0x55188155\n");
  EXPECT_EQ(inspect.err, "");
}

TEST_F(BundleTest, RepackReplacesThePayloadInsteadOfNestingIt) {
  const Bytes updater = RandomBytes(5000, 4);
  const Bytes first = RandomBytes(3000, 5);
  const Bytes second = RandomBytes(17, 6);
  const std::string updaterPath = dir_.Write("updater", updater);
  ASSERT_TRUE(Pack(updaterPath, dir_.Write("p1", first), dir_.Path("b1"))) << error_;
  ASSERT_TRUE(Pack(dir_.Path("b1"), dir_.Write("p2", second), dir_.Path("b2"))) << error_;
  EXPECT_EQ(dir_.Read("b2"), Concat(Concat(updater, second), TrailerOf(17)));
  ExpectExtractsTo(dir_.Path("b2"), updater, second);

  // In place, as a release script might do it.
  ASSERT_TRUE(Pack(dir_.Path("b2"), dir_.Path("p1"), dir_.Path("b2"))) << error_;
  EXPECT_EQ(dir_.Read("b2"), Concat(Concat(updater, first), TrailerOf(3000)));
}

TEST_F(BundleTest, OutputKeepsTheUpdatersPermissionBits) {
  const std::string payloadPath = dir_.Write("payload", {1, 2, 3});
  const std::string updaterPath = dir_.Write("updater", RandomBytes(100, 7));
  struct Case {
    mode_t updater;
    mode_t expected;
  };
  // Set-id bits are not carried over to a file nobody vetted as such.
  const Case cases[] = {{0755, 0755}, {0700, 0700},  {0555, 0555},
                        {0644, 0644}, {04755, 0755}, {02750, 0750}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.updater);
    ASSERT_EQ(::chmod(updaterPath.c_str(), c.updater), 0);
    ASSERT_TRUE(Pack(updaterPath, payloadPath, dir_.Path("bundled"))) << error_;
    EXPECT_EQ(PermissionsOf(dir_.Path("bundled")), c.expected);
  }
}

TEST_F(BundleTest, FailedPackLeavesNoPartialFileAndAnEarlierOutputIntact) {
  const std::string updaterPath = dir_.Write("updater", RandomBytes(100, 8));
  const std::string payloadPath = dir_.Write("payload", RandomBytes(100, 9));
  const std::string plain = dir_.Write("plain", {1});
  ASSERT_EQ(::mkdir(dir_.Path("folder").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(plain.c_str(), dir_.Path("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir_.Path("fifo").c_str(), 0600), 0);
  // Exactly 4 GiB: one more than the trailer's length field holds.
  const std::string huge = dir_.Path("huge");
  ASSERT_EQ(::truncate(dir_.Write("huge", {}).c_str(), off_t{1} << 32), 0);
  const std::string empty = dir_.Write("empty", {});
  const std::string allPayload = dir_.Write("all", Concat(RandomBytes(9, 12), TrailerOf(9)));
  const Bytes earlier = RandomBytes(30, 10);
  const std::string output = dir_.Write("output", earlier);

  struct Case {
    const char* fault;
    std::string updater;
    std::string payload;
    std::string output;
    std::string errorPart;
  };
  const std::vector<Case> cases = {
      {"missing updater", dir_.Path("nope"), payloadPath, output, "No such file"},
      {"updater is a directory", dir_.Path("folder"), payloadPath, output, "not a regular file"},
      {"missing payload", updaterPath, dir_.Path("nope"), output, "No such file"},
      {"payload below a file", updaterPath, plain + "/x", output, "Not a directory"},
      {"payload of 4 GiB", updaterPath, huge, output, "4294967295"},
      {"empty payload", updaterPath, empty, output, "'" + empty + "' is empty"},
      {"empty updater", empty, payloadPath, output, "'" + empty + "' is empty"},
      {"updater all payload", allPayload, payloadPath, output, "no program image"},
      {"output directory missing", updaterPath, payloadPath, dir_.Path("nope/out"), "No such file"},
      {"output below a regular file", updaterPath, payloadPath, plain + "/out", "Not a directory"},
      {"output is a directory", updaterPath, payloadPath, dir_.Path("folder"),
       "not a regular file"},
      {"output is a link", updaterPath, payloadPath, dir_.Path("link"), "not a regular file"},
      {"output is a device", updaterPath, payloadPath, "/dev/full", "not a regular file"},
      {"output is a FIFO", updaterPath, payloadPath, dir_.Path("fifo"), "not a regular file"},
  };
  const std::vector<std::string> before = dir_.List();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_FALSE(Pack(c.updater, c.payload, c.output));
    EXPECT_NE(error_.find(c.errorPart), std::string::npos) << error_;
    EXPECT_EQ(error_.find('\n'), std::string::npos) << error_;
    EXPECT_EQ(dir_.List(), before);
    EXPECT_EQ(dir_.Read(output), earlier);
    EXPECT_EQ(dir_.Read(plain), Bytes{1});
  }
}

// A FIFO blocks a plain open until a writer comes; one is let in after the
// cap, so a bundler that does block fails the test instead of hanging it.
TEST_F(BundleTest, FifoAsPayloadIsRefusedWithoutBlocking) {
  const std::string fifo = dir_.Path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string updater = dir_.Write("updater", RandomBytes(100, 12));
  std::future<bool> pack =
      std::async(std::launch::async, [&] { return Pack(updater, fifo, dir_.Path("out")); });
  const bool finished = pack.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!finished) {
    const UniqueFd writer(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  }
  EXPECT_TRUE(finished);
  EXPECT_FALSE(pack.get());
  EXPECT_NE(error_.find("fifo' is not a regular file"), std::string::npos) << error_;
}

TEST_F(BundleTest, InspectReportsImagesBeyond4GiB) {
  const std::string path = dir_.Write("big", {});
  const std::uint64_t image = (std::uint64_t{1} << 32) + 5;
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(image + 3)), 0);
  {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    const TrailerBytes t = EncodeTrailer(3);
    out.write(reinterpret_cast<const char*>(t.data()), 8);  // NOLINT: byte view
  }
  std::string error;
  const std::optional<PayloadLayout> layout = InspectBundle(path, error);
  ASSERT_TRUE(layout) << error;
  EXPECT_EQ(layout->imageBytes, image);

  const ProgramRun run = RunProgram(dir_, {"inspect", path});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "image_bytes: 4294967301\npayload_bytes: 3\nmagic: 0x55188155\n");
}

TEST_F(BundleTest, ProgramInspectRejectsFilesWithoutValidTrailerInOneLine) {
  ASSERT_EQ(::mkdir(dir_.Path("folder").c_str(), 0700), 0);
  const Bytes body = RandomBytes(40, 11);
  Bytes badMagic = Concat(body, TrailerOf(4));
  badMagic.back() = 0x56;
  struct Case {
    const char* fault;
    std::string path;
    std::string errorPart;
  };
  const std::vector<Case> cases = {
      {"short file", dir_.Write("short", {0x55, 0x81, 0x18, 0x55}), "shorter than"},
      {"plain updater", dir_.Write("plain", body), "no payload trailer"},
      {"bad magic", dir_.Write("magic", badMagic), "0x56188155"},
      {"length too large", dir_.Write("long", Concat(body, TrailerOf(41))), "exceeds the 40"},
      {"empty payload", dir_.Write("empty", Concat(body, TrailerOf(0))), "damaged"},
      {"all payload", dir_.Write("all", Concat(body, TrailerOf(40))), "no program image"},
      {"missing", dir_.Path("nope"), "No such file"},
      {"directory", dir_.Path("folder"), "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const ProgramRun run = RunProgram(dir_, {"inspect", c.path});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(IsOneLine(run.err)) << run.err;
    EXPECT_EQ(run.err.rfind("tevra-bundle: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.errorPart), std::string::npos) << run.err;
  }
}

TEST_F(BundleTest, WrongArgumentsPrintUsageAndExit2) {
  using Args = std::vector<std::string_view>;
  const std::vector<Args> cases = {
      {},
      {"frobnicate"},
      {"inspect"},
      {"inspect", "a", "b"},
      {"inspect", ""},
      {"pack"},
      {"pack", "--updater", "u", "--payload", "p"},
      {"pack", "--updater", "u", "--payload", "p", "--output"},
      {"pack", "--updater", "u", "--payload", "p", "--output", ""},
      {"pack", "--updater", "u", "--updater", "u", "--payload", "p", "--output", "o"},
      {"pack", "--updater", "u", "--payload", "p", "--output", "o", "--extra", "x"},
      {"pack", "u", "p", "o"},
  };
  for (const Args& args : cases) {
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunBundleTool(args, out, err), 2) << args.size();
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str().rfind("usage: tevra-bundle pack", 0), 0u) << err.str();
  }
  const ProgramRun run = RunProgram(dir_, {});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err.rfind("usage: ", 0), 0u);
  // Nothing was created by any of them.
  EXPECT_TRUE(dir_.List().empty());
}

}  // namespace
}  // namespace tevra
