#include "cli/receive_command.h"

#include <cstring>
#include <filesystem>
#include <memory>

#include "cli/exit_codes.h"
#include "cli/ports.h"
#include "cli/terminal_ui.h"
#include "job/transfer_job.h"
#include "receive/receive_job.h"

namespace fs = std::filesystem;

namespace zarvek::cli {

void ReceiveStopper::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  if (running_) running_->store(0);
}

void ReceiveStopper::attach(std::atomic<uint8_t>* running) {
  std::lock_guard lock(mutex_);
  running_ = running;
  if (running_ && stopped_) running_->store(0);
}

int runReceive(const ReceiveOptions& options, Terminal& terminal, InterruptGuard& interrupts) {
  std::error_code ec;
  const fs::path folder =
      fs::absolute(options.folder.empty() ? fs::current_path(ec) : fs::path(options.folder), ec)
          .lexically_normal();
  if (!fs::is_directory(folder, ec)) {
    terminal.message("folder " + folder.string() + " does not exist; make it first or name another");
    return kExitBadArguments;
  }
  std::string folderText = folder.string();
  if (folderText.size() > 1 && (folderText.back() == '/' || folderText.back() == '\\') &&
      folder.has_relative_path()) {
    folderText.pop_back();
  }
  if (!receiveFolderFits(folderText)) {
    terminal.message("folder " + folderText + " is " + std::to_string(folderText.size()) +
                     " characters long; the receive folder may have at most " +
                     std::to_string(kMaxFolderLength) + ". Choose a shorter one.");
    return kExitBadArguments;
  }

  auto job = std::make_unique<TransferJob>();
  job->receiveFolder = folderText;
  job->portName = options.port;
  job->speed = options.speed;
  job->verify = options.verify;
  job->stream = options.stream;
  job->resume = options.resume;
  job->mode = AppState::Receiving;
  job->running = 1;
  if (options.stopper) options.stopper->attach(&job->running);
  interrupts.watch(job->running);

  TerminalUi ui(terminal, Role::Receive, options.linePrefix);
  if (!options.liveLine) ui.withoutLiveLine();
  int ended = 0;
  ui.onFileEnded([&](const FileReport&) {
    if (options.files > 0 && ++ended >= options.files) job->running = 0;
  });
  const auto listening = [&] {
    if (options.banner) {
      // Standard output: standard error is for what went wrong.
      terminal.line("receiving into " + folderText + " through " + options.port + " at " +
                    std::to_string(options.speed) + " bit/s; Ctrl+C stops");
    }
    if (options.onWaiting) options.onWaiting();
  };
  std::thread worker = startWorker([&] { runReceiveJob(*job, ui, listening); });
  worker.join();
  interrupts.forget(job->running);
  if (options.stopper) options.stopper->attach(nullptr);

  if (ui.portFailed()) return kExitPortError;
  bool allComplete = true;
  bool cutShort = false;
  for (const auto& report : ui.reports()) {
    if (report.outcome != FileOutcome::Complete) allComplete = false;
    if (report.outcome == FileOutcome::Kept) {
      cutShort = true;
      terminal.message("interrupted: " + report.name + " left at " + report.path + ", " +
                       std::to_string(report.size) + " bytes long with " + std::to_string(report.written) +
                       " received");
    }
    if (report.outcome == FileOutcome::Held && interrupts.interrupted()) {
      cutShort = true;
      terminal.message("interrupted: " + report.name + ": " + std::to_string(report.written) +
                       " bytes kept to take up when it is sent again");
    }
    if (report.outcome == FileOutcome::Discarded && interrupts.interrupted()) {
      cutShort = true;
      terminal.message("interrupted: " + report.name + " was not yet verified: nothing kept");
    }
  }
  if (cutShort) return kExitInterrupted;
  if (interrupts.interrupted()) {
    terminal.message("stopped after " + std::to_string(ui.reports().size()) + " file(s), none in progress");
  }
  return allComplete ? kExitSuccess : kExitFileFailed;
}

}  // namespace zarvek::cli
