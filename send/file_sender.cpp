#include "send/file_sender.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "job/paths.h"
#include "job/transfer_job.h"
#include "job/transfer_ui.h"

namespace zarvek {

FileSender::FileSender() = default;

FileSender::~FileSender() { closeSource(); }

int FileSender::openPort(const char* portName) { return port_.open(portName, PortRole::Sender); }

void FileSender::configurePort(int32_t speed) { port_.configure(speed, PortRole::Sender); }

int FileSender::openSource(const char* path) {
  source_ = std::make_unique<SourceFile>();
  if (!source_->open(path)) return 0;
  dataBase_ = source_->view();
  return 1;
}

void FileSender::closeSource() {
  source_.reset();
  dataBase_ = nullptr;  // pointed into the view just released
}

uint32_t FileSender::fileSize() const { return source_ ? source_->size() : 0; }

int FileSender::sendSize() {
  // Whatever waits in the input now is no answer to this packet: noise from a
  // far end opening its port, or an answer that came late. Taken for one, it
  // would put every later answer one packet out.
  port_.discardInput();
  buildSize(packet_, fileSize());
  return writePacket();
}

int FileSender::sendName() {
  // The batch refuses names the receiving side cannot hold before anything of
  // the file is sent, so the cut below never bites; it only keeps the buffer safe.
  const std::string name = baseName(source_ ? source_->path() : "");
  const size_t length = name.size() < static_cast<size_t>(kMaxSentName) ? name.size() : kMaxSentName;
  buildName(packet_, name.data(), static_cast<uint8_t>(length));
  return writePacket();
}

int32_t FileSender::chunkLength() const {
  const int64_t left = static_cast<int64_t>(fileSize()) - readPos_;
  return left < kMaxChunk ? static_cast<int32_t>(left) : kMaxChunk;
}

PacketResult FileSender::sendNextChunk() {
  const int32_t n = chunkLength();
  if (n > 0 && dataBase_ != nullptr) {
    buildData(packet_, dataBase_ + readPos_, n);
    readPos_ += n;
    lastChunk_ = n;
    writePacket();
    // Only this chunk may be wanted again (after an "N"); what lies before it not.
    source_->releaseBefore(static_cast<uint64_t>(readPos_ - n));
    return PacketResult::Accepted;
  }
  sendEndOfFile();
  readPos_ = 0;
  return PacketResult::FileEnded;
}

void FileSender::rewindChunk() { readPos_ -= lastChunk_; }

int FileSender::sendEndOfFile() {
  buildEndOfFile(packet_);
  return writePacket();
}

int FileSender::sendAbort() {
  buildAbort(packet_);
  pause(50);
  return writePacket();
}

int FileSender::writePacket() { return port_.writePacket(packet_); }

PacketResult FileSender::waitReply(const std::atomic<uint8_t>& running) { return port_.waitReply(running); }

void FileSender::pause(int ms) {
  // The receiver's purge before its next wait would eat a packet that arrives
  // back to back with the last one: the pause starts once the line is free.
  port_.drainLine();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

// Why a chosen file cannot be sent at all, or empty if it can. Checked before
// anything of the file goes out.
std::string whyNotSendable(const FileSender& sender) {
  const SourceFile* source = sender.source();
  switch (source->failedStep()) {
    case SourceFile::Step::None:
      break;
    case SourceFile::Step::File:
      return "it cannot be opened for reading";
    case SourceFile::Step::TooLarge:
      return "it is 4 GiB or larger, more than the size field can announce";
    case SourceFile::Step::Mapping:
    case SourceFile::Step::View:
      if (source->size() != 0) return "it cannot be mapped into memory";
      break;  // an empty file has nothing to map and is sent as such
  }
  const std::string name = baseName(source->path());
  if (name.empty()) return "it has no file name";
  if (name.size() > static_cast<size_t>(kMaxSentName))
    return "its name is longer than " + std::to_string(kMaxSentName) + " bytes, more than the receiving side holds";
  return {};
}

FileReport senderReport(const FileSender& sender, FileOutcome outcome, uint64_t delivered) {
  FileReport report;
  report.outcome = outcome;
  report.name = sender.source() ? sender.source()->path() : "";
  report.path = report.name;
  report.size = sender.fileSize();
  report.written = delivered;
  return report;
}

PacketResult sendUntilTaken(int (FileSender::*send)(), FileSender& sender, const std::atomic<uint8_t>& running) {
  PacketResult result;
  do {
    (sender.*send)();
    result = sender.waitReply(running);
  } while (result == PacketResult::CrcFailed);
  return result;
}

}  // namespace

SendBatchResult runSendBatch(TransferJob& job, FileSender& sender, TransferUi& ui) {
  SendBatchResult result;
  int32_t& crcFailures = result.crcFailures;  // carried across files
  bool batchDone = false;
  std::string pathBuffer;

  while (job.running.load() && !batchDone) {
    batchDone = nextSelectedPath(ui, job.selection, kSelectionSize, pathBuffer, job.nextName);
    if (batchDone) {
      sender.pause(50);
      break;
    }

    sender.openSource(pathBuffer.c_str());
    const std::string problem = whyNotSendable(sender);
    if (!problem.empty()) {
      // Nothing of it has gone out: say so and go on with the next file.
      const std::string text = "Cannot send " + pathBuffer + ": " + problem + ".";
      ui.showMessage(text.c_str(), "Error", MessageIcon::Error);
      FileReport report = senderReport(sender, FileOutcome::Skipped, 0);
      report.reason = problem;
      ui.fileEnded(report);
      ++result.filesSkipped;
      sender.closeSource();
      continue;
    }

    ui.setProgressRange(sender.fileSize() / kMaxChunk);

    if (sendUntilTaken(&FileSender::sendSize, sender, job.running) == PacketResult::Failed) batchDone = true;
    // The name stage runs even after a failed size stage.
    if (sendUntilTaken(&FileSender::sendName, sender, job.running) == PacketResult::Failed) batchDone = true;

    uint64_t delivered = 0;
    bool replyUnread = false;
    while (job.running.load() && crcFailures < job.crcRetryLimit) {
      if (sender.sendNextChunk() == PacketResult::FileEnded) break;
      const int64_t chunkEnd = sender.readPos();
      const PacketResult reply = sender.waitReply(job.running);
      if (reply == PacketResult::CrcFailed) {
        sender.rewindChunk();
        ++crcFailures;
        ui.chunkRefused();
        continue;
      }
      // A reply that could not be read (the port failed, not a stop) says
      // nothing of the chunk: the file cannot be called sent.
      if (reply == PacketResult::Failed && job.running.load()) {
        replyUnread = true;
        break;
      }
      // A stop during the wait counts as delivered, as the classic sender does.
      ui.stepProgress();
      crcFailures = 0;
      delivered = static_cast<uint64_t>(chunkEnd);
    }

    const bool limitReached = crcFailures >= job.crcRetryLimit;
    if (!job.running.load() || limitReached || replyUnread) {
      if (limitReached) {
        ui.showMessage("Too Contiguous CRC Errors, Aborting Transmission", "CRC Errors", MessageIcon::Error);
      }
      sender.pause(50);
      sender.sendAbort();  // the receiver deletes its partial copy
      FileOutcome outcome = limitReached ? FileOutcome::Abandoned : FileOutcome::Stopped;
      if (replyUnread) {
        outcome = FileOutcome::LineFailed;
        ++result.filesFailed;
        batchDone = true;  // the port has failed: no further file would fare better
      }
      ui.fileEnded(senderReport(sender, outcome, delivered));
      if (replyUnread) {
        const std::string text = "The port failed while waiting for the reply to a packet of " + pathBuffer +
                                 ". The file was not sent complete, and no further file is sent.";
        ui.showMessage(text.c_str(), "Error", MessageIcon::Error);
      }
    } else {
      ui.fileEnded(senderReport(sender, FileOutcome::Complete, sender.fileSize()));
    }
    sender.closeSource();
    sender.pause(50);
  }
  return result;
}

void playCompletionSound(const TransferJob& job, const SendBatchResult& result, TransferUi& ui) {
  if (job.running.load() && result.crcFailures == 0 && result.filesSkipped == 0 && result.filesFailed == 0) {
    ui.playCompletionSound();
  }
}

bool nextSelectedPath(TransferUi& ui, const char* selection, int32_t selectionSize, std::string& pathBuffer,
                      int32_t& nextName) {
  if (nextName < 0 || nextName >= selectionSize || selection[nextName] == '\0') return true;
  const size_t nameLength = strnlen(selection + nextName, static_cast<size_t>(selectionSize - nextName));
  if (nextName + static_cast<int64_t>(nameLength) >= selectionSize) return true;  // unterminated: no name

  // The folder: the leading item, but no further than just before the name.
  size_t folderLength = strnlen(selection, static_cast<size_t>(selectionSize));
  const size_t beforeName = nextName > 0 ? static_cast<size_t>(nextName - 1) : 0;
  if (folderLength > beforeName) folderLength = beforeName;

  pathBuffer.assign(selection, folderLength);
  // A root folder already ends with its separator; only a bare name at offset 0
  // has no folder at all.
  if (nextName > 0 && (pathBuffer.empty() || !isPathSeparator(pathBuffer.back()))) pathBuffer += kPathSeparator;
  pathBuffer.append(selection + nextName, nameLength);
  nextName += static_cast<int32_t>(nameLength) + 1;

  ui.setStatusText(pathBuffer.c_str());
  return false;
}

}  // namespace zarvek
