// The simulator's parser, and the dongle-sim program as the demo and scripts
// run it, seen from a raw line. Its device and fault options are exercised by
// every download test; --socket and --tty by the real-driver tier.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "download/protocol.h"
#include "platform/fd_io.h"
#include "sim/protocol_parser.h"
#include "tests/support/bytes.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tevra::test {
namespace {

constexpr std::chrono::milliseconds kCap{5000};
// NOLINTBEGIN(cert-err58-cpp): test constants; a failure here is a failed start
const Bytes kErase(protocol::CMD_ERASE.begin(), protocol::CMD_ERASE.end());
const Bytes kHeader(protocol::CMD_BLOCK_HEADER.begin(), protocol::CMD_BLOCK_HEADER.end());
// NOLINTEND(cert-err58-cpp)

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Up to n bytes from the raw line, as many as come within cap.
Bytes Receive(int fd, std::size_t n, std::chrono::milliseconds cap = kCap) {
  Bytes got(n);
  std::size_t have = 0;
  const auto deadline = std::chrono::steady_clock::now() + cap;
  for (pollfd p{fd, POLLIN, 0}; have < n && std::chrono::steady_clock::now() < deadline;) {
    const ssize_t r = poll(&p, 1, 10) > 0 ? read(fd, &got[have], n - have) : 0;
    have += r > 0 ? static_cast<std::size_t>(r) : 0;
  }
  got.resize(have);
  return got;
}

// A COMn that is no link, or that a live simulator serves, is left alone; a
// stopped simulator takes its own link away.
TEST(DongleSimProgramTest, PortThatIsNotOursIsLeftAlone) {
  const TempDir dir;
  const std::string link = dir.Path("COM3");
  const std::vector<std::string> args = {"--port", "COM3", "--ports-dir", dir.path()};
  WriteFile(link, {'u'});
  ChildProcess user(DONGLE_SIM_PATH, args);
  EXPECT_EQ(user.Finish(kCap), 1);
  EXPECT_EQ(ReadFile(link), Bytes{'u'});
  std::filesystem::remove(link);
  ChildProcess first(DONGLE_SIM_PATH, args);
  const std::string published = first.NextLine(kCap);
  ChildProcess second(DONGLE_SIM_PATH, args);
  EXPECT_EQ(second.Finish(kCap), 1);
  EXPECT_NE(second.Stderr().find("another running simulator"), std::string::npos)
      << second.Stderr();
  EXPECT_EQ("COM3 -> " + std::filesystem::read_symlink(link).string(), published);
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Finish(kCap), 0) << first.Stderr();
  EXPECT_FALSE(std::filesystem::is_symlink(link));
}

// Block 2 is stored and echoed, but never accepted; nothing answers after it.
TEST(DongleSimProgramTest, DroppedBlockIsStoredButNotAccepted) {
  const TempDir dir;
  ChildProcess sim(DONGLE_SIM_PATH, {"--port", "COM3", "--ports-dir", dir.path(), "--image",
                                     dir.Path("image"), "--drop-block", "2"});
  ASSERT_NE(sim.NextLine(kCap), "");
  const UniqueFd fd(open(dir.Path("COM3").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  const Bytes one = RandomBytes(128, 4), two = RandomBytes(128, 5);
  const Bytes sent = Join({kErase, kHeader, one, kHeader, two, kHeader});
  ASSERT_TRUE(WriteAll(fd.get(), sent.data(), sent.size()));
  const Bytes headerAnswer = Join({kHeader, {0xB0, 0xB1, 0xB2}});
  const Bytes expected = Join({{0x50, 0x02}, headerAnswer, one, {0x50, 0x00}, headerAnswer, two});
  EXPECT_EQ(Receive(fd.get(), expected.size()), expected);
  std::string line;  // once it is logged, anything the device would send is sent
  while ((line = sim.NextLine(kCap)) != "header (not answered)" && !line.empty()) {
  }
  EXPECT_EQ(line, "header (not answered)");
  EXPECT_EQ(Receive(fd.get(), 1, std::chrono::milliseconds(300)), Bytes{});
  EXPECT_EQ(ReadFile(dir.Path("image")), Join({one, two}));
}

// A flood streams records with the answers at their offsets until stopped.
TEST(DongleSimProgramTest, FloodStreamsAnswerPatterns) {
  const TempDir dir;
  ChildProcess sim(DONGLE_SIM_PATH, {"--port", "COM3", "--ports-dir", dir.path(), "--flood"});
  ASSERT_NE(sim.NextLine(kCap), "");
  const UniqueFd fd(open(dir.Path("COM3").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  const Bytes got = Receive(fd.get(), 390);  // three records, from the first: nobody read yet
  ASSERT_EQ(got.size(), 390U);
  for (const std::uint8_t* r = got.data(); r < got.data() + got.size(); r += 130) {
    EXPECT_TRUE(r[0] == 0x50 && r[1] == 0x02 && r[5] == 0xB0 && r[6] == 0xB1 && r[7] == 0xB2 &&
                r[128] == 0x50 && r[129] == 0x00);
  }
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Finish(kCap), 0) << sim.Stderr();
}

// Paced, no byte comes before its 11 bits could have crossed the line since
// the command was sent, and a garbage burst keeps 200 ms of silence from the
// answers on both sides. Only lower bounds: a loaded machine makes bytes late.
TEST(DongleSimProgramTest, PacedBytesAndBurstsNeverComeEarly) {
  const TempDir dir;
  ChildProcess sim(DONGLE_SIM_PATH, {"--port", "COM3", "--ports-dir", dir.path(), "--pace",
                                     "--baud", "2400", "--garbage", "20", "--garbage-every", "1"});
  ASSERT_NE(sim.NextLine(kCap), "");
  const UniqueFd fd(open(dir.Path("COM3").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  using Us = std::chrono::microseconds;
  const Bytes block = RandomBytes(128, 6);
  struct Row {
    Bytes sent;           // the time since it was sent is what counts
    std::size_t garbage;  // bytes of a burst before the answer
    Bytes answer;
    Us gap;  // silence the device must keep before the answer's end
  };
  const Row rows[] = {
      {kErase, 20, {0x50, 0x02}, Us(200'000)},
      {Join({kHeader, block}), 0, Join({kHeader, {0xB0, 0xB1, 0xB2}, block, {0x50, 0x00}}), Us(0)},
      {{}, 20, {}, Us(200'000)}};  // the burst after block 1
  auto sentAt = std::chrono::steady_clock::now();
  std::size_t characters = 0;
  Us gaps(0);
  for (const Row& row : rows) {
    if (!row.sent.empty()) {
      sentAt = std::chrono::steady_clock::now();
      characters = 0;
      gaps = Us(0);
      ASSERT_TRUE(WriteAll(fd.get(), row.sent.data(), row.sent.size()));
    }
    const std::size_t n = row.garbage + row.answer.size();
    const Bytes got = Receive(fd.get(), n);
    const auto took = std::chrono::duration_cast<Us>(std::chrono::steady_clock::now() - sentAt);
    ASSERT_EQ(got.size(), n);
    EXPECT_EQ(Bytes(got.begin() + static_cast<long>(row.garbage), got.end()), row.answer);
    characters += n;
    gaps += row.gap;
    const Us earliest = Us(static_cast<long>(characters) * 11'000'000 / 2400) + gaps;
    EXPECT_GE(took.count() + 1000, earliest.count()) << characters << " characters";
  }
}

// Arrivals as words ("erase header block128 unknown3 "); an empty read is silence.
std::string Parse(const std::vector<Bytes>& reads) {
  constexpr const char* kNames[] = {"erase", "header", "block", "unknown"};
  sim::ProtocolParser parser;
  std::string seen;
  for (const Bytes& read : reads) {
    auto arrived = parser.Feed(read);
    if (auto a = read.empty() ? parser.Silence() : std::nullopt)
      arrived.push_back(*a);
    for (const auto& a : arrived) {
      const std::size_t n = a.block.size() + a.unknownBytes;
      seen += kNames[static_cast<int>(a.kind)] + (n > 0 ? std::to_string(n) : "") + ' ';
    }
  }
  return seen + (parser.Holding() ? "holding" : "");
}

TEST(ProtocolParserTest, SaysWhatArrived) {
  // An erase, a header, and a block made of commands: still data.
  Bytes all = Join({kErase, kHeader, kErase, kHeader, kErase, kHeader, kErase, kHeader});
  all = Join({all, all, all, all});
  const auto part = [&](long from, long to) { return Bytes(all.begin() + from, all.begin() + to); };
  const Bytes erase = part(0, 5), header = part(5, 10), quiet;
  const std::pair<std::vector<Bytes>, std::string> rows[] = {
      {{part(0, 2), part(2, 10), quiet, part(10, 100), part(100, 138), quiet},
       "erase header block128 "},
      {{header, part(10, 50), quiet, header, erase, quiet, quiet, part(5, 9), quiet},
       "header block40 header erase unknown4 "},
      {{{0xFF, 0x01, 0xE0, 0xE0}, part(1, 5), header, part(10, 20)},
       "unknown3 erase header holding"},
  };
  for (const auto& [reads, seen] : rows)
    EXPECT_EQ(Parse(reads), seen);
}

}  // namespace
}  // namespace tevra::test
