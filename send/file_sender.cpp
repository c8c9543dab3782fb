#include "send/file_sender.h"

#include <chrono>
#include <thread>

#include "protocol/verified.h"

namespace zarvek {

FileSender::FileSender(TransferUi& ui, bool verify) : ui_(ui), verify_(verify) {}

FileSender::~FileSender() = default;

Result FileSender::openPort(const char* portName) { return port_.open(portName, PortRole::Sender); }

Result FileSender::configurePort(int32_t speed) { return port_.configure(speed, PortRole::Sender); }

SendBatchResult FileSender::runSendBatch(const std::vector<std::string>& paths, const std::atomic<uint8_t>& running,
                                         int32_t crcRetryLimit) {
  batch_ = {};
  batchDone_ = false;
  for (const std::string& path : paths) {
    if (!running.load() || batchDone_) return batch_;
    sendFile(path, running, crcRetryLimit);
  }
  pause(50);  // the selection found exhausted
  return batch_;
}

void FileSender::sendFile(const std::string& path, const std::atomic<uint8_t>& running, int32_t crcRetryLimit) {
  source_ = std::make_unique<SourceFile>();
  if (const Result opened = source_->open(path); !opened) ui_.systemCallFailed(opened);
  ui_.fileBegins(path, source_->size());
  if (const std::string problem = source_->whyNotSendable(); !problem.empty()) {
    // Nothing of it has gone out: say so and go on with the next file.
    ui_.showMessage(("Cannot send " + path + ": " + problem + ".").c_str(), "Error", MessageIcon::Error);
    ui_.fileEnded(report(FileOutcome::Skipped, 0, problem));
    ++batch_.filesSkipped;
    source_.reset();
    return;
  }

  // A verified file that does not match at the far end goes again from "FS",
  // up to the retry limit in all.
  uint64_t delivered = 0;
  Ending ending = Ending::Mismatch;
  for (int32_t attempt = 0; ending == Ending::Mismatch && attempt < std::max(crcRetryLimit, 1) && running.load();
       ++attempt) {
    ending = sendOnce(running, crcRetryLimit, delivered);
  }
  switch (ending) {
    case Ending::Sent:
    case Ending::Verified: {
      FileReport r = report(FileOutcome::Complete, source_->size());
      r.verified = ending == Ending::Verified;
      ui_.fileEnded(r);
      break;
    }
    case Ending::Mismatch:
      ++batch_.filesFailed;
      ui_.fileEnded(report(FileOutcome::NotVerified, 0, "it did not match at the receiving end, " +
                                                            std::to_string(std::max(crcRetryLimit, 1)) + " times"));
      break;
    case Ending::Abandoned:
      ui_.fileEnded(report(FileOutcome::Abandoned, delivered));
      break;
    case Ending::Stopped:
      ui_.fileEnded(report(FileOutcome::Stopped, delivered));
      break;
    case Ending::ReplyUnread: {
      ++batch_.filesFailed;
      batchDone_ = true;  // the port has failed: no further file would fare better
      ui_.fileEnded(report(FileOutcome::LineFailed, delivered, replyFailure_.step()));
      const std::string text = "The port failed while waiting for the reply to a packet of " + path +
                               ". The file was not sent complete, and no further file is sent.";
      ui_.showMessage(text.c_str(), "Error", MessageIcon::Error);
      break;
    }
  }
  source_.reset();
  // A verified file's end was answered: the receiver is waiting already.
  pause(ending == Ending::Verified ? 0 : 50);
}

FileSender::Ending FileSender::sendOnce(const std::atomic<uint8_t>& running, int32_t crcRetryLimit,
                                        uint64_t& delivered) {
  readPos_ = 0;
  fileVerified_ = false;
  fileCrc_ = 0;
  crcUpTo_ = 0;
  delivered = 0;
  if (sendUntilTaken(&FileSender::sendSize, running) == PacketResult::Failed) batchDone_ = true;
  // A Zarvek receiver takes the offer with its own reply; the name says so back.
  fileVerified_ = verify_ && replyByte_ == kReplyVerify;
  // The name stage runs even after a failed size stage.
  if (sendUntilTaken(&FileSender::sendName, running) == PacketResult::Failed) batchDone_ = true;

  int32_t& crcFailures = batch_.crcFailures;  // carried across files
  while (running.load() && crcFailures < crcRetryLimit) {
    if (sendNextChunk() == PacketResult::FileEnded) {
      if (fileVerified_) return awaitVerdict(running);
      if (running.load()) return Ending::Sent;
      break;  // stopped just after "EF": "AF" still follows, as the classic sender sends it
    }
    const int64_t chunkEnd = readPos_;
    const PacketResult reply = waitReply(running);
    if (reply == PacketResult::CrcFailed) {
      rewindChunk();
      ++crcFailures;
      ui_.chunkRefused();
      continue;
    }
    // A reply that could not be read (the port failed, not a stop) says
    // nothing of the chunk: the file cannot be called sent.
    if (reply == PacketResult::Failed && running.load()) {
      pause(50);
      sendAbort();
      return Ending::ReplyUnread;
    }
    // A stop during the wait counts as delivered, as the classic sender does.
    ui_.chunkDelivered();
    crcFailures = 0;
    delivered = static_cast<uint64_t>(chunkEnd);
  }
  const bool limitReached = crcFailures >= crcRetryLimit;
  if (limitReached) {
    ui_.showMessage("Too Contiguous CRC Errors, Aborting Transmission", "CRC Errors", MessageIcon::Error);
  }
  pause(50);
  sendAbort();  // the receiver deletes its partial copy
  // A verified receiver answers "AF" too, so that a damaged one is sent again.
  while (fileVerified_ && running.load() && waitReply(running) == PacketResult::CrcFailed) sendAbort();
  return limitReached ? Ending::Abandoned : Ending::Stopped;
}

FileSender::Ending FileSender::awaitVerdict(const std::atomic<uint8_t>& running) {
  for (;;) {
    const PacketResult reply = waitReply(running);
    if (reply == PacketResult::CrcFailed) {  // the "EF" itself arrived damaged
      sendEndOfFile();
      continue;
    }
    if (reply == PacketResult::Failed) return running.load() ? Ending::ReplyUnread : Ending::Stopped;
    // Only the one reply means the file matches; anything else, a garbled
    // verdict included, has it sent again.
    return replyByte_ == kReplyVerify ? Ending::Verified : Ending::Mismatch;
  }
}

PacketResult FileSender::sendUntilTaken(void (FileSender::*send)(), const std::atomic<uint8_t>& running) {
  PacketResult result;
  do {
    (this->*send)();
    result = waitReply(running);
  } while (result == PacketResult::CrcFailed);
  return result;
}

void FileSender::sendSize() {
  // Whatever waits in the input now is no answer to this packet: noise from a
  // far end opening its port, or an answer that came late. Taken for one, it
  // would put every later answer one packet out.
  port_.discardInput();
  buildSize(packet_, source_->size());
  if (verify_) putOffer(packet_, source_->size());
  writePacket();
}

void FileSender::sendName() {
  // Names the receiving side cannot hold were refused before anything of the
  // file went out (whyNotSendable), so the name always fits.
  const std::string name = source_->name();
  buildName(packet_, name.data(), static_cast<uint8_t>(name.size()));
  if (verify_) putMode(packet_, fileVerified_, source_->size());
  writePacket();
}

int32_t FileSender::chunkLength() const {
  const int64_t left = static_cast<int64_t>(source_->size()) - readPos_;
  return left < kMaxChunk ? static_cast<int32_t>(left) : kMaxChunk;
}

PacketResult FileSender::sendNextChunk() {
  const int32_t n = chunkLength();
  if (n > 0) {
    const uint8_t* chunk = source_->view() + readPos_;
    if (fileVerified_) {
      if (readPos_ == crcUpTo_) {  // a chunk sent again is in the CRC already
        fileCrc_ = crc32(chunk, static_cast<size_t>(n), fileCrc_);
        crcUpTo_ += n;
      }
      buildVerifiedData(packet_, chunk, n, static_cast<uint32_t>(readPos_ / kMaxChunk));
    } else {
      buildData(packet_, chunk, n);
    }
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

void FileSender::sendEndOfFile() {
  if (fileVerified_) {
    buildVerifiedEnd(packet_, fileCrc_);
  } else {
    buildEndOfFile(packet_);
  }
  writePacket();
}

void FileSender::sendAbort() {
  if (fileVerified_) {
    buildVerifiedAbort(packet_);
  } else {
    buildAbort(packet_);
  }
  pause(50);
  writePacket();
}

void FileSender::writePacket() {
  // A failed write is reported, and the sender waits for the reply as though
  // the packet had gone, as the classic sender does: a port that has failed
  // for good fails the reply's read as well, which ends the file.
  if (const Result written = port_.writePacket(packet_); !written) ui_.systemCallFailed(written);
}

PacketResult FileSender::waitReply(const std::atomic<uint8_t>& running) {
  SerialPort::Reply reply = port_.waitReply(running);
  replyByte_ = reply.byte;
  if (!reply.failure) {
    ui_.systemCallFailed(reply.failure);
    replyFailure_ = std::move(reply.failure);
  }
  return reply.result;
}

void FileSender::pause(int ms) {
  // The receiver's purge before its next wait would eat a packet that arrives
  // back to back with the last one: the pause starts once the line is free.
  port_.drainLine();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

FileReport FileSender::report(FileOutcome outcome, uint64_t delivered, std::string reason) const {
  FileReport r;
  r.outcome = outcome;
  r.name = source_->path();
  r.path = r.name;
  r.size = source_->size();
  r.written = delivered;
  r.reason = std::move(reason);
  return r;
}

}  // namespace zarvek
