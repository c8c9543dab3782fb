#include "cli/send_command.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <set>

#include "cli/exit_codes.h"
#include "cli/ports.h"
#include "cli/terminal_ui.h"
#include "job/transfer_job.h"
#include "send/file_sender.h"

namespace fs = std::filesystem;

namespace zarvek::cli {

CheckedFiles checkFilesToSend(const std::vector<std::string>& files) {
  CheckedFiles checked;
  for (const auto& file : files) {
    std::error_code ec;
    // Forward slashes as the user may type them become the platform's own.
    fs::path path = fs::absolute(fs::path(file).make_preferred(), ec).lexically_normal();
    const auto status = fs::status(path, ec);
    if (!fs::exists(status)) {
      checked.problems.push_back(file + ": no such file");
    } else if (fs::is_directory(status)) {
      checked.problems.push_back(file + ": is a folder; name the files in it");
    } else if (!fs::is_regular_file(status)) {
      checked.problems.push_back(file + ": not a regular file");
    } else if (fs::file_size(path, ec) > 0xFFFFFFFFull) {
      checked.problems.push_back(file + ": 4 GiB or more, larger than the line's size field");
    } else if (path.filename().string().size() > static_cast<size_t>(kMaxSentName)) {
      checked.problems.push_back(file + ": its name is longer than " + std::to_string(kMaxSentName) +
                                 " characters, which the receiver cannot hold; rename it");
    } else if (!std::ifstream(path, std::ios::binary)) {
      checked.problems.push_back(file + ": cannot be read (permission?)");
    } else {
      checked.paths.push_back(path);
    }
  }
  return checked;
}

std::vector<SendBatch> planSendBatches(const std::vector<fs::path>& files) {
  std::vector<SendBatch> batches;
  std::string root;
  for (const auto& file : files) {
    const std::string fileRoot = file.root_path().string();
    const std::string name = file.relative_path().string();
    const bool fits = !batches.empty() &&
                      batches.back().selection.size() + name.size() + 2 <= static_cast<size_t>(kSelectionSize);
    if (batches.empty() || fileRoot != root || !fits) {
      root = fileRoot;
      SendBatch batch;
      batch.selection = root;
      batch.selection.push_back('\0');
      batch.nextName = static_cast<int32_t>(batch.selection.size());
      batches.push_back(std::move(batch));
    }
    SendBatch& batch = batches.back();
    batch.selection += name;
    batch.selection.push_back('\0');
    batch.paths.push_back(root + name);
  }
  // Each list ends with an empty name.
  for (auto& batch : batches) batch.selection.push_back('\0');
  return batches;
}

int runSend(const SendOptions& options, Terminal& terminal, InterruptGuard& interrupts) {
  const CheckedFiles checked = checkFilesToSend(options.files);
  if (!checked.problems.empty()) {
    for (const auto& problem : checked.problems) terminal.message(problem);
    terminal.message("nothing was sent");
    return kExitBadArguments;
  }
  const std::vector<SendBatch> batches = planSendBatches(checked.paths);
  for (const auto& batch : batches) {
    if (batch.selection.size() > static_cast<size_t>(kSelectionSize)) {
      terminal.message(batch.paths.front() + ": path too long to send; nothing was sent");
      return kExitBadArguments;
    }
  }

  auto job = std::make_unique<TransferJob>();
  job->speed = options.speed;
  job->crcRetryLimit = options.retryLimit;
  job->mode = Sending;
  job->running = 1;
  interrupts.watch(job->running);

  TerminalUi ui(terminal, Role::Send, options.linePrefix);
  ui.setRetryLimit(options.retryLimit);
  PortError portError = PortError::None;
  unsigned long portCode = 0;
  bool lineGaveUp = false;

  std::thread worker = startWorker([&] {
    SendBatchResult total;
    {
      FileSender sender;
      DiagnosticLines::mute(true);  // the open failure gets a line of its own
      const int opened = sender.openPort(options.port.c_str());
      DiagnosticLines::mute(false);
      if (!opened) {
        portError = sender.openError();
        portCode = DiagnosticLines::lastCode();
        return;
      }
      sender.configurePort(options.speed);
      for (const auto& batch : batches) {
        if (!job->running) break;
        std::memcpy(job->selection, batch.selection.data(), batch.selection.size());
        job->nextName = batch.nextName;
        const SendBatchResult result = runSendBatch(*job, sender, ui);
        total.filesSkipped += result.filesSkipped;
        total.crcFailures = result.crcFailures;
        // Within a batch the engine gives up on every file after one was
        // abandoned; the same holds across batches.
        if (result.crcFailures >= options.retryLimit) {
          lineGaveUp = true;
          break;
        }
      }
    }  // the port is closed before the sound, as the program does
    playCompletionSound(*job, total, ui);
  });
  worker.join();
  interrupts.forget(job->running);

  if (portError != PortError::None) {
    terminal.message(portErrorText(options.port, portError, portCode));
    return kExitPortError;
  }

  std::set<std::string> reported;
  bool allComplete = true;
  const FileReport* stopped = nullptr;
  for (const auto& report : ui.reports()) {
    reported.insert(report.name);
    if (report.outcome != FileOutcome::Complete) allComplete = false;
    if (report.outcome == FileOutcome::Stopped) stopped = &report;
  }
  std::vector<std::string> unsent;
  for (const auto& batch : batches) {
    for (const auto& path : batch.paths) {
      if (!reported.count(path)) unsent.push_back(path);
    }
  }
  const bool interrupted = interrupts.interrupted() && (stopped || !unsent.empty());
  if (interrupted) {
    std::string text = "interrupted";
    if (stopped) {
      text += ": " + stopped->name + " stopped after " + std::to_string(stopped->written) + " of " +
              std::to_string(stopped->size) + " bytes; AF sent, the receiver deletes its copy";
    }
    terminal.message(text);
  }
  if (!unsent.empty()) {
    std::string text = lineGaveUp ? "not sent (the line refused too many packets):" : "not sent:";
    for (const auto& path : unsent) text += " " + path;
    terminal.message(text);
  }
  if (interrupted) return kExitInterrupted;
  return allComplete && unsent.empty() ? kExitSuccess : kExitFileFailed;
}

}  // namespace zarvek::cli
