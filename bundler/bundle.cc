#include "bundler/bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <system_error>
#include <vector>

#include "payload/sha256.h"
#include "platform/diagnostics.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace tevra {
namespace {

constexpr std::size_t kCopyBufferSize = std::size_t{64} * 1024;
std::string UsageText(const std::string& defaultUpdater) {
  return "usage: tevra-bundle pack [--updater FILE] --payload FILE --output FILE [--force]\n"
         "       tevra-bundle inspect FILE\n"
         "\n"
         "pack     writes FILE given by --output: the updater's program image, the payload,\n"
         "         then the 8-byte trailer (payload length, magic 0x55188155); a payload\n"
         "         already in the updater is replaced; without --updater, the package's\n"
         "         portable updater: " +
         defaultUpdater +
         "\n"
         "         An existing output is replaced only with --force. Prints the file\n"
         "         written and its size, and the firmware's size and SHA-256.\n"
         "inspect  prints image_bytes, payload_bytes, payload_sha256 and magic of a bundled\n"
         "         file\n";
}

std::string ErrnoText(int err) {
  return std::generic_category().message(err);
}

std::string Quoted(const std::string& path) {
  return "'" + Printable(path) + "'";
}

std::string Hex32(std::uint32_t value) {
  std::array<char, 11> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "0x%08x", value));
  return text.data();
}

// Opens a file to read and checks it is a regular file, without ever
// blocking on a FIFO or device; its size in size.
UniqueFd OpenRegular(const std::string& path, const char* role, std::uint64_t& size, mode_t& mode,
                     std::string& error) {
  struct stat st {};
  UniqueFd fd = OpenRegularFile(path.c_str(), O_RDONLY | O_CLOEXEC, 0, &st);
  if (!fd.valid()) {
    const std::string what = std::string(role) + " " + Quoted(path);
    error = errno == EISDIR || errno == EINVAL ? what + " is not a regular file"
                                               : "cannot open " + what + ": " + ErrnoText(errno);
    return fd;
  }
  size = static_cast<std::uint64_t>(st.st_size);
  mode = st.st_mode;
  return fd;
}

// A temporary name in the output's directory no longer than the file
// system allows a name to be, however long the output's own name is.
std::string TemporaryPath(const std::string& directory, const std::string& base) {
  constexpr std::string_view kSuffix = ".XXXXXX";
  const long limit = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  const std::size_t maxName = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
  const std::size_t room = maxName > kSuffix.size() + 1 ? maxName - kSuffix.size() - 1 : 0;
  return directory + "/." + base.substr(0, room) + std::string(kSuffix);
}

// Reads up to the buffer's size; 0 only at end of file, -1 on error.
ssize_t ReadSome(int fd, std::vector<std::uint8_t>& buffer, std::size_t want) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), want);
    if (n >= 0 || errno != EINTR) {
      return n;
    }
  }
}

// Copies exactly count bytes from the start of the updater.
bool CopyImage(int from, std::uint64_t count, int to, std::vector<std::uint8_t>& buffer,
               const std::string& path, std::string& error) {
  while (count > 0) {
    const std::size_t want =
        count < buffer.size() ? static_cast<std::size_t>(count) : buffer.size();
    const ssize_t n = ReadSome(from, buffer, want);
    if (n <= 0) {
      error = "cannot read updater " + Quoted(path) + ": " +
              (n == 0 ? std::string("file ended early") : ErrnoText(errno));
      return false;
    }
    if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(n))) {
      error = "cannot write output: " + ErrnoText(errno);
      return false;
    }
    count -= static_cast<std::uint64_t>(n);
  }
  return true;
}

// Copies the payload to its end; its length is what the trailer records.
std::optional<std::uint32_t> CopyPayload(int from, int to, std::vector<std::uint8_t>& buffer,
                                         const std::string& path, std::string& error) {
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t n = ReadSome(from, buffer, buffer.size());
    if (n < 0) {
      error = "cannot read payload " + Quoted(path) + ": " + ErrnoText(errno);
      return std::nullopt;
    }
    if (n == 0 && total == 0) {
      error = "payload " + Quoted(path) + " became empty while being read";
      return std::nullopt;
    }
    if (n == 0) {
      return static_cast<std::uint32_t>(total);
    }
    total += static_cast<std::uint64_t>(n);
    if (total > kMaxPayloadBytes) {
      error = "payload " + Quoted(path) + " grew to 4 GiB or more while being read";
      return std::nullopt;
    }
    if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(n))) {
      error = "cannot write output: " + ErrnoText(errno);
      return std::nullopt;
    }
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything after the temporary file exists; on false the caller removes it.
bool WriteBundle(int out, const std::string& tempPath, int updater, std::uint64_t imageBytes,
                 mode_t updaterMode, int payload, const std::string& updaterPath,
                 const std::string& payloadPath, std::string& error) {
  std::vector<std::uint8_t> buffer(kCopyBufferSize);
  if (!CopyImage(updater, imageBytes, out, buffer, updaterPath, error)) {
    return false;
  }
  const std::optional<std::uint32_t> payloadBytes =
      CopyPayload(payload, out, buffer, payloadPath, error);
  if (!payloadBytes) {
    return false;
  }
  const TrailerBytes trailer = EncodeTrailer(*payloadBytes);
  if (!WriteAll(out, trailer.data(), trailer.size())) {
    error = "cannot write output: " + ErrnoText(errno);
    return false;
  }
  // Permission bits only: set-id bits are not the bundle's to copy.
  if (::fchmod(out, updaterMode & (S_IRWXU | S_IRWXG | S_IRWXO)) < 0) {
    error = "cannot set the mode of " + Quoted(tempPath) + ": " + ErrnoText(errno);
    return false;
  }
  // So that the rename never publishes a file whose data is not on disk yet.
  if (::fsync(out) < 0) {
    error = "cannot write output: " + ErrnoText(errno);
    return false;
  }
  return true;
}

}  // namespace

bool PackBundle(const std::string& updaterPath, const std::string& payloadPath,
                const std::string& outputPath, std::string& error) {
  std::uint64_t updaterBytes = 0;
  mode_t updaterMode = 0;
  const UniqueFd updater = OpenRegular(updaterPath, "updater", updaterBytes, updaterMode, error);
  if (!updater.valid()) {
    return false;
  }
  const PayloadLayout old = LocatePayload(OpenFileToRead(updaterPath));
  if (old.status == PayloadStatus::kReadError) {
    error = "cannot read updater " + Quoted(updaterPath) + ": " + ErrnoText(errno);
    return false;
  }
  // Without a trailer the whole program is the image; with one, a payload
  // it carries is replaced.
  if (!old.valid() && old.status != PayloadStatus::kBadMagic) {
    error = "updater " + Quoted(updaterPath) + " " + old.problem;
    return false;
  }
  const std::uint64_t imageBytes = old.valid() ? old.imageBytes : updaterBytes;

  std::uint64_t payloadBytes = 0;
  mode_t payloadMode = 0;
  const UniqueFd payload = OpenRegular(payloadPath, "payload", payloadBytes, payloadMode, error);
  if (!payload.valid()) {
    return false;
  }
  if (payloadBytes == 0) {
    error =
        "payload " + Quoted(payloadPath) + " is empty; the device would be erased and get nothing";
    return false;
  }
  if (payloadBytes > kMaxPayloadBytes) {
    error = "payload " + Quoted(payloadPath) + " is " + std::to_string(payloadBytes) +
            " bytes; the trailer holds at most " + std::to_string(kMaxPayloadBytes);
    return false;
  }

  // The rename would replace whatever sits at the output path; a symbolic
  // link, a device node or a FIFO there is not ours to replace.
  struct stat existing {};
  if (::lstat(outputPath.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    error = "output " + Quoted(outputPath) + " exists and is not a regular file";
    return false;
  }

  std::string tempPath = TemporaryPath(DirectoryOf(outputPath), BaseNameOf(outputPath));
  UniqueFd out(::mkostemp(tempPath.data(), O_CLOEXEC));
  if (!out.valid()) {
    error = "cannot create output in " + Quoted(DirectoryOf(outputPath)) + ": " + ErrnoText(errno);
    return false;
  }
  bool ok = WriteBundle(out.get(), tempPath, updater.get(), imageBytes, updaterMode, payload.get(),
                        updaterPath, payloadPath, error);
  if (ok && !out.Close()) {
    error = "cannot write output: " + ErrnoText(errno);
    ok = false;
  }
  if (ok && ::rename(tempPath.c_str(), outputPath.c_str()) < 0) {
    error = "cannot write output " + Quoted(outputPath) + ": " + ErrnoText(errno);
    ok = false;
  }
  if (!ok) {
    static_cast<void>(::unlink(tempPath.c_str()));
  }
  return ok;
}

std::optional<PayloadLayout> InspectBundle(const std::string& path, std::string& error,
                                           std::string* sha256) {
  std::uint64_t size = 0;
  mode_t mode = 0;
  const UniqueFd fd = OpenRegular(path, "file", size, mode, error);
  if (!fd.valid()) {
    return std::nullopt;
  }
  const File file = OpenFileToRead(path);
  const PayloadLayout layout = LocatePayload(file);
  if (layout.status == PayloadStatus::kReadError) {
    error = "cannot read " + Quoted(path) + ": " + ErrnoText(errno);
    return std::nullopt;
  }
  if (!layout.valid()) {
    error = Quoted(path) + " " + layout.problem;
    return std::nullopt;
  }
  if (sha256 != nullptr) {
    *sha256 = Sha256::HexOfRange(file, layout.imageBytes, layout.payloadBytes);
    if (sha256->empty()) {
      error = "cannot read " + Quoted(path) + ": " + ErrnoText(errno);
      return std::nullopt;
    }
  }
  return layout;
}

int RunBundleTool(std::span<const std::string_view> args, const std::string& defaultUpdater,
                  std::ostream& out, std::ostream& err) {
  constexpr int kDone = 0;
  constexpr int kFailed = 1;
  constexpr int kUsage = 2;
  const auto usage = [&err, &defaultUpdater]() {
    err << UsageText(defaultUpdater);
    return kUsage;
  };
  if (args.empty()) {
    return usage();
  }
  const std::string_view command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    out << UsageText(defaultUpdater);
    return kDone;
  }

  if (command == "inspect") {
    if (args.size() != 2 || args[1].empty()) {
      return usage();
    }
    std::string error;
    std::string sha256;
    const std::optional<PayloadLayout> layout = InspectBundle(std::string(args[1]), error, &sha256);
    if (!layout) {
      err << "tevra-bundle: " << error << '\n';
      return kFailed;
    }
    out << "image_bytes: " << layout->imageBytes << '\n'
        << "payload_bytes: " << layout->payloadBytes << '\n'
        << "payload_sha256: " << sha256 << '\n'
        << "magic: " << Hex32(layout->magic) << '\n';
    return kDone;
  }

  if (command == "pack") {
    std::optional<std::string> updater;
    std::optional<std::string> payload;
    std::optional<std::string> output;
    bool force = false;
    for (std::size_t i = 1; i < args.size(); i += 2) {
      const std::string_view option = args[i];
      if (option == "--force" && !force) {
        force = true;
        --i;  // takes no value
        continue;
      }
      std::optional<std::string>* slot = option == "--updater"   ? &updater
                                         : option == "--payload" ? &payload
                                         : option == "--output"  ? &output
                                                                 : nullptr;
      if (slot == nullptr || slot->has_value() || i + 1 >= args.size() || args[i + 1].empty()) {
        return usage();
      }
      *slot = std::string(args[i + 1]);
    }
    if (!payload || !output) {
      return usage();
    }
    if (!updater) {
      // An uninstalled tevra-bundle has nothing there: the caller's to fix,
      // as a missing argument is.
      struct stat st {};
      if (::stat(defaultUpdater.c_str(), &st) < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        err << "tevra-bundle: no --updater given and no portable updater at "
            << Quoted(defaultUpdater)
            << " (installed by the tevra-updater package); give --updater FILE\n";
        return kUsage;
      }
      updater = defaultUpdater;
    }
    struct stat existing {};
    if (!force && ::lstat(output->c_str(), &existing) == 0) {
      err << "tevra-bundle: " << Quoted(*output)
          << " exists: give --force to replace it (nothing was written)\n";
      return kUsage;
    }
    std::string error;
    if (!PackBundle(*updater, *payload, *output, error)) {
      err << "tevra-bundle: " << error << '\n';
      return kFailed;
    }
    // Read back from what was written: the vendor sees what the file carries.
    std::string sha256;
    const std::optional<PayloadLayout> layout = InspectBundle(*output, error, &sha256);
    if (!layout) {
      err << "tevra-bundle: " << error << '\n';
      return kFailed;
    }
    out << "wrote " << Quoted(*output) << ": " << layout->fileBytes << " bytes (the updater "
        << layout->imageBytes << ", the firmware " << layout->payloadBytes << ", the trailer "
        << kTrailerSize << ")\n"
        << "firmware: " << layout->payloadBytes << " bytes, sha256 " << sha256 << '\n';
    return kDone;
  }
  return usage();
}

}  // namespace tevra
