#include "cli/terminal_ui.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "base/system_text.h"
#include "cli/ports.h"

namespace zarvek::cli {

std::string formatBytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const units[] = {"KiB", "MiB", "GiB"};
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 2) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  return text;
}

std::string formatDuration(uint64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  }
  return text;
}

TerminalUi::TerminalUi(Terminal& terminal, Role role, std::string linePrefix)
    : terminal_(terminal), role_(role), prefix_(std::move(linePrefix)) {}

bool TerminalUi::fileBegins(const std::string& name, uint64_t size) {
  active_ = true;
  name_ = name;
  size_ = size;
  done_ = 0;
  resends_ = 0;
  started_ = Clock::now();
  lastDrawn_ = {};
  if (!terminal_.live() && !terminal_.quiet()) {
    terminal_.line(prefix_ + (role_ == Role::Send ? "sending " : "receiving ") + name_ + " (" +
                   std::to_string(size_) + " bytes)");
  }
  draw(true);
  return true;
}

void TerminalUi::progress(uint64_t done, uint64_t) {
  done_ = done;
  draw(false);
}

void TerminalUi::chunkRefused() {
  ++resends_;
  draw(false);
}

void TerminalUi::betweenFiles() {
  active_ = false;
  if (liveLine_) terminal_.clearProgress();
}

void TerminalUi::draw(bool force) {
  if (!terminal_.live() || !liveLine_ || !active_) return;
  const auto now = Clock::now();
  // Ten redraws a second are plenty for the eye and cost nothing on the line.
  if (!force && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
  lastDrawn_ = now;

  std::string text = prefix_ + (role_ == Role::Send ? "sending " : "receiving ") +
                     std::filesystem::path(name_).filename().string();
  const uint64_t bytes = std::min<uint64_t>(done_, size_);
  const double seconds = std::chrono::duration<double>(now - started_).count();
  if (size_ > 0) text += "  " + std::to_string(bytes * 100 / size_) + "%";
  text += "  " + formatBytes(bytes);
  if (size_ > 0) text += " of " + formatBytes(size_);
  if (seconds > 0.5 && bytes > 0) {
    const double rate = static_cast<double>(bytes) / seconds;
    text += "  " + formatBytes(static_cast<uint64_t>(rate)) + "/s";
    if (size_ > bytes) {
      text += "  " + formatDuration(static_cast<uint64_t>(static_cast<double>(size_ - bytes) / rate)) + " left";
    }
  }
  if (resends_ > 0) text += "  " + std::to_string(resends_) + (resends_ == 1 ? " resend" : " resends");
  terminal_.progress(text);
}

// What the window shows in a box is a line on standard error here, and the
// engine goes on at once.
void TerminalUi::retryLimitReached() { terminal_.message("CRC Errors: Too Contiguous CRC Errors, Aborting Transmission"); }

void TerminalUi::packetUnread(const Result& failure) {
  systemCallFailed(failure);
  terminal_.message("Error: Invalid Packet");
}

void TerminalUi::systemCallFailed(const Result& failure) {
  terminal_.message(failure.step() + ": " + systemErrorText(failure.code()) + " (error " +
                    std::to_string(failure.code()) + ")");
}

void TerminalUi::portNotOpened(const std::string& port, PortError error, const Result& failure) {
  portFailed_ = true;
  terminal_.message(portErrorText(port, error, failure.code()));
}

void TerminalUi::playCompletionSound() { terminal_.bell(); }

namespace {

// Always MiB, so that lines of one batch compare at a glance.
std::string mebibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

std::string outcomeText(Role role, const FileReport& r, int retryLimit) {
  const std::string sized = r.name + "  " + std::to_string(r.size) + " bytes  ";
  switch (r.outcome) {
    case FileOutcome::Complete:
      if (r.folder) return r.name + "  folder made";
      return sized + (role == Role::Send ? "sent" : "complete") + (r.verified ? ", verified" : "") +
             (r.streamed ? ", streamed" : "") + (r.resumedAt > 0 ? ", resumed at " + mebibytes(r.resumedAt) : "");
    case FileOutcome::Incomplete:
      return sized + "incomplete: " + std::to_string(r.written) + " bytes arrived";
    case FileOutcome::AbortedDeleted:
      return sized + "aborted by the sender, deleted";
    case FileOutcome::Kept:
      return sized + "interrupted, kept at its full size with " + std::to_string(r.written) +
             " bytes received: " + r.path;
    case FileOutcome::Refused:
      return r.name + "  refused: " + problemText(r);
    case FileOutcome::Abandoned:
      return sized + "abandoned after " +
             (retryLimit > 0 ? std::to_string(retryLimit) + " " : std::string()) +
             "refusals in a row (AF sent; " + afterAbort(r) + ")";
    case FileOutcome::Stopped:
      return sized + "stopped after " + std::to_string(r.written) +
             " bytes (AF sent; " + afterAbort(r) + ")";
    case FileOutcome::Skipped:
      return r.name + "  skipped: " + problemText(r);
    case FileOutcome::NotVerified:
      return sized + (role == Role::Send ? "not verified: " + problemText(r) +
                                               "; not sent complete"
                                         : "did not match its checksum: deleted (the sender sends it again)");
    case FileOutcome::Discarded:
      return sized + "interrupted before it was verified: nothing kept under its name";
    case FileOutcome::LineFailed:
      return sized + "not sent complete: " + problemText(r) + " after " +
             std::to_string(r.written) +
             " bytes (AF sent; " + afterAbort(r) + ")";
    case FileOutcome::Held:
      return sized + "interrupted: " + std::to_string(r.written) +
             " bytes kept to take up when it is sent again";
  }
  return sized;
}

}  // namespace

// What the receiving end does with a file the sender cut off.
std::string afterAbort(const FileReport& r) {
  return r.keptAtReceiver ? "the receiver keeps what arrived, to take it up when it is sent again"
                          : "the receiver deletes its copy";
}

std::string TerminalUi::resultLine(Role role, const FileReport& r, int retryLimit) {
  return outcomeText(role, r, retryLimit) + (r.timeNotHeld ? "; its time left as now (this system cannot hold it)" : "");
}

void TerminalUi::fileEnded(const FileReport& report) {
  active_ = false;
  reports_.push_back(report);
  if (!report.failure && !report.failure.isRefusal()) systemCallFailed(report.failure);
  if (const std::string message = sendFailureMessage(report); !message.empty()) terminal_.message("Error: " + message);
  if (report.underBaseName && !toldBaseNames_) {
    toldBaseNames_ = true;
    terminal_.message("The receiver is not a Zarvek end: files go under their base names, folders are not made.");
  }
  terminal_.line(prefix_ + resultLine(role_, report, retryLimit_));
  if (fileEnded_) fileEnded_(report);
}

}  // namespace zarvek::cli
