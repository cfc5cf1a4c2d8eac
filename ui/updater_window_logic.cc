#include "ui/updater_window_logic.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "download/fd_payload_source.h"
#include "payload/extract_payload.h"
#include "payload/payload_paths.h"
#include "platform/diagnostics.h"
#include "res/combo_lists.h"
#include "res/resource.h"
#include "serial/serial_port.h"

namespace tevra {

namespace {

// The log's sentences.
constexpr char kLogComOpened[] = "Com has opened already!";
constexpr char kLogComNotOpened[] = "Com has not opened!";
constexpr char kLogComClosed[] = "Success to Close Com!";
constexpr char kLogNoConnect[] = "Do without connect in com mode.";

// Port defaults: COM3 at 9600 baud.
constexpr int kDefaultPortIndex = 2;
constexpr int kDefaultBaudIndex = 6;
constexpr int kDefaultPortState = 0;

constexpr const char* kLogOpenFileFailure = DownloadSequencer::kLogOpenFileFailure;

const char* FailureCause(int error) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): only the window's thread reports
  return error != 0 ? std::strerror(error) : "unknown cause";
}

}  // namespace

UpdaterWindowLogic::UpdaterWindowLogic(UpdaterWindowView& view) : view_(view) {}

UpdaterWindowLogic::~UpdaterWindowLogic() {
  session_.ClosePort();
}

void UpdaterWindowLogic::OnInitDialog() {
  portIndex_ = kDefaultPortIndex;
  portState_ = kDefaultPortState;
  baudIndex_ = kDefaultBaudIndex;
  portOpen_ = false;
}

void UpdaterWindowLogic::OnSysCommand(unsigned id) {
  if ((id & res::kSysCommandMask) == res::IDM_ABOUTBOX) {
    view_.ShowAbout();
  }
}

void UpdaterWindowLogic::OnConnectReader() {
  view_.PrependLog(kLogNoConnect);
}

void UpdaterWindowLogic::OnComSettings() {
  // The port is let go while the dialog is up, whatever the answer.
  if (portOpen_) {
    session_.ClosePort();
    portOpen_ = false;
  }
  const std::optional<UpdaterWindowView::PortChoice> choice =
      view_.AskPortSettings(portIndex_, baudIndex_, portState_);
  if (!choice) {
    return;
  }
  portIndex_ = choice->portIndex;
  baudIndex_ = choice->baudIndex;
  const std::uint32_t rate = res::BaudRateForRow(baudIndex_);

  // Only a port refused for want of permission has a way in to offer; a
  // port another program holds fails otherwise on every system.
  const auto portNumber = static_cast<std::uint8_t>(portIndex_ + 1);
  errno = 0;
  if (!OpenCom(portNumber, rate) && (errno == EACCES || errno == EPERM) &&
      view_.OfferPortAccess(portNumber) && !portOpen_) {
    OpenCom(portNumber, rate);
  }
}

bool UpdaterWindowLogic::OpenCom(std::uint8_t portNumber, std::uint32_t rate) {
  // 8 data bits, even parity, one stop bit.
  if (session_.OpenPort(portNumber, rate)) {
    view_.PrependLog(kLogComOpened);
    portOpen_ = true;
    return true;
  }
  const int error = errno;
  view_.PrependLog(kLogComNotOpened);
  errno = error;
  return false;
}

void UpdaterWindowLogic::OnComClose() {
  session_.ClosePort();
  portOpen_ = false;
  view_.PrependLog(kLogComClosed);
  session_.AbandonDownload();
}

void UpdaterWindowLogic::ClosePortForExit() {
  session_.ClosePort();
  portOpen_ = false;
}

void UpdaterWindowLogic::OnDownload() {
  if (!portOpen_) {
    view_.PrependLog(DownloadSequencer::kLogNoOpenCom);
    return;
  }
  StartDownload();
}

// A download that cannot start leaves Download disabled, as the session
// never ends what it never began.
void UpdaterWindowLogic::StartDownload() {
  view_.EnableDownload(false);

  errno = 0;
  const std::string source = payloadSource_.empty() ? SelfExecutablePath() : payloadSource_;
  std::string problem;
  const std::string directory = source.empty() ? std::string() : PayloadDirectory(&problem);
  if (directory.empty()) {
    if (source.empty()) {
      problem = std::string("the updater's own file is unknown: ") + FailureCause(errno);
    }
    Diagnose(problem);
    view_.PrependLog(kLogOpenFileFailure);
    return;
  }
  const std::string imagePath = directory + '/' + kImageFileName;
  const std::string payloadPath = directory + '/' + kPayloadFileName;

  // A failed extraction leaves no payload to trust (an empty file, or one
  // left by an earlier run): it fails like a payload file that won't open.
  // The payload is read through the descriptor the extraction wrote it
  // with: whatever appears at its path later is never sent.
  ExtractedPayload extracted =
      ExtractPayloadForSending(source.c_str(), imagePath.c_str(), payloadPath.c_str());
  if (!extracted.ok()) {
    Diagnose("no payload could be extracted from " + Printable(source) + ": " + extracted.problem);
    view_.PrependLog(kLogOpenFileFailure);
    return;
  }
  auto payload = std::make_unique<FdPayloadSource>(std::move(extracted.payload), payloadPath);
  const std::int64_t length = payload->Size();
  if (length < 0) {
    Diagnose("cannot read " + Printable(payloadPath) + ": " + FailureCause(errno));
    view_.PrependLog(kLogOpenFileFailure);
    return;
  }
  session_.StartDownload(std::move(payload), static_cast<std::uint64_t>(length));
}

// The session takes every record waiting, so a notice whose record an
// earlier one already took finds nothing.
void UpdaterWindowLogic::OnSerialNotify(std::uintptr_t wParam, std::intptr_t /*lParam*/) {
  if (NoticeOf(wParam) != SerialNotice::kWriteCompleted) {
    session_.OnNotified();
  }
}

void UpdaterWindowLogic::OnTimer(int id) {
  session_.OnTimer(id);
}

void UpdaterWindowLogic::Wake(std::uintptr_t wParam, std::intptr_t lParam) {
  view_.Wake(wParam, lParam);
}

void UpdaterWindowLogic::Log(std::string_view sentence) {
  view_.PrependLog(sentence);
}

void UpdaterWindowLogic::Diagnostic(const std::string& line) {
  Diagnose(line);
}

void UpdaterWindowLogic::Progress(int percent) {
  view_.SetProgressPos(percent);
}

void UpdaterWindowLogic::SetTimer(int id, std::chrono::milliseconds period) {
  view_.SetTimer(id, period);
}

void UpdaterWindowLogic::KillTimer(int id) {
  view_.KillTimer(id);
}

// The log keeps its own sentences: a failure's cause goes to stderr.
void UpdaterWindowLogic::Ended(DownloadSession::Outcome /*outcome*/, const std::string& cause) {
  if (!cause.empty()) {
    Diagnose(cause);
  }
  view_.EnableDownload(true);
}

}  // namespace tevra
