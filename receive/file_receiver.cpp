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
    while (handleNextPacket(job.running)) {
    }
    ui_->setStatusText("");
  }
}

bool FileReceiver::handleNextPacket(const std::atomic<uint8_t>& running) {
  if (!waitForData(running)) return false;
  if (!readPacket()) return failedRead();
  const uint8_t* p = packet_.get();
  // "EF" and "AF" are known by their letters alone, even when cut short.
  const bool endsFile = port_.lastReadCount() >= 2 && (isKind(p, kEndOfFile) || isKind(p, kAbortFile));
  if (port_.lastReadCount() < kPacketSize && !endsFile) {
    switch (settleShortRead(running)) {
      case ShortRead::Stopped:
        return false;
      case ShortRead::ReadFailed:
        return failedRead();
      case ShortRead::Refuse:
        sendReply(kReplyRefuse);
        return true;
      case ShortRead::WholePacketFollowed:
        return handleNextPacketRead(running);
    }
  }
  return handleNextPacketRead(running);
}

bool FileReceiver::handleNextPacketRead(const std::atomic<uint8_t>& running) {
  const uint8_t* p = packet_.get();
  // The sender's next file begins 50 ms after "EF"/"AF" has left the line:
  // discard now, not after closing the file and updating the window.
  if (isKind(p, kEndOfFile) || isKind(p, kAbortFile)) port_.discardInput();
  const PacketResult result = dispatch();
  if (result == PacketResult::FileEnded) return false;
  // The rest of a damaged packet is still arriving (a byte lost, or noise
  // merged with it): answered before it has passed, it would be taken for the
  // next packet, and every later answer would answer the wrong one.
  if (result == PacketResult::CrcFailed) port_.dropUntilQuiet(running);
  // The reply follows the packet's whole effect: for a name, the file is
  // already created and mapped when "A" goes out.
  sendReply(result == PacketResult::CrcFailed ? kReplyRefuse : kReplyAccept);
  return true;
}

FileReceiver::ShortRead FileReceiver::settleShortRead(const std::atomic<uint8_t>& running) {
  // Noise on an idle line (a far end powering up or opening its port), or a
  // packet cut by a gap or short of a lost byte. Its bytes are never used: the
  // rest of the buffer still holds the previous packet. What follows tells
  // which it was. A whole packet: the bytes before it were noise, and they get
  // no answer, since a sender that never discards input would take it for the
  // answer to that packet. Pieces that add up to a packet, or silence: a packet
  // was cut, and its sender waits for an answer; "N" has it sent again.
  int64_t received = port_.lastReadCount();
  while (received < kPacketSize) {
    switch (port_.waitForMore(running, kNoiseWindow)) {
      case SerialPort::More::Stopped:
        return ShortRead::Stopped;
      case SerialPort::More::Quiet:
        return ShortRead::Refuse;
      case SerialPort::More::Data:
        break;
    }
    if (!readPacket()) return ShortRead::ReadFailed;
    if (port_.lastReadCount() == kPacketSize) return ShortRead::WholePacketFollowed;
    received += port_.lastReadCount();
  }
  return ShortRead::Refuse;
}

bool FileReceiver::failedRead() {
  ui_->showMessage("Invalid Packet", "Error", MessageIcon::None);
  return false;
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
