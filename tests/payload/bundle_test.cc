#include "bundler/bundle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/bundled_payload.h"
#include "payload/extract_payload.h"
#include "tests/support/elf_program.h"
#include "tests/support/pe_program.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

using test::Bytes;
using test::Concat;
using test::ElfEnd;
using test::ElfProgram;
using test::RandomBytes;
using test::ReadFile;

// With `inside`, the trailer claims that many bytes of the updater too.
Bytes Bundled(const Bytes& updater, const Bytes& payload, std::size_t inside = 0) {
  const TrailerBytes t = EncodeTrailer(static_cast<std::uint32_t>(payload.size() + inside));
  return Concat(Concat(updater, payload), Bytes(t.begin(), t.end()));
}

class BundleTest : public ::testing::Test {
 protected:
  bool Pack(const std::string& updater, const std::string& payload, const std::string& output) {
    error_.clear();
    return PackBundle(updater, payload, output, error_);
  }
  int Tool(std::vector<std::string_view> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunBundleTool(
        args, {dir_.Path("portable-updater"), dir_.Path("windows-updater.exe")}, out, err);
    out_ = out.str();
    err_ = err.str();
    return code;
  }
  test::TempDir dir_;
  std::string error_;
  std::string out_;
  std::string err_;
};

// Set-id bits are not the bundle's to copy; the permission bits are.
TEST_F(BundleTest, PackUnderTheLongestNameThenRepackInPlaceReplacesThePayload) {
  const Bytes updater = ElfProgram(5000, 1);
  const Bytes second = RandomBytes(17, 6);
  const std::string updaterPath = dir_.Write("u", updater);
  ASSERT_EQ(::chmod(updaterPath.c_str(), 04750), 0);
  // The temporary name must fit beside the longest name a file may have.
  const std::string bundled = dir_.Path(std::string(NAME_MAX, 'b'));
  ASSERT_TRUE(Pack(updaterPath, dir_.Write("p1", RandomBytes(3000, 5)), bundled)) << error_;
  ASSERT_TRUE(Pack(bundled, dir_.Write("p2", second), bundled)) << error_;
  EXPECT_EQ(dir_.Read(bundled), Bundled(updater, second));
  struct stat st {};
  ASSERT_EQ(::stat(bundled.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750U);
}

// pack and inspect name the firmware as sha256sum does; an existing output
// is replaced only when asked.
TEST_F(BundleTest, ProgramPacksThe57352ByteLayoutAndInspectAgrees) {
  const Bytes updater = ElfProgram(40960, 2);
  const Bytes payload = RandomBytes(16384, 3);
  const std::string output = dir_.Path("bundled");
  const std::string pack = std::string(TEVRA_BUNDLE_PROGRAM) + " pack --updater " +
                           dir_.Write("updater", updater) + " --payload " +
                           dir_.Write("payload", payload) + " --output " + output;
  const auto run = [this](const std::string& command) {
    const std::string line = command + " >" + dir_.Path("out") + " 2>&1";
    const int status = std::system(line.c_str());  // NOLINT(concurrency-mt-unsafe): one thread
    const Bytes printed = dir_.Read("out");
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                          std::string(printed.begin(), printed.end()));
  };
  const std::string sha256 = run("sha256sum " + dir_.Path("payload")).second.substr(0, 64);
  ASSERT_EQ(run(pack), std::make_pair(0, "wrote '" + output +
                                             "': 57352 bytes (the updater 40960, the firmware "
                                             "16384, the trailer 8)\nfirmware: 16384 bytes, "
                                             "sha256 " +
                                             sha256 + "\n"));
  const Bytes trailer{0x00, 0x40, 0x00, 0x00, 0x55, 0x81, 0x18, 0x55};
  EXPECT_EQ(dir_.Read(output), Concat(Concat(updater, payload), trailer));
  EXPECT_EQ(run(std::string(TEVRA_BUNDLE_PROGRAM) + " inspect " + output),
            std::make_pair(0, "image_bytes: 40960\npayload_bytes: 16384\npayload_sha256: " +
                                  sha256 + "\nmagic: 0x55188155\n"));

  dir_.Write("payload", RandomBytes(100, 4));
  EXPECT_EQ(run(pack), std::make_pair(2, "tevra-bundle: '" + output +
                                             "' exists: give --force to replace it (nothing "
                                             "was written)\n"));
  EXPECT_EQ(dir_.Read(output), Concat(Concat(updater, payload), trailer));
  EXPECT_EQ(run(pack + " --force").first, 0);
  EXPECT_EQ(dir_.Read(output).size(), 40960U + 100 + 8);
}

TEST_F(BundleTest, FailedPackLeavesNoPartialFileAndAnEarlierOutputIntact) {
  const std::string updater = dir_.Write("updater", ElfProgram(512, 8));
  const std::string payload = dir_.Write("payload", RandomBytes(100, 9));
  const std::string plain = dir_.Write("plain", {1});
  ASSERT_EQ(::mkdir(dir_.Path("folder").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(plain.c_str(), dir_.Path("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir_.Path("fifo").c_str(), 0600), 0);
  // Exactly 4 GiB: one more than the trailer's length field holds.
  ASSERT_EQ(::truncate(dir_.Write("huge", {}).c_str(), off_t{1} << 32), 0);
  const std::string empty = dir_.Write("empty", {});
  const std::string allPayload = dir_.Write("all", Bundled(ElfProgram(512, 12), {1}, 512));
  const std::string output = dir_.Write("output", {7, 7});
  struct Case {
    std::string updater, payload, output, errorPart;
  };
  const std::vector<Case> cases = {
      {dir_.Path("nope"), payload, output, "No such file"},
      {updater, dir_.Path("huge"), output, "4294967295"},
      {updater, empty, output, "'" + empty + "' is empty"},
      {empty, payload, output,
       "'" + empty + "' is not a program: neither a little-endian ELF nor a PE file"},
      {allPayload, payload, output, "would start at byte 0, inside the program"},
      {updater, payload, dir_.Path("folder"), "not a regular file"},
      {updater, payload, dir_.Path("link"), "not a regular file"},
      {updater, payload, dir_.Path("fifo"), "not a regular file"},
      {dir_.Write("signed.exe", test::SignedPe(test::PeProgram(2048, 7))), payload, output,
       "is signed, and a signature cannot cover a payload added after it"},
      // Nobody writes to it: a blocking open would hang until ctest's time-out.
      {updater, dir_.Path("fifo"), output, "fifo' is not a regular file"},
  };
  const std::vector<std::string> before = dir_.List();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.updater + " " + c.payload + " " + c.output);
    EXPECT_FALSE(Pack(c.updater, c.payload, c.output));
    EXPECT_NE(error_.find(c.errorPart), std::string::npos) << error_;
    EXPECT_EQ(error_.find('\n'), std::string::npos) << error_;
    EXPECT_EQ(dir_.List(), before);
    EXPECT_EQ(dir_.Read(output), (Bytes{7, 7}));
  }
}

// What one of them refuses, all refuse, in one line: no byte of a program
// or of a damaged file reaches a device.
TEST_F(BundleTest, InspectInPlaceReaderAndExtractionAgreeOnEveryLayout) {
  const Bytes payload = RandomBytes(40, 11);
  const Bytes elf = ElfProgram(4096, 12);
  std::vector<std::pair<Bytes, std::string>> cases = {
      {elf, "has no payload trailer"},
      {Bundled(elf, payload, elf.size()), "byte 0, inside the program, which ends at byte 4096"},
      {Bundled(elf, {}), "is damaged: its trailer records an empty payload"},
      {Bundled(RandomBytes(600, 15), payload),
       "is not a program: neither a little-endian ELF nor a PE file"},
      {Bundled(Bytes(elf.begin(), elf.begin() + 2048), payload), "headers do not fit the file"},
  };
  cases.emplace_back(test::SignedPe(Bundled(test::PeProgram(3001, 16), payload)), "");
  for (const Bytes& program : {elf, ElfProgram(600, 13, ElfEnd::kSectionContents, true),
                               ElfProgram(600, 14, ElfEnd::kSegment), test::PeProgram(2050, 17)}) {
    cases.emplace_back(Bundled(program, payload), "");
    cases.emplace_back(Bundled(program, payload, 1),
                       "byte " + std::to_string(program.size() - 1) + ", inside the program");
  }
  for (const auto& [bytes, errorPart] : cases) {
    const std::string path = dir_.Write("updater", bytes);
    const bool good = errorPart.empty();
    SCOPED_TRACE(errorPart);
    EXPECT_EQ(Tool({"inspect", path}), good ? 0 : 1);
    EXPECT_EQ(err_.find('\n'), err_.size() - 1) << err_;
    EXPECT_NE(err_.find(errorPart), std::string::npos) << err_;
    const BundledPayload inPlace(path);
    EXPECT_EQ(inPlace.length(), good ? payload.size() : 0U);
    EXPECT_NE(inPlace.error().find(errorPart), std::string::npos) << inPlace.error();
    const ExtractedPayload extracted = ExtractPayloadForSending(
        path.c_str(), dir_.Path("serial1.exe").c_str(), dir_.Path("serial1.bin").c_str());
    EXPECT_NE(extracted.problem.find(errorPart), std::string::npos) << extracted.problem;
    EXPECT_EQ(dir_.Read("serial1.bin"), good ? payload : Bytes{});
  }
}

// The package's portable updater is the vendor's default, its Windows
// updater with --windows; a tevra-bundle without them says where it looked,
// as a usage error.
TEST_F(BundleTest, PackWithoutUpdaterTakesACarriedUpdaterOrNamesWhereItIsMissing) {
  const Bytes payload = RandomBytes(300, 21);
  const std::string payloadPath = dir_.Write("payload", payload);
  const std::string output = dir_.Path("bundled");
  EXPECT_EQ(Tool({"pack", "--payload", payloadPath, "--output", output}), 2);
  EXPECT_EQ(err_, "tevra-bundle: no --updater given and no portable updater at '" +
                      dir_.Path("portable-updater") +
                      "' (installed by the tevra-updater package); give --updater FILE\n");
  EXPECT_EQ(dir_.List(), std::vector<std::string>{"payload"});

  const Bytes portable = ElfProgram(2048, 22);
  dir_.Write("portable-updater", portable);
  ASSERT_EQ(Tool({"pack", "--payload", payloadPath, "--output", output}), 0) << err_;
  EXPECT_EQ(dir_.Read(output), Bundled(portable, payload));

  const Bytes other = ElfProgram(1024, 23);
  ASSERT_EQ(Tool({"pack", "--payload", payloadPath, "--output", output, "--updater",
                  dir_.Write("other", other), "--force"}),
            0)
      << err_;
  EXPECT_EQ(dir_.Read(output), Bundled(other, payload));

  EXPECT_EQ(Tool({"pack", "--windows", "--payload", payloadPath, "--output", output, "--force"}),
            2);
  EXPECT_EQ(err_, "tevra-bundle: --windows given but no Windows updater at '" +
                      dir_.Path("windows-updater.exe") +
                      "' (installed by the tevra-updater package); give --updater FILE\n");
  const Bytes windows = test::PeProgram(4096, 24);
  dir_.Write("windows-updater.exe", windows);
  EXPECT_EQ(Tool({"pack", "--windows", "--payload", payloadPath, "--output", output, "--force",
                  "--updater", dir_.Path("other")}),
            2);
  ASSERT_EQ(Tool({"pack", "--windows", "--payload", payloadPath, "--output", output, "--force"}),
            0)
      << err_;
  EXPECT_EQ(dir_.Read(output), Bundled(windows, payload));
}

// What the cross compiler made, with its COFF symbol table: pack finds its
// end, and inspect names a signed file's certificate table.
TEST_F(BundleTest, RealWindowsProgramPacksAndReadsBackSignedOrNot) {
  if (std::string(TEVRA_SAMPLE_PE).empty()) {
    GTEST_SKIP() << "no Windows cross compiler (scripts/setup.sh windows)";
  }
  const Bytes program = ReadFile(TEVRA_SAMPLE_PE);
  const Bytes payload = RandomBytes(16384, 30);
  const std::string output = dir_.Path("updater-fw.exe");
  ASSERT_EQ(Tool({"pack", "--updater", TEVRA_SAMPLE_PE, "--payload", dir_.Write("fw", payload),
                  "--output", output}),
            0)
      << err_;
  EXPECT_EQ(dir_.Read(output), Bundled(program, payload));
  const std::string digest = out_.substr(out_.rfind(' ') + 1);
  const std::string expected = "image_bytes: " + std::to_string(program.size()) +
                               "\npayload_bytes: 16384\npayload_sha256: " + digest +
                               "magic: 0x55188155\n";
  ASSERT_EQ(Tool({"inspect", output}), 0) << err_;
  EXPECT_EQ(out_, expected);
  dir_.Write(output, test::SignedPe(Bundled(program, payload), 1234));
  ASSERT_EQ(Tool({"inspect", output}), 0) << err_;
  EXPECT_EQ(out_, expected + "certificate_table_bytes: 1234\n");
  EXPECT_EQ(BundledPayload(output).length(), payload.size());

  // Not a payload the trailer claims from the symbol table's strings.
  dir_.Write(output, Bundled(program, payload, 1));
  EXPECT_EQ(Tool({"inspect", output}), 1);
  EXPECT_NE(err_.find("inside the program, which ends at byte " + std::to_string(program.size())),
            std::string::npos)
      << err_;
}

TEST_F(BundleTest, WrongArgumentsPrintUsageAndExit2) {
  const std::vector<std::vector<std::string_view>> cases = {
      {},
      {"pack", "--updater", "u", "--payload", "p"},
      {"pack", "--updater", "u", "--payload", "p", "--output", ""},
      {"pack", "u", "p", "o"},
  };
  for (const std::vector<std::string_view>& args : cases) {
    EXPECT_EQ(Tool(args), 2) << args.size();
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_.rfind("usage: tevra-bundle pack", 0), 0U) << err_;
  }
  EXPECT_TRUE(dir_.List().empty()) << "nothing was created";
}

}  // namespace
}  // namespace tevra
