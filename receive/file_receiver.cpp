#include "receive/file_receiver.h"

#include "job/silent_ui.h"
#include "job/transfer_job.h"

namespace zarvek {
namespace {

// Until a front end attaches itself, requests to the user go nowhere.
SilentUi silentUi;

}  // namespace

FileReceiver::FileReceiver() : packet_(new uint8_t[kPacketSize]()), ui_(&silentUi) {}

FileReceiver::~FileReceiver() {
  // A file still open here was cut short by a stop: it stays on disk at its
  // announced size.
  if (target_ && target_->hasFile()) reportEnd(FileOutcome::Kept);
}

int FileReceiver::openPort(const char* portName) { return port_.open(portName, PortRole::Receiver); }

int FileReceiver::configurePort(int32_t speed) { return port_.configure(speed, PortRole::Receiver); }

void FileReceiver::attachStatusField(TransferUi& ui) { ui_ = &ui; }

void FileReceiver::runReceiveLoop(TransferJob& job) {
  while (job.running.load()) {
    beginFile(job.receiveFolder);
    for (;;) {
      if (!waitForData(job.running)) break;
      if (!readPacket()) {
        ui_->showMessage("Invalid Packet", "Error", MessageIcon::None);
        break;
      }
      const PacketResult result = dispatch();
      port_.discardRestOfPacket();
      if (result == PacketResult::FileEnded) break;
      // The reply follows the packet's whole effect: for a name, the file is
      // already created and mapped when "A" goes out.
      sendReply(result == PacketResult::CrcFailed ? kReplyRefuse : kReplyAccept);
    }
    ui_->setStatusText("");
  }
}

void FileReceiver::beginFile(const char* folder) {
  // Left over after a failed read: closed, and kept with what it received.
  if (target_ && target_->hasFile()) reportEnd(FileOutcome::Kept);
  target_ = std::make_unique<TargetFile>();
  target_->setFolder(folder);
  writeCount_ = 0;
}

int FileReceiver::waitForData(const std::atomic<uint8_t>& running) { return port_.waitForData(running); }

int FileReceiver::readPacket() { return port_.readPacket(packet_.get()); }

int FileReceiver::sendReply(uint8_t byte) { return port_.sendReply(byte); }

PacketResult FileReceiver::dispatch() {
  const uint8_t* p = packet_.get();
  const uint8_t first = p[offset::kind0];
  const uint8_t second = p[offset::kind1];

  if (first == 'F') {
    if (second == 'S') {
      if (!checkCrc(p, 4)) return PacketResult::CrcFailed;
      if (!target_) return PacketResult::Failed;  // after "ET": no file to size
      return target_->storeSize(p) != 0 ? PacketResult::Accepted : PacketResult::Failed;
    }
    if (second == 'N') {
      if (!checkCrc(p, payloadLength(p))) return PacketResult::CrcFailed;
      // A second name in one cycle would reopen over the first file: refuse it.
      if (!target_ || target_->hasFile()) return PacketResult::Failed;
      if (!target_->takeName(p, *ui_)) {
        reportEnd(FileOutcome::Refused);
        return PacketResult::Failed;
      }
      if (!target_->openForWrite()) {
        // An empty file is made but cannot be mapped: that is how empty files
        // arrive, not a refusal.
        if (!(target_->hasFile() && target_->size() == 0)) reportEnd(FileOutcome::Refused);
        return PacketResult::Failed;
      }
      return PacketResult::Accepted;
    }
    if (second == 'D') {
      const int32_t n = payloadLength(p);
      if (!checkCrc(p, n)) return PacketResult::CrcFailed;
      // No view, or a chunk running past the announced size: written nowhere.
      if (!target_ || !target_->writeChunk(p, n, writeCount_)) return PacketResult::Failed;
      writeCount_ += n;
      target_->releaseBefore(static_cast<uint64_t>(writeCount_));
      return PacketResult::Accepted;
    }
    return PacketResult::Accepted;
  }

  if (first == 'E' && (second == 'F' || second == 'T')) {
    if (target_ && target_->hasFile()) {
      reportEnd(static_cast<uint64_t>(writeCount_) == target_->size() ? FileOutcome::Complete
                                                                       : FileOutcome::Incomplete);
    }
    target_.reset();
    if (second == 'T') return PacketResult::TransferEnded;
    writeCount_ = 0;
    return PacketResult::FileEnded;
  }

  if (first == 'A' && second == 'F') {
    if (target_) {
      const bool hadFile = target_->hasFile();
      const bool deleted = target_->discard() != 0;
      if (hadFile || deleted) reportEnd(FileOutcome::AbortedDeleted);
    }
    target_.reset();
    writeCount_ = 0;
    return PacketResult::FileEnded;
  }

  return PacketResult::Accepted;
}

void FileReceiver::reportEnd(FileOutcome outcome) {
  FileReport report;
  report.outcome = outcome;
  report.name = target_->name();
  report.path = target_->path();
  report.size = target_->size();
  report.written = static_cast<uint64_t>(writeCount_);
  report.reason = target_->refusal();
  ui_->fileEnded(report);
}

}  // namespace zarvek
