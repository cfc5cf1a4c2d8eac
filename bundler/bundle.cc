#include "bundler/bundle.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>
#include <vector>

#include "payload/sha256.h"
#include "platform/diagnostics.h"
#include "platform/file.h"
#include "platform/file_name.h"

namespace tevra {
namespace {

constexpr std::size_t kCopyBufferSize = std::size_t{64} * 1024;
std::string UsageText(const CarriedUpdaters& carried) {
  return "usage: tevra-bundle pack [--updater FILE | --windows] --payload FILE --output FILE\n"
         "                         [--force]\n"
         "       tevra-bundle inspect FILE\n"
         "\n"
         "pack     writes FILE given by --output: the updater's program image, the payload,\n"
         "         then the 8-byte trailer (payload length, magic 0x55188155); a payload\n"
         "         already in the updater is replaced. The updater is an ELF or PE program;\n"
         "         without --updater, the package's portable updater:\n"
         "           " +
         carried.portable +
         "\n"
         "         with --windows, the package's Windows updater:\n"
         "           " +
         carried.windows +
         "\n"
         "         An existing output is replaced only with --force. Prints the file\n"
         "         written and its size, and the firmware's size and SHA-256. Sign a\n"
         "         Windows file after pack, never before.\n"
         "inspect  prints image_bytes, payload_bytes, payload_sha256 and magic of a bundled\n"
         "         file, and certificate_table_bytes of a signed one\n";
}

std::string ErrnoText(int err) {
  return std::generic_category().message(err);
}

// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about
// "'" + text + "'" when it inlines it.
std::string Quoted(const std::string& path) {
  std::string quoted(1, '\'');
  quoted += Printable(path);
  quoted += '\'';
  return quoted;
}

std::string Hex32(std::uint32_t value) {
  std::array<char, 11> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "0x%08x", value));
  return text.data();
}

// Opens a file to read and checks it is a regular file, without ever
// blocking on a FIFO or device; its size in size.
File OpenRegular(const std::string& path, const char* role, std::uint64_t& size,
                 std::string& error) {
  File file = OpenFileToRead(path);
  const std::string what = std::string(role) + " " + Quoted(path);
  if (!file.valid()) {
    error = errno == EISDIR || errno == EINVAL ? what + " is not a regular file"
                                               : "cannot open " + what + ": " + ErrnoText(errno);
    return file;
  }
  const std::optional<std::uint64_t> bytes = FileSize(file);
  if (!bytes) {
    error = "cannot read " + what + ": " + ErrnoText(errno);
    return File();
  }
  size = *bytes;
  return file;
}

// Copies exactly count bytes from the start of the updater.
bool CopyImage(const File& from, std::uint64_t count, const File& to,
               std::vector<std::uint8_t>& buffer, const std::string& path, std::string& error) {
  for (std::uint64_t done = 0; done < count;) {
    const std::size_t want =
        count - done < buffer.size() ? static_cast<std::size_t>(count - done) : buffer.size();
    const std::int64_t n = ReadAt(from, done, buffer.data(), want);
    if (n <= 0) {
      error = "cannot read updater " + Quoted(path) + ": " +
              (n == 0 ? std::string("file ended early") : ErrnoText(errno));
      return false;
    }
    if (!WriteFully(to, buffer.data(), static_cast<std::size_t>(n))) {
      error = "cannot write output: " + ErrnoText(errno);
      return false;
    }
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}

// Copies the payload to its end; its length is what the trailer records.
std::optional<std::uint32_t> CopyPayload(const File& from, const File& to,
                                         std::vector<std::uint8_t>& buffer, const std::string& path,
                                         std::string& error) {
  std::uint64_t total = 0;
  for (;;) {
    const std::int64_t n = ReadAt(from, total, buffer.data(), buffer.size());
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
    if (!WriteFully(to, buffer.data(), static_cast<std::size_t>(n))) {
      error = "cannot write output: " + ErrnoText(errno);
      return std::nullopt;
    }
  }
}

// Everything after the temporary file exists; on false the caller removes it.
bool WriteBundle(const File& out, const std::string& tempPath, const File& updater,
                 std::uint64_t imageBytes, const File& payload, const std::string& updaterPath,
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
  if (!WriteFully(out, trailer.data(), trailer.size())) {
    error = "cannot write output: " + ErrnoText(errno);
    return false;
  }
  if (!CopyPermissions(updater, out)) {
    error = "cannot set the mode of " + Quoted(tempPath) + ": " + ErrnoText(errno);
    return false;
  }
  // So that the rename never publishes a file whose data is not on disk yet.
  if (!FlushToDisk(out)) {
    error = "cannot write output: " + ErrnoText(errno);
    return false;
  }
  return true;
}

}  // namespace

bool PackBundle(const std::string& updaterPath, const std::string& payloadPath,
                const std::string& outputPath, std::string& error) {
  std::uint64_t updaterBytes = 0;
  File updater = OpenRegular(updaterPath, "updater", updaterBytes, error);
  if (!updater.valid()) {
    return false;
  }
  const PayloadLayout old = LocatePayload(updater);
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
  if (old.certificateBytes != 0) {
    error = "updater " + Quoted(updaterPath) +
            " is signed, and a signature cannot cover a payload added after it: pack the "
            "unsigned updater, then sign the file pack writes";
    return false;
  }
  const std::uint64_t imageBytes = old.valid() ? old.imageBytes : updaterBytes;

  std::uint64_t payloadBytes = 0;
  File payload = OpenRegular(payloadPath, "payload", payloadBytes, error);
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
  if (KindAt(outputPath) == NameKind::kOther) {
    error = "output " + Quoted(outputPath) + " exists and is not a regular file";
    return false;
  }

  std::string tempPath;
  File out = CreateTemporaryBeside(outputPath, &tempPath);
  if (!out.valid()) {
    error = "cannot create output beside " + Quoted(outputPath) + ": " + ErrnoText(errno);
    return false;
  }
  bool ok =
      WriteBundle(out, tempPath, updater, imageBytes, payload, updaterPath, payloadPath, error);
  if (ok && !out.Close()) {
    error = "cannot write output: " + ErrnoText(errno);
    ok = false;
  }
  // Windows renames nothing over a file that is still open, and the output
  // may be the updater itself, repacked in place.
  static_cast<void>(updater.Close());
  static_cast<void>(payload.Close());
  if (ok && !RenameOver(tempPath, outputPath)) {
    error = "cannot write output " + Quoted(outputPath) + ": " + ErrnoText(errno);
    ok = false;
  }
  if (!ok) {
    static_cast<void>(out.Close());
    static_cast<void>(RemoveFileName(tempPath));
  }
  return ok;
}

std::optional<PayloadLayout> InspectBundle(const std::string& path, std::string& error,
                                           std::string* sha256) {
  std::uint64_t size = 0;
  const File file = OpenRegular(path, "file", size, error);
  if (!file.valid()) {
    return std::nullopt;
  }
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

int RunBundleTool(std::span<const std::string_view> args, const CarriedUpdaters& carried,
                  std::ostream& out, std::ostream& err) {
  constexpr int kDone = 0;
  constexpr int kFailed = 1;
  constexpr int kUsage = 2;
  const auto usage = [&err, &carried]() {
    err << UsageText(carried);
    return kUsage;
  };
  if (args.empty()) {
    return usage();
  }
  const std::string_view command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    out << UsageText(carried);
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
    if (layout->certificateBytes != 0) {
      out << "certificate_table_bytes: " << layout->certificateBytes << '\n';
    }
    return kDone;
  }

  if (command == "pack") {
    std::optional<std::string> updater;
    std::optional<std::string> payload;
    std::optional<std::string> output;
    bool force = false;
    bool windows = false;
    for (std::size_t i = 1; i < args.size(); i += 2) {
      const std::string_view option = args[i];
      bool* flag = option == "--force" ? &force : option == "--windows" ? &windows : nullptr;
      if (flag != nullptr && !*flag) {
        *flag = true;
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
    if (!payload || !output || (windows && updater)) {
      return usage();
    }
    if (!updater) {
      // An uninstalled tevra-bundle has nothing there: the caller's to fix,
      // as a missing argument is.
      const std::string& path = windows ? carried.windows : carried.portable;
      if (KindAt(path) == NameKind::kNone) {
        err << "tevra-bundle: "
            << (windows ? "--windows given but no Windows updater at "
                        : "no --updater given and no portable updater at ")
            << Quoted(path) << " (installed by the tevra-updater package); give --updater FILE\n";
        return kUsage;
      }
      updater = path;
    }
    // One that cannot be looked at is left to pack, which says why.
    if (!force && KindAt(*output).value_or(NameKind::kNone) != NameKind::kNone) {
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
