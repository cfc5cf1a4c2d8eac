#include "payload/payload_layout.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/elf_program.h"
#include "tests/support/pe_program.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

using test::Bytes;
using test::Concat;
using test::PeProgram;
using test::PutLe;
using test::SignedPe;

Bytes Bundled(const Bytes& program, const Bytes& payload, std::size_t inside = 0) {
  const TrailerBytes t = EncodeTrailer(static_cast<std::uint32_t>(payload.size() + inside));
  return Concat(Concat(program, payload), Bytes(t.begin(), t.end()));
}

// A signer pads to 8 bytes and appends its certificate table: the payload
// is found before it whatever the padding; a header that points anywhere
// outside the file is refused, never followed.
TEST(PayloadLayoutTest, PeTrailerIsFoundBeforeTheCertificateTableAndHeadersAreChecked) {
  const test::TempDir dir;
  const Bytes pe = PeProgram(4096, 7);
  const auto locate = [&dir](const Bytes& bytes) {
    const std::string path = dir.Write("program.exe", bytes);
    return LocatePayload(OpenFileToRead(path));
  };
  for (std::size_t size = 200; size < 208; ++size) {
    const Bytes payload = test::RandomBytes(size, 8);
    for (const bool sign : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (sign ? " signed" : ""));
      const Bytes bundled = Bundled(pe, payload);
      const PayloadLayout layout = locate(sign ? SignedPe(bundled, 1000 + size) : bundled);
      ASSERT_EQ(layout.status, PayloadStatus::kValid) << layout.problem;
      EXPECT_EQ(layout.imageBytes, pe.size());
      EXPECT_EQ(layout.payloadBytes, size);
      EXPECT_EQ(layout.trailerEnd, bundled.size());
      EXPECT_EQ(layout.certificateBytes, sign ? 1000 + size : 0U);
    }
  }
  const Bytes pe32 = PeProgram(3000, 9, true, true);
  EXPECT_TRUE(locate(SignedPe(Bundled(pe32, {1, 2}), 64, true)).valid());

  const Bytes signedBundle = SignedPe(Bundled(pe, {5, 6, 7}));
  const std::size_t security = test::PeSecurityDirectoryAt(false);
  const auto broken = [](Bytes bytes, std::size_t at, std::uint64_t value, std::size_t width) {
    PutLe(bytes, at, value, width);
    return bytes;
  };
  struct Case {
    Bytes bytes;
    PayloadStatus status;
    std::string problemPart;
  };
  const std::vector<Case> cases = {
      {SignedPe(pe), PayloadStatus::kBadMagic, "has no payload trailer"},
      {Concat(Bundled(pe, {1}), Bytes(8, 0)), PayloadStatus::kBadMagic, "no payload trailer"},
      {Bundled(pe32, {1}, 1), PayloadStatus::kInsideProgram, "program, which ends at byte 3000"},
      {broken(signedBundle, security + 4, 0xFFFFFFFF, 4), PayloadStatus::kNotProgram,
       "the certificate table its PE header names does not fit the file"},
      {broken(signedBundle, security, 0x400, 4), PayloadStatus::kNotProgram,
       "certificate table its PE header names lies inside the program"},
      {broken(signedBundle, 0x3C, 0xFFFFFFFF, 4), PayloadStatus::kNotProgram,
       "its PE headers do not fit the file"},
      {broken(signedBundle, test::PeSectionAt(false, 1) + 4, 0xFFFFFFFF, 4),
       PayloadStatus::kNotProgram, "PE headers do not fit"},
      {broken(signedBundle, test::kPeHeaderAt + 6, 0xFFFF, 2), PayloadStatus::kNotProgram,
       "PE headers do not fit"},
      {broken(pe32, test::kPeHeaderAt + 16, 0xFFFFFFFF, 4), PayloadStatus::kNotProgram,
       "PE headers do not fit"},
      {broken(pe32, 3000 - 20, 0xFFFFFFFF, 4), PayloadStatus::kNotProgram, "PE headers do not fit"},
      {broken(signedBundle, test::kPeHeaderAt + 20, 0, 2), PayloadStatus::kNotProgram,
       "is not a program"},
      {broken(signedBundle, test::kPeHeaderAt, 0, 1), PayloadStatus::kNotProgram,
       "is not a program"},
      {Bundled(Bytes(pe.begin(), pe.begin() + 2048), {1}), PayloadStatus::kNotProgram,
       "PE headers do not fit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problemPart);
    const PayloadLayout layout = locate(c.bytes);
    EXPECT_EQ(layout.status, c.status);
    EXPECT_NE(layout.problem.find(c.problemPart), std::string::npos) << layout.problem;
  }
}

// Sizes are 64-bit: 32-bit ones would wrap past 4 GiB.
TEST(PayloadLayoutTest, SizesBeyond4GiBDoNotWrap) {
  constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;
  const TrailerBytes maxL = EncodeTrailer(0xFFFFFFFFU);
  const PayloadLayout big = DecodeTrailer(maxL, 5 * k4GiB);
  EXPECT_EQ(big.status, PayloadStatus::kValid);
  EXPECT_EQ(big.imageBytes, 5 * k4GiB - 8 - 0xFFFFFFFFU);
  EXPECT_EQ(DecodeTrailer(maxL, k4GiB + 7).status, PayloadStatus::kValid);
  EXPECT_EQ(DecodeTrailer(maxL, k4GiB + 6).status, PayloadStatus::kLengthTooLarge);
}

}  // namespace
}  // namespace tevra
