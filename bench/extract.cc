// Measures how long the updater takes to split a 20 MB updater into its
// program image and payload, the work the window waits for before a
// download. Prints the median of several runs:
//   extract_seconds <x> bytes <n>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "payload/extract_payload.h"
#include "payload/payload_layout.h"
#include "tests/support/bytes.h"
#include "tests/support/elf_program.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using tevra::test::Bytes;

constexpr std::size_t kImageBytes = 4'000'000;
constexpr std::uint32_t kPayloadBytes = 16'000'000;
constexpr std::size_t kRuns = 5;

int Run() {
  const tevra::test::TempDir dir;
  Bytes updater = tevra::test::Concat(tevra::test::ElfProgram(kImageBytes, 1),
                                      tevra::test::RandomBytes(kPayloadBytes, 2));
  const tevra::TrailerBytes trailer = tevra::EncodeTrailer(kPayloadBytes);
  updater.insert(updater.end(), trailer.begin(), trailer.end());
  const std::string source = dir.Write("updater", updater);
  const std::string image = dir.Path("serial1.exe");
  const std::string payload = dir.Path("serial1.bin");

  std::array<double, kRuns> seconds{};
  for (double& s : seconds) {
    const Clock::time_point start = Clock::now();
    if (!tevra::ExtractPayload(source.c_str(), image.c_str(), payload.c_str())) {
      (void)std::fprintf(stderr, "bench-extract: the extraction failed\n");
      return 1;
    }
    s = std::chrono::duration<double>(Clock::now() - start).count();
  }
  std::sort(seconds.begin(), seconds.end());
  (void)std::printf("extract_seconds %.4f bytes %zu\n", seconds[kRuns / 2], updater.size());
  return 0;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (const std::exception& e) {
    (void)std::fprintf(stderr, "bench-extract: %s\n", e.what());
    return 1;
  }
}
