#include "receive/file_receiver.h"

#include "protocol/verified.h"

namespace zarvek {

FileReceiver::FileReceiver(TransferUi& ui, bool acceptOffers)
    : ui_(ui), acceptOffers_(acceptOffers), packet_(new uint8_t[kPacketSize]()) {}

FileReceiver::~FileReceiver() {
  // A file still open here was cut short by a stop: it stays on disk at its
  // announced size.
  if (target_ && target_->hasFile()) reportEnd(FileOutcome::Kept);
}

Result FileReceiver::openPort(const char* portName) { return port_.open(portName, PortRole::Receiver); }

Result FileReceiver::configurePort(int32_t speed) { return port_.configure(speed, PortRole::Receiver); }

void FileReceiver::runReceiveLoop(const char* folder, const std::atomic<uint8_t>& running) {
  // What came before the job is dropped before the far end hears the line is
  // ready, not by the first wait: a sender that starts at once would lose its
  // first packet to it and wait for ever for the answer.
  port_.discardInput();
  ui_.lineReady();
  while (running.load()) {
    beginFile(folder);
    while (handleNextPacket(running)) {
    }
    ui_.betweenFiles();
  }
}

void FileReceiver::beginFile(const char* folder) {
  // Left over after a failed read: closed, and kept with what it received.
  if (target_ && target_->hasFile()) reportEnd(FileOutcome::Kept);
  target_ = std::make_unique<TargetFile>();
  target_->setFolder(folder);
  writeCount_ = 0;
  offerTaken_ = verified_ = broken_ = false;
  nextIndex_ = 0;
  fileCrc_ = 0;
}

bool FileReceiver::handleNextPacket(const std::atomic<uint8_t>& running) {
  if (!port_.waitForData(running)) return false;
  if (!readPacket()) return failedRead();
  // "EF" and "AF" are known by their letters alone, even when cut short.
  const PacketKind kind = kindOf(packet_.get());
  const bool endsFile = port_.lastReadCount() >= 2 && (kind == PacketKind::EndOfFile || kind == PacketKind::AbortFile);
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
        break;
    }
  }
  return actOnPacket(running);
}

bool FileReceiver::actOnPacket(const std::atomic<uint8_t>& running) {
  const PacketKind kind = kindOf(packet_.get());
  // The sender's next file begins 50 ms after "EF"/"AF" has left the line:
  // discard now, not after closing the file and updating the window.
  if (kind == PacketKind::EndOfFile || kind == PacketKind::AbortFile) port_.discardInput();
  reply_ = 0;
  const PacketResult result = dispatch();
  // A classic "EF" or "AF" gets no reply; a verified one is answered.
  if (result == PacketResult::FileEnded && reply_ == 0) return false;
  // The rest of a damaged packet is still arriving (a byte lost, or noise
  // merged with it): answered before it has passed, it would be taken for the
  // next packet, and every later answer would answer the wrong one.
  if (result == PacketResult::CrcFailed) port_.dropUntilQuiet(running);
  // The reply follows the packet's whole effect: for a name, the file is
  // already created and mapped when "A" goes out.
  if (reply_ == 0) reply_ = result == PacketResult::CrcFailed ? kReplyRefuse : kReplyAccept;
  sendReply(reply_);
  return result != PacketResult::FileEnded;
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

bool FileReceiver::readPacket() {
  const Result read = port_.readPacket(packet_.get());
  if (!read) ui_.systemCallFailed(read);
  return static_cast<bool>(read);
}

bool FileReceiver::failedRead() {
  ui_.showMessage("Invalid Packet", "Error", MessageIcon::None);
  return false;
}

void FileReceiver::sendReply(uint8_t byte) {
  // A reply that cannot be written is reported and the loop goes on, as the
  // classic receiver does: the sender, waiting for it, is stopped by its user.
  if (const Result sent = port_.sendReply(byte); !sent) ui_.systemCallFailed(sent);
}

PacketResult FileReceiver::dispatch() {
  const uint8_t* p = packet_.get();
  const PacketKind kind = kindOf(p);
  // Size and name keep their classic form in a verified file (a name sent again
  // after its answer was garbled arrives so); everything after them changes.
  if (verified_ && kind != PacketKind::FileSize && kind != PacketKind::FileName) return dispatchVerified();
  switch (kind) {
    case PacketKind::FileSize:
      if (!checkCrc(p, 4)) return PacketResult::CrcFailed;
      return takeSize();
    case PacketKind::FileName:
      if (!checkCrc(p, payloadLength(p))) return PacketResult::CrcFailed;
      if (acceptOffers_) {
        const std::optional<Mode> mode = readMode(p);
        // The sender's word on the mode of a file it offered arrived damaged: again.
        if (!mode && offerTaken_) return PacketResult::CrcFailed;
        if (mode && mode->verified) {
          verified_ = true;
          // Checked over all its bytes, unlike the size packet's high nibbles.
          if (target_) target_->setSize(mode->size);
        }
      }
      return takeName();
    case PacketKind::FileData: {
      const int32_t n = payloadLength(p);
      if (!checkCrc(p, n)) return PacketResult::CrcFailed;
      // No view, or a chunk running past the announced size: written nowhere.
      if (!target_ || !target_->writeChunk(p, n, writeCount_)) return PacketResult::Failed;
      writeCount_ += n;
      target_->releaseBefore(static_cast<uint64_t>(writeCount_));
      return PacketResult::Accepted;
    }
    case PacketKind::EndOfFile:
    case PacketKind::AbortFile:
      // A verified end sent again after its answer was lost or garbled: the
      // file is closed already, so only the answer goes again.
      if (acceptOffers_ && lastVerdict_ != 0 && !(target_ && target_->hasFile()) && checkVerified(p)) {
        reply_ = kind == PacketKind::EndOfFile ? lastVerdict_ : kReplyAccept;
      }
      endFile(kind);
      return PacketResult::FileEnded;
    case PacketKind::EndOfTransfer:
      endFile(kind);
      return PacketResult::TransferEnded;
    case PacketKind::Unknown:
      break;
  }
  return PacketResult::Accepted;
}

PacketResult FileReceiver::takeSize() {
  if (acceptOffers_) {
    switch (readOffer(packet_.get())) {
      case Offer::Damaged:  // the size field disagrees with the offer's own copy
        return PacketResult::CrcFailed;
      case Offer::Valid:
        offerTaken_ = true;
        reply_ = kReplyVerify;
        break;
      case Offer::None:
        break;
    }
  }
  if (!target_) return PacketResult::Failed;  // after "ET": no file to size
  return target_->storeSize(packet_.get()) != 0 ? PacketResult::Accepted : PacketResult::Failed;
}

PacketResult FileReceiver::dispatchVerified() {
  const uint8_t* p = packet_.get();
  // Every packet of a verified file is checked over all its bytes, the kind
  // letters and the length field included.
  if (!checkVerified(p)) return PacketResult::CrcFailed;
  switch (kindOf(p)) {
    case PacketKind::FileData:
      return takeVerifiedChunk();
    case PacketKind::EndOfFile:
      return endVerifiedFile();
    case PacketKind::AbortFile:
      endFile(PacketKind::AbortFile);
      reply_ = kReplyAccept;
      return PacketResult::FileEnded;
    default:
      return PacketResult::Accepted;
  }
}

PacketResult FileReceiver::takeVerifiedChunk() {
  const uint8_t* p = packet_.get();
  const uint32_t sequence = verifiedSequence(p);
  if (sequence != (nextIndex_ & 31)) {
    // Sent again after its "A" was taken for "N": written already.
    if (nextIndex_ > 0 && sequence == ((nextIndex_ - 1) & 31)) return PacketResult::Accepted;
    broken_ = true;  // one went missing (its "N" taken for "A"): the end says so
    return PacketResult::Accepted;
  }
  const int32_t n = verifiedLength(p);
  if (!target_ || !target_->writeChunk(p, n, writeCount_)) {
    broken_ = true;
    return PacketResult::Failed;
  }
  fileCrc_ = crc32(p + offset::payload, static_cast<size_t>(n), fileCrc_);
  writeCount_ += n;
  ++nextIndex_;
  target_->releaseBefore(static_cast<uint64_t>(writeCount_));
  return PacketResult::Accepted;
}

PacketResult FileReceiver::endVerifiedFile() {
  const bool matches = !broken_ && target_ && target_->hasFile() &&
                       static_cast<uint64_t>(writeCount_) == target_->size() &&
                       fileCrc_ == verifiedFileCrc(packet_.get());
  if (matches) {
    reportEnd(FileOutcome::Complete, true);
  } else if (target_) {
    // A file that does not match is not handed over: the sender sends it again.
    const bool hadFile = target_->hasFile();
    if (target_->discard() != 0 || hadFile) reportEnd(FileOutcome::NotVerified);
  }
  target_.reset();
  writeCount_ = 0;
  verified_ = false;
  reply_ = lastVerdict_ = matches ? kReplyVerify : kReplyMismatch;
  return PacketResult::FileEnded;
}

PacketResult FileReceiver::takeName() {
  // A second name in one cycle would reopen over the first file: refuse it.
  if (!target_ || target_->hasFile()) return PacketResult::Failed;
  if (!target_->takeName(packet_.get())) {
    reportEnd(FileOutcome::Refused);
    return PacketResult::Failed;
  }
  if (!ui_.fileBegins(target_->name(), target_->size())) {
    target_->refuseName("the name cannot be shown");
    reportEnd(FileOutcome::Refused);
    return PacketResult::Failed;
  }
  if (const Result opened = target_->openForWrite(); !opened) {
    if (opened.code() != 0) ui_.systemCallFailed(opened);
    // An empty file is made but cannot be mapped: that is how empty files
    // arrive, not a refusal. Any other file that could not be made whole is
    // closed now (left as it is on disk), so that nothing later reports it again.
    if (target_->hasFile() && target_->size() == 0) return PacketResult::Failed;
    target_->close();
    reportEnd(FileOutcome::Refused);
    return PacketResult::Failed;
  }
  return PacketResult::Accepted;
}

void FileReceiver::endFile(PacketKind kind) {
  if (kind == PacketKind::AbortFile) {
    if (target_) {
      const bool hadFile = target_->hasFile();
      const bool deleted = target_->discard() != 0;
      if (hadFile || deleted) reportEnd(FileOutcome::AbortedDeleted);
    }
  } else if (target_ && target_->hasFile()) {
    const bool whole = static_cast<uint64_t>(writeCount_) == target_->size();
    reportEnd(whole ? FileOutcome::Complete : FileOutcome::Incomplete);
  }
  target_.reset();
  // "ET" closes the file but keeps the count: the classic receiver does so.
  if (kind != PacketKind::EndOfTransfer) writeCount_ = 0;
}

void FileReceiver::reportEnd(FileOutcome outcome, bool verified) {
  FileReport report;
  report.outcome = outcome;
  report.verified = verified;
  report.name = target_->name();
  report.path = target_->path();
  report.size = target_->size();
  report.written = static_cast<uint64_t>(writeCount_);
  report.reason = target_->refusal();
  ui_.fileEnded(report);
}

}  // namespace zarvek
