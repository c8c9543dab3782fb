#include "cli/send_command.h"

#include <memory>
#include <set>

#include "cli/exit_codes.h"
#include "cli/terminal_ui.h"
#include "job/transfer_job.h"
#include "send/send_job.h"
#include "send/source_file.h"

namespace fs = std::filesystem;

namespace zarvek::cli {

CheckedFiles checkFilesToSend(const std::vector<std::string>& files) {
  CheckedFiles checked;
  for (const auto& file : files) {
    std::error_code ec;
    // Forward slashes as the user may type them become the platform's own.
    const fs::path path = fs::absolute(fs::path(file).make_preferred(), ec).lexically_normal();
    if (const std::string problem = whyNotSendable(path.string()); !problem.empty()) {
      checked.problems.push_back(file + ": cannot be sent: " + problem);
    } else {
      checked.paths.push_back(path.string());
    }
  }
  return checked;
}

int runSend(const SendOptions& options, Terminal& terminal, InterruptGuard& interrupts) {
  const CheckedFiles checked = checkFilesToSend(options.files);
  if (!checked.problems.empty()) {
    for (const auto& problem : checked.problems) terminal.message(problem);
    terminal.message("nothing was sent");
    return kExitBadArguments;
  }

  auto job = std::make_unique<TransferJob>();
  job->files = checked.paths;
  job->portName = options.port;
  job->speed = options.speed;
  job->crcRetryLimit = options.retryLimit;
  job->verify = options.verify;
  job->stream = options.stream;
  job->mode = AppState::Sending;
  job->running = 1;
  interrupts.watch(job->running);

  TerminalUi ui(terminal, Role::Send, options.linePrefix);
  ui.setRetryLimit(options.retryLimit);
  std::thread worker = startWorker([&] { runSendJob(*job, ui); });
  worker.join();
  interrupts.forget(job->running);
  if (ui.portFailed()) return kExitPortError;

  std::set<std::string> reported;
  bool allComplete = true;
  bool lineGaveUp = false;
  const FileReport* stopped = nullptr;
  for (const auto& report : ui.reports()) {
    reported.insert(report.name);
    if (report.outcome != FileOutcome::Complete) allComplete = false;
    if (report.outcome == FileOutcome::Abandoned) lineGaveUp = true;
    if (report.outcome == FileOutcome::Stopped) stopped = &report;
  }
  std::vector<std::string> unsent;
  for (const auto& path : checked.paths) {
    if (!reported.count(path)) unsent.push_back(path);
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
