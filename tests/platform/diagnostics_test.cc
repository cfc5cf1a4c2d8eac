#include "platform/diagnostics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tevra {
namespace {

TEST(PrintableTest, EscapesWhatCouldDriveATerminal) {
  const struct {
    std::string in;
    std::string out;
  } kCases[] = {
    {"/dev/ttyUSB0", "/dev/ttyUSB0"},
    {"\x1b]0;owned\x07", "\\x1B]0;owned\\x07"},  // retitle
    {"a\x1b[2Jb", "a\\x1B[2Jb"},                 // clear screen
    {"\xc2\x9b"
     "2J",
     "\\xC2\\x9B2J"},  // C1 CSI in UTF-8
    {"\x9b"
     "2J",
     "\\x9B2J"},  // raw C1 byte
#if defined(_WIN32)
    {"\x7f\r\n\t", "\\x7F\\x0D\\n\\t"},
    {"C:\\Users\\ana", "C:\\Users\\ana"},  // paths as Windows writes them
#else
    {"\x7f\r\n\t\\", "\\x7F\\x0D\\n\\t\\\\"},
#endif
    {"\xe5\x85\xb3\xe4\xba\x8e", "\xe5\x85\xb3\xe4\xba\x8e"},  // valid UTF-8 kept
    {"\xe5\x85", "\\xE5\\x85"},                                // cut sequence
    {"\xc0\xaf", "\\xC0\\xAF"},                                // overlong
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Printable(c.in), c.out) << c.in;
  }
}

TEST(DiagnoseTest, GoesToTheInstalledSinkUntilRemoved) {
  std::vector<std::string> seen;
  SetDiagnosticSink([&seen](std::string_view line) { seen.emplace_back(line); });
  Diagnose("one");
  SetDiagnosticSink({});
  testing::internal::CaptureStderr();
  Diagnose("two");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "tevra-updater: two\n");
  EXPECT_EQ(seen, std::vector<std::string>{"one"});
}

}  // namespace
}  // namespace tevra
