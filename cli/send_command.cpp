#include "cli/send_command.h"

#include <memory>
#include <set>

#include "base/system_text.h"
#include "cli/exit_codes.h"
#include "cli/terminal_ui.h"
#include "job/send_list.h"
#include "job/transfer_job.h"
#include "send/send_job.h"
#include "send/source_file.h"

namespace fs = std::filesystem;

namespace zarvek::cli {

CheckedFiles checkFilesToSend(const std::vector<std::string>& chosen) {
  CheckedFiles checked;
  TransferJob list;
  for (const auto& given : chosen) {
    std::error_code ec;
    // Forward slashes as the user may type them become the platform's own.
    const fs::path path = fs::absolute(fs::path(given).make_preferred(), ec).lexically_normal();
    const size_t first = list.files.size();
    std::vector<LeftOut> leftOut;
    if (const Result listed = addToSendList(list, path.string(), leftOut); !listed) {
      checked.problems.push_back(given + ": cannot be sent: " + listed.step() + ": " +
                                 systemErrorText(listed.code()));
      continue;
    }
    for (const LeftOut& l : leftOut) checked.leftOut.push_back(l.path + ": not sent: " + l.why);
    for (size_t i = first; i < list.files.size(); ++i) {
      const std::string wire = list.wirePaths.empty() ? std::string() : list.wirePaths[i];
      if (!wire.empty() && wire.back() == '/') continue;  // a folder to make: nothing to read
      // A file named as itself is told as the user wrote it.
      const std::string& shown = wire.empty() ? given : list.files[i];
      if (const std::string problem = whyNotSendable(list.files[i]); !problem.empty()) {
        checked.problems.push_back(shown + ": cannot be sent: " + problem);
      }
    }
  }
  checked.paths = std::move(list.files);
  checked.wirePaths = std::move(list.wirePaths);
  return checked;
}

int runSend(const SendOptions& options, Terminal& terminal, InterruptGuard& interrupts) {
  const CheckedFiles checked = checkFilesToSend(options.files);
  if (!checked.problems.empty()) {
    for (const auto& problem : checked.problems) terminal.message(problem);
    terminal.message("nothing was sent");
    return kExitBadArguments;
  }
  for (const auto& note : checked.leftOut) terminal.message(note);

  auto job = std::make_unique<TransferJob>();
  job->files = checked.paths;
  job->wirePaths = checked.wirePaths;
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
              std::to_string(stopped->size) + " bytes; AF sent, " + afterAbort(*stopped);
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
