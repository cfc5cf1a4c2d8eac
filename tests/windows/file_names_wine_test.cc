// Paths as Windows has them: past MAX_PATH and outside the ANSI code page,
// UTF-8 on our side; a link planted where a fresh file is to go.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "bundler/bundle.h"
#include "payload/extract_payload.h"
#include "platform/file.h"
#include "platform/windows/system_path.h"
#include "tests/support/bytes.h"
#include "tests/support/pe_program.h"
#include "tests/support/temp_dir.h"

namespace tevra {
namespace {

using test::Bytes;

void WriteAll(const std::string& path, const Bytes& bytes) {
  const File file = CreateFreshFile(path);
  ASSERT_TRUE(file.valid()) << path << ": " << errno;
  ASSERT_TRUE(WriteFully(file, bytes.data(), bytes.size()));
}

Bytes ReadAll(const std::string& path) {
  const File file = OpenFileToRead(path);
  EXPECT_TRUE(file.valid()) << path << ": " << errno;
  Bytes bytes(FileSize(file).value_or(0));
  EXPECT_TRUE(ReadExactlyAt(file, 0, bytes.data(), bytes.size()));
  return bytes;
}

TEST(FileNamesTest, LongAndNonAsciiPathsPackAndExtract) {
  const test::TempDir dir;
  std::string folder = dir.path();
  for (int level = 0; level < 3; ++level) {
    folder +=
        "/Pr\xC3\xBC"
        "fung-\xE5\x9B\xBA\xE4\xBB\xB6-" +
        std::string(90, 'x');
    ASSERT_TRUE(CreateDirectoryW(win32::SystemPath(folder).c_str(), nullptr)) << GetLastError();
  }
  ASSERT_GT(folder.size(), std::size_t{MAX_PATH});
  const Bytes program = test::PeProgram(4096, 1);
  const Bytes payload = test::RandomBytes(3000, 2);
  WriteAll(folder + "/updater.exe", program);
  WriteAll(folder + "/\xE5\x9B\xBA\xE4\xBB\xB6.bin", payload);
  std::string error;
  const std::string bundled = folder + "/updater-\xE5\x9B\xBA\xE4\xBB\xB6.exe";
  ASSERT_TRUE(
      PackBundle(folder + "/updater.exe", folder + "/\xE5\x9B\xBA\xE4\xBB\xB6.bin", bundled, error))
      << error;
  // Again over the first: the rename replaces it.
  ASSERT_TRUE(PackBundle(bundled, folder + "/\xE5\x9B\xBA\xE4\xBB\xB6.bin", bundled, error))
      << error;
  ASSERT_TRUE(ExtractPayload(bundled.c_str(), (folder + "/serial1.exe").c_str(),
                             (folder + "/serial1.bin").c_str()));
  EXPECT_EQ(ReadAll(folder + "/serial1.exe"), program);
  EXPECT_EQ(ReadAll(folder + "/serial1.bin"), payload);
}

TEST(FileNamesTest, ALinkWhereAFreshFileGoesIsRefusedNotFollowed) {
  const test::TempDir dir;
  const Bytes precious = test::RandomBytes(50, 3);
  WriteAll(dir.Path("target"), precious);
  const std::wstring link = win32::SystemPath(dir.Path("serial1.bin"));
  // Wine 8 says it made the link and makes nothing.
  if (!CreateSymbolicLinkW(link.c_str(), win32::SystemPath(dir.Path("target")).c_str(),
                           SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
      GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "this system made no symbolic link";
  }
  errno = 0;
  EXPECT_FALSE(CreateFreshFile(dir.Path("serial1.bin")).valid());
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(ReadAll(dir.Path("target")), precious);
}

}  // namespace
}  // namespace tevra
