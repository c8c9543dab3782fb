#include "receive/file_receiver.h"

#include "protocol/verified.h"

namespace zarvek {
namespace {

// How many bytes of noise before a packet still leave it known as a Zarvek
// sender's size or name.
constexpr int32_t kNoiseBefore = 16;

// A Zarvek sender's size or name, whole, with its kind letters hit or behind
// a few bytes of noise: answered "A" as an unknown kind, it would make this
// end look classic.
bool zarvekWithin(const uint8_t* frame) {
  if (readOffer(frame) != Offer::None || readRequest(frame)) return true;
  for (int32_t at = 1; at <= kNoiseBefore; ++at) {
    const PacketKind kind = kindOf(frame + at);
    if ((kind == PacketKind::FileSize && readOffer(frame + at) != Offer::None) ||
        (kind == PacketKind::FileName && readRequest(frame + at))) {
      return true;
    }
  }
  return false;
}

}  // namespace

FileReceiver::FileReceiver(TransferUi& ui, bool acceptOffers, bool acceptStreams, bool keepPartial)
    : ui_(ui),
      acceptOffers_(acceptOffers),
      acceptStreams_(acceptStreams),
      keepPartial_(keepPartial),
      packet_(new uint8_t[kPacketSize]()) {}

FileReceiver::~FileReceiver() { settleOpenFile(); }

Result FileReceiver::openPort(const char* portName) { return port_.open(portName, PortRole::Receiver); }

Result FileReceiver::configurePort(int32_t speed) { return port_.configure(speed, PortRole::Receiver); }

void FileReceiver::runReceiveLoop(const char* folder, const std::atomic<uint8_t>& running,
                                  const std::function<void()>& listening) {
  running_ = &running;
  // What came before the job is dropped before the far end hears the line is
  // ready, not by the first wait: a sender that starts at once would lose its
  // first packet to it and wait for the answer.
  port_.discardInput();
  // What earlier jobs left here to be taken up, within its bounds.
  HeldFiles(folder ? folder : "").sweep();
  if (listening) listening();
  while (running.load()) {
    beginFile(folder);
    while (handleNextPacket()) {
    }
    ui_.betweenFiles();
  }
}

void FileReceiver::beginFile(const char* folder) {
  settleOpenFile();
  const std::string where = folder ? folder : "";
  folder_ = where;
  target_ = std::make_unique<TargetFile>();
  target_->setFolder(folder_.c_str());
  writeCount_ = 0;
  offerTaken_ = sizeTaken_ = verified_ = broken_ = classicData_ = streamTaken_ = streamed_ = false;
  refusals_ = 0;
  resendAsked_ = 0;
  round_ = resendRound_ = 0;
  scanner_ = PacketScanner();
  droppedSeen_ = 0;
  tag_ = nextIndex_ = fileCrc_ = 0;
  pendingEnd_ = PacketKind::Unknown;
  held_ = HeldFiles(folder_);
  infoTaken_ = folderEntry_ = resumable_ = heldOwed_ = false;
  heldChunks_ = heldCrc_ = resumedAt_ = recorded_ = 0;
}

void FileReceiver::settleOpenFile() {
  if (!target_ || !target_->hasFile()) return;
  // An end no check vouched for is the sender's word only where nothing else
  // could be wrong: classic data, or an empty file.
  const bool endCounts = classicData_ || (nextIndex_ == 0 && target_->size() == 0);
  if (pendingEnd_ != PacketKind::Unknown && (!verified_ || endCounts)) return endFile(pendingEnd_);
  // A verified file not verified is never handed over.
  if (verified_ && !classicData_) return holdOrDrop(FileOutcome::Discarded);
  // A classic file cut short stays on disk at its announced size, under its name.
  if (target_->isStaged() && !target_->publish()) return dropVerifiedFile(FileOutcome::Discarded);
  reportEnd(FileOutcome::Kept);
}

bool FileReceiver::handleNextPacket() {
  if (verified_ && streamed_) return handleStreamedPacket();
  if (!port_.waitForData(*running_)) return false;
  if (const Result read = readPacket(); !read) return unread(read);
  // "EF" and "AF" are known by their letters alone, even when cut short.
  const PacketKind kind = kindOf(packet_.get());
  const bool endsFile = port_.lastReadCount() >= 2 && (kind == PacketKind::EndOfFile || kind == PacketKind::AbortFile);
  if (port_.lastReadCount() < kPacketSize && !endsFile) {
    switch (settleShortRead()) {
      case ShortRead::Stopped:
        return false;
      case ShortRead::ReadFailed:
        return false;
      case ShortRead::Refuse:
        sendReply(refuse().reply);
        return true;
      case ShortRead::WholePacketFollowed:
        break;
    }
  }
  return actOnPacket();
}

bool FileReceiver::actOnPacket() {
  const PacketKind kind = kindOf(packet_.get());
  // The sender's next file begins 50 ms after "EF"/"AF" has left the line:
  // discard now, not after closing the file and updating the window.
  if (kind == PacketKind::EndOfFile || kind == PacketKind::AbortFile) port_.discardInput();
  const Handled handled = dispatch();
  // The rest of a damaged packet is still arriving (a byte lost, or noise
  // merged with it): answered before it has passed, it would be taken for the
  // next packet, and every later answer would answer the wrong one.
  if (handled.result == PacketResult::CrcFailed) port_.dropUntilQuiet(*running_);
  // The reply follows the packet's whole effect: for a name, the file is
  // already created and mapped when it goes out.
  if (handled.reply != 0) sendReply(handled.reply);
  if (heldOwed_) sendHeldFrames();
  // The first packet of a file taken for streaming, damaged: the refusal is
  // said in a frame too, which a sender that streams reads and one that did
  // not hear kReplyStream passes over.
  if (handled.result == PacketResult::CrcFailed && verified_ && streamTaken_ && !streamed_) {
    frame_ = OwedFrame{StreamFrameKind::Resend, nextIndex_, tag_};
  }
  sendOwedFrame(handled.result == PacketResult::FileEnded);
  return handled.result != PacketResult::FileEnded;
}

bool FileReceiver::handleStreamedPacket() {
  // Packets come back to back: nothing is discarded, and each is found in the
  // bytes by its checks, so a lost or an added byte costs only the packet it hit.
  for (;;) {
    if (scanner_.next(packet_.get(), [this](const uint8_t* f) { return wholeInStream(f); })) break;
    switch (port_.waitForMore(*running_, kStreamGap)) {
      case SerialPort::More::Stopped:
        return false;
      case SerialPort::More::Quiet:
        // A piece that waits in vain for its rest, or bytes dropped since the
        // last whole packet with nothing after them: the last packets sent
        // were cut or damaged, and no later one will show it.
        if (scanner_.buffered() > 0 || scanner_.dropped() > droppedSeen_) {
          scanner_.dropAll();
          droppedSeen_ = scanner_.dropped();
          askResend(true);
        }
        continue;
      case SerialPort::More::Data:
        break;
    }
    uint8_t bytes[4096];
    if (const Result taken = port_.takeInput(bytes); !taken) return unread(taken);
    scanner_.add(bytes, port_.lastReadCount());
  }
  droppedSeen_ = scanner_.dropped();
  const PacketKind kind = kindOf(packet_.get());
  if (kind == PacketKind::FileSize || kind == PacketKind::FileName) {
    // The sender starts over and waits for the answer: what else came is stale.
    scanner_.dropAll();
    return actOnPacket();
  }
  const Handled handled = takeStreamed(kind);
  sendOwedFrame(handled.result == PacketResult::FileEnded);
  return handled.result != PacketResult::FileEnded;
}

bool FileReceiver::wholeInStream(const uint8_t* f) const {
  switch (kindOf(f)) {
    case PacketKind::FileSize: return checkCrc(f, 4);
    case PacketKind::FileName: return checkCrc(f, payloadLength(f));
    case PacketKind::FileData: return roundOf(f).has_value();
    default: return checkStreamed(f, tag_, kStreamEndIndex);
  }
}

std::optional<uint8_t> FileReceiver::roundOf(const uint8_t* f) const {
  // Rounds only go up, and the line keeps their order: none before the last
  // one seen can still come.
  const uint32_t index = nearestIndex(verifiedSequence(f), nextIndex_);
  for (int32_t ahead = 0; ahead < kRoundsAhead; ++ahead) {
    const auto round = static_cast<uint8_t>(round_ + ahead);
    if (checkStreamed(f, tag_, index, round)) return round;
  }
  return std::nullopt;
}

FileReceiver::Handled FileReceiver::takeStreamed(PacketKind kind) {
  const uint8_t* p = packet_.get();
  streamed_ = true;
  if (kind == PacketKind::EndOfFile) {
    const uint32_t chunks = nextIndex_, tag = tag_;
    const Handled handled = endVerifiedFile();
    frame_ = OwedFrame{answeredMatch_ ? StreamFrameKind::Matches : StreamFrameKind::Differs, chunks, tag};
    return {handled.result, 0};
  }
  if (kind == PacketKind::AbortFile) return abortVerifiedFile();
  round_ = *roundOf(p);
  const uint32_t index = nearestIndex(verifiedSequence(p), nextIndex_);
  if (index > nextIndex_) {  // one before it went missing
    askResend();
    return {PacketResult::Accepted, 0};
  }
  if (index == nextIndex_) writeNextChunk();
  // Sent again (an acknowledgement was lost, or the sender went back): the
  // acknowledgement tells it how far this end is.
  frame_ = OwedFrame{StreamFrameKind::Ack, nextIndex_, tag_};
  return {PacketResult::Accepted, 0};
}

void FileReceiver::askResend(bool quiet) {
  // A silence is asked about each time: it comes only once the sender has
  // stopped sending, so it cannot be stale the way a request in mid-round is.
  if (!streamed_ || (!quiet && resendAsked_ == nextIndex_ + 1 && resendRound_ == round_)) return;
  resendAsked_ = nextIndex_ + 1;
  resendRound_ = round_;
  sendFrame(quiet ? StreamFrameKind::Silence : StreamFrameKind::Resend, nextIndex_, tag_, false);
}

void FileReceiver::sendOwedFrame(bool endsFile) {
  if (frame_) sendFrame(frame_->kind, frame_->index, frame_->tag, endsFile);
  frame_.reset();
}

void FileReceiver::sendFrame(StreamFrameKind kind, uint32_t index, uint32_t tag, bool answersEnd) {
  uint8_t bytes[kStreamFrameSize];
  buildStreamFrame(bytes, {kind, index, kStreamCredit, round_}, tag);
  // A verdict ends the file: whatever came after its end is stale, as a
  // reply's discard has it. An acknowledgement discards nothing.
  if (answersEnd) port_.discardInput();
  if (const Result sent = port_.write(bytes); !sent) ui_.systemCallFailed(sent);
}

FileReceiver::ShortRead FileReceiver::settleShortRead() {
  // Noise on an idle line (a far end powering up or opening its port), or a
  // packet cut by a gap or short of a lost byte. Its bytes are never used: the
  // rest of the buffer still holds the previous packet. What follows tells
  // which it was. A whole packet: the bytes before it were noise, and they get
  // no answer, since a sender that never discards input would take it for the
  // answer to that packet. Pieces that add up to a packet, or silence: a packet
  // was cut, and its sender waits for an answer; a refusal has it sent again.
  int64_t received = port_.lastReadCount();
  while (received < kPacketSize) {
    switch (port_.waitForMore(*running_, kNoiseWindow)) {
      case SerialPort::More::Stopped:
        return ShortRead::Stopped;
      case SerialPort::More::Quiet:
        return ShortRead::Refuse;
      case SerialPort::More::Data:
        break;
    }
    if (const Result read = readPacket(); !read) {
      unread(read);
      return ShortRead::ReadFailed;
    }
    if (port_.lastReadCount() == kPacketSize) return ShortRead::WholePacketFollowed;
    received += port_.lastReadCount();
  }
  return ShortRead::Refuse;
}

Result FileReceiver::readPacket() { return port_.readPacket({packet_.get(), kPacketSize}); }

bool FileReceiver::unread(const Result& failure) {
  // The packet gets no answer, and the file cycle ends.
  ui_.packetUnread(failure);
  return false;
}

void FileReceiver::sendReply(uint8_t byte) {
  // A reply that cannot be written is reported and the loop goes on, as the
  // classic receiver does: the sender, waiting for it, asks again or gives up.
  if (const Result sent = port_.sendReply(byte); !sent) ui_.systemCallFailed(sent);
}

FileReceiver::Handled FileReceiver::refuse() const {
  // In a verified file the refusal names the chunk this end waits for.
  return {PacketResult::CrcFailed, verified_ ? encodeAnswer(Answer::Refused, nextIndex_) : kReplyRefuse};
}

bool FileReceiver::mayRefuseForZarvek() {
  if (refusals_ >= kZarvekRefusals) return false;
  ++refusals_;
  return true;
}

FileReceiver::Handled FileReceiver::dispatch() {
  const uint8_t* p = packet_.get();
  const PacketKind kind = kindOf(p);
  if (verified_) return dispatchVerified(kind);
  // A verified end when no verified file is open: sent again after its answer
  // was lost, or for a file this end never had.
  if (acceptOffers_ && (kind == PacketKind::EndOfFile || kind == PacketKind::AbortFile) && !(target_ && target_->hasFile()) &&
      verifiedLength(p) == (kind == PacketKind::EndOfFile ? 8 : 4) &&
      (checkVerified(p) || checkStreamed(p, verifiedTag(p), kStreamEndIndex))) {
    return answerLateEnd(kind);
  }
  switch (kind) {
    case PacketKind::FileSize:
      if (!checkCrc(p, 4)) return refuse();
      return takeSize();
    case PacketKind::FileName:
      if (!checkCrc(p, payloadLength(p))) return refuse();
      return takeName();
    case PacketKind::FileData:
      return takeClassicChunk();
    case PacketKind::EndOfFile:
    case PacketKind::AbortFile:
      endFile(kind);
      return {PacketResult::FileEnded, 0};
    case PacketKind::EndOfTransfer:
      endFile(kind);
      return {PacketResult::TransferEnded, kReplyAccept};
    case PacketKind::Unknown:
      // A Zarvek sender's size or name with a kind letter hit: its offer or
      // request is whole, or its offer was taken and the name is due. Answered
      // "A" as a classic receiver would, it would take this end for one.
      if (acceptOffers_ && (zarvekWithin(p) || (offerTaken_ && !(target_ && target_->hasFile()))) && mayRefuseForZarvek()) {
        return refuse();
      }
      break;
  }
  return {PacketResult::Accepted, kReplyAccept};
}

FileReceiver::Handled FileReceiver::takeSize() {
  uint8_t reply = kReplyAccept;
  if (acceptOffers_) {
    const Offer offer = readOffer(packet_.get());
    // The classic checksum misses the high nibbles of the size; the offer's
    // own copy does not.
    if (offer == Offer::Damaged && mayRefuseForZarvek()) return refuse();
    if (offer == Offer::Valid) {
      offerTaken_ = true;
      reply = kReplyVerify;
    }
  }
  if (!target_) return {PacketResult::Failed, reply};  // after "ET": no file to size
  sizeTaken_ = true;
  return {target_->storeSize(packet_.get()) != 0 ? PacketResult::Accepted : PacketResult::Failed, reply};
}

FileReceiver::Handled FileReceiver::takeName() {
  if (!target_) return {PacketResult::Failed, kReplyAccept};  // after "ET"
  if (acceptOffers_) {
    // A request whose size is not the size this cycle took (one whole as a
    // classic packet) is no sender's word on this file: stale bytes of a
    // classic sender's that look like one. A Zarvek sender's never differ.
    const std::optional<Request> request = readRequest(packet_.get());
    if (request && (!sizeTaken_ || request->size == target_->size())) {
      return takeVerifiedName(request->size, request->tag);
    }
    // Its offer was taken, so the name came from a Zarvek sender: a name
    // without its request was damaged where the classic checksum cannot see.
    if (offerTaken_ && mayRefuseForZarvek()) return refuse();
  }
  // A second name in one cycle would reopen over the first file: refuse it.
  if (target_->hasFile()) return {PacketResult::Failed, kReplyAccept};
  return {openNamedFile(false) ? PacketResult::Accepted : PacketResult::Failed, kReplyAccept};
}

bool FileReceiver::openNamedFile(bool staged, const FileInfo* info, uint32_t* held) {
  if (!(info ? target_->takePath(info->path) : target_->takeName(packet_.get()))) {
    reportEnd(FileOutcome::Refused);
    return false;
  }
  if (!ui_.fileBegins(target_->name(), target_->size())) {
    target_->refuseName(FileProblem::NameNotShown);
    reportEnd(FileOutcome::Refused);
    return false;
  }
  // A folder is made once its end has come: it has no file of its own.
  if (folderEntry_) return true;
  Result opened;
  if (!staged) {
    opened = target_->openForWrite();
  } else if (!resumable_) {
    opened = target_->openStaged(tag_);
  } else {
    opened = target_->openStagedAt(held_.partPath(heldId_), *held);
    if (!opened && *held > 0 && target_->refusal() == FileProblem::NotCreated) {
      // What was held cannot be opened as it was left: the file starts over.
      held_.forget(heldId_);
      *held = 0;
      opened = target_->openStagedAt(held_.partPath(heldId_), 0);
    }
  }
  if (!opened) {
    // Closed now (left as it is on disk, or the staged file deleted), so that
    // nothing later reports it again.
    if (staged) target_->discard();
    target_->close();
    reportEnd(FileOutcome::Refused);
    return false;
  }
  return true;
}

FileReceiver::Handled FileReceiver::takeVerifiedName(uint32_t size, uint32_t tag) {
  if (target_->hasFile()) return {PacketResult::Failed, kReplyAccept};
  // The request's size is checked over all its bytes, and it holds whatever
  // became of the size packet.
  target_->setSize(size);
  tag_ = tag;
  const std::optional<FileInfo> info = readFileInfo(packet_.get(), tag);
  infoTaken_ = info.has_value();
  uint32_t held = 0;
  if (info) {
    target_->setModified(info->modified);
    folderEntry_ = info->folder;
    heldId_ = HeldFile{info->path, size, info->modified};
    resumable_ = keepPartial_ && !info->folder && size > 0;
    // The sender does not take up what is held: it goes, and the file comes whole.
    if (info->fresh) held_.forget(heldId_);
    if (resumable_) held = held_.held(heldId_);
    // Whole chunks only, or all of the file.
    if (held < size) held = held / kMaxChunk * kMaxChunk;
  }
  // A file this end cannot take is refused before any data comes for it.
  if (!openNamedFile(true, info ? &*info : nullptr, &held)) {
    return {PacketResult::Failed, encodeAnswer(Answer::Differs, tag)};
  }
  verified_ = true;
  nextIndex_ = fileCrc_ = 0;
  broken_ = classicData_ = streamed_ = false;
  streamTaken_ = acceptStreams_ && readStreamAsk(packet_.get(), tag);
  if (held > 0) takeUpHeld(held);
  recorded_ = held;
  recordedAt_ = std::chrono::steady_clock::now();
  heldOwed_ = infoTaken_;
  return {PacketResult::Accepted, streamTaken_ ? kReplyStream : kReplyVerify};
}

void FileReceiver::takeUpHeld(uint32_t held) {
  // Its CRC-32 as it is on the disk now, not as it was recorded: the sender
  // compares it with its own bytes, so damage since is found there.
  heldCrc_ = crc32(target_->view(), held);
  fileCrc_ = heldCrc_;
  writeCount_ = held;
  nextIndex_ = heldChunks_ = (held + kMaxChunk - 1) / kMaxChunk;
  resumedAt_ = held;
  ui_.progress(held, target_->size());
}

void FileReceiver::sendHeldFrames() {
  heldOwed_ = false;
  sendFrame(StreamFrameKind::Held, heldChunks_, tag_, false);
  sendFrame(StreamFrameKind::HeldCrc, heldCrc_, tag_, false);
}

void FileReceiver::checkpoint(bool now) {
  if (!resumable_ || !target_ || !target_->isMapped()) return;
  const auto bytes = static_cast<uint32_t>(writeCount_);
  const auto at = std::chrono::steady_clock::now();
  if (bytes <= recorded_) return;
  if (!now && at - recordedAt_ < kCheckpointAtMost &&
      (bytes - recorded_ < kCheckpointBytes || at - recordedAt_ < kCheckpointAtLeast)) {
    return;
  }
  recordedAt_ = at;
  // The data first: a record never vouches for bytes that are not on the disk.
  if (const Result flushed = target_->flush(bytes); !flushed) return ui_.systemCallFailed(flushed);
  if (const Result saved = held_.record(heldId_, bytes); !saved) return ui_.systemCallFailed(saved);
  const bool first = recorded_ == 0;
  recorded_ = bytes;
  if (first) held_.sweep(held_.partPath(heldId_));
}

void FileReceiver::holdOrDrop(FileOutcome dropped) {
  if (resumable_ && writeCount_ > 0 && target_->hasFile()) {
    checkpoint(true);
    if (recorded_ > 0) {
      target_->keepStaged();
      return reportEnd(FileOutcome::Held);
    }
  }
  dropVerifiedFile(dropped);
  if (resumable_) held_.forget(heldId_);
}

FileReceiver::Handled FileReceiver::takeClassicChunk() {
  const uint8_t* p = packet_.get();
  const int32_t n = payloadLength(p);
  if (!checkCrc(p, n)) return refuse();
  // No view, or a chunk running past the announced size: written nowhere.
  if (!target_ || !target_->writeChunk(p, n, writeCount_)) return {PacketResult::Failed, kReplyAccept};
  if (verified_) {  // kept as in a verified file, for an "EF" that may still be one
    fileCrc_ = crc32(p + offset::payload, static_cast<size_t>(n), fileCrc_);
    ++nextIndex_;
  }
  wrote(n);
  return {PacketResult::Accepted, kReplyAccept};
}

void FileReceiver::wrote(int32_t n) {
  writeCount_ += n;
  target_->releaseBefore(static_cast<uint64_t>(writeCount_));
  ui_.progress(static_cast<uint64_t>(writeCount_), target_->size());
  if (resumable_) checkpoint(false);
}

FileReceiver::Handled FileReceiver::answerLateEnd(PacketKind kind) {
  // An abort of a file already ended: nothing to do, and a copy verified stays.
  if (kind == PacketKind::AbortFile) return {PacketResult::Accepted, 0};
  const uint32_t tag = verifiedTag(packet_.get());
  const bool kept = answered_ && tag == answeredTag_;
  if (!checkVerified(packet_.get())) {  // a streamed end: answered in a frame
    frame_ = OwedFrame{kept && answeredMatch_ ? StreamFrameKind::Matches : StreamFrameKind::Differs, 0, tag};
    return {PacketResult::Accepted, 0};
  }
  if (kept) return {PacketResult::Accepted, encodeAnswer(answeredMatch_ ? Answer::Matches : Answer::Differs, tag)};
  // An end for a file this end does not have (its name never came): it cannot match.
  return {PacketResult::Accepted, encodeAnswer(Answer::Differs, tag)};
}

FileReceiver::Handled FileReceiver::dispatchVerified(PacketKind kind) {
  const uint8_t* p = packet_.get();
  if (kind == PacketKind::FileSize || kind == PacketKind::FileName) {
    // Classic in form: the sender is in its size or name stage.
    if (!checkCrc(p, kind == PacketKind::FileSize ? 4 : payloadLength(p))) return {PacketResult::CrcFailed, kReplyRefuse};
    // The request again, its answer lost or damaged: the same answer. One
    // whose request is damaged where the classic checksum cannot see: again.
    if (kind == PacketKind::FileName) {
      const std::optional<Request> request = readRequest(p);
      if (request && request->tag == tag_) {
        heldOwed_ = infoTaken_;
        return {PacketResult::Accepted, streamTaken_ ? kReplyStream : kReplyVerify};
      }
      if (!request && mayRefuseForZarvek()) return {PacketResult::CrcFailed, kReplyRefuse};
    }
    return startOver();
  }
  if (streamTaken_ && wholeInStream(p)) {
    // The first streamed packet: the rest are found by the scanner.
    return takeStreamed(kind);
  }
  if (checkVerified(p)) {
    switch (kind) {
      case PacketKind::FileData:
        return takeVerifiedChunk();
      case PacketKind::EndOfFile:
        return endVerifiedFile();
      case PacketKind::AbortFile:
        return abortVerifiedFile();
      default:
        return refuse();
    }
  }
  // Whole as a classic chunk but not as a verified one: the sender is classic
  // (stale bytes of its own looked like an offer and a request), so the file
  // goes on as classic; a damaged verified chunk that passes by chance still
  // fails the file's CRC-32 at its end.
  if (kind == PacketKind::FileData && checkCrc(p, payloadLength(p))) {
    classicData_ = true;
    // A classic file is not taken up: its record goes, and its staged copy
    // ends under its name as a classic file does.
    if (resumable_) held_.forget(heldId_, true);
    resumable_ = false;
    return takeClassicChunk();
  }
  if (kind == PacketKind::EndOfFile || kind == PacketKind::AbortFile) {
    if (classicData_) {
      endFile(kind);
      return {PacketResult::FileEnded, 0};
    }
    // A damaged verified end, whose sender asks again, or a classic end, which
    // expects no answer: say nothing and hold it. What comes next tells which.
    pendingEnd_ = kind;
    return {PacketResult::Accepted, 0};
  }
  return refuse();
}

FileReceiver::Handled FileReceiver::startOver() {
  // The sender began a file again in mid-file: this file is settled as a cycle
  // cut off, and the packet opens a new cycle.
  settleOpenFile();
  const std::string folder = folder_;
  beginFile(folder.c_str());
  return dispatch();
}

FileReceiver::Handled FileReceiver::takeVerifiedChunk() {
  const uint8_t* p = packet_.get();
  const uint32_t index = verifiedSequence(p);
  if (index != (nextIndex_ & 31)) {
    // Sent again after its answer was lost or damaged: written already. Any
    // other index means one went missing, and the file cannot match.
    if (nextIndex_ == 0 || index != ((nextIndex_ - 1) & 31)) broken_ = true;
    return {PacketResult::Accepted, encodeAnswer(Answer::Taken, index)};
  }
  writeNextChunk();
  return {PacketResult::Accepted, encodeAnswer(Answer::Taken, index)};
}

void FileReceiver::writeNextChunk() {
  const uint8_t* p = packet_.get();
  const int32_t n = verifiedLength(p);
  if (target_->writeChunk(p, n, writeCount_)) {
    fileCrc_ = crc32(p + offset::payload, static_cast<size_t>(n), fileCrc_);
    wrote(n);
  } else {
    broken_ = true;  // past the announced size
  }
  ++nextIndex_;
}

FileReceiver::Handled FileReceiver::endVerifiedFile() {
  const uint8_t* p = packet_.get();
  const uint32_t tag = verifiedTag(p);
  bool matches = tag == tag_ && !broken_ && static_cast<uint64_t>(writeCount_) == target_->size() &&
                 fileCrc_ == verifiedFileCrc(p);
  if (matches) {
    if (const Result placed = folderEntry_ ? target_->makeFolder() : target_->publish(); placed) {
      reportEnd(FileOutcome::Complete, true);
    } else {
      ui_.systemCallFailed(placed);
      matches = false;
    }
  }
  // A file that does not match is not handed over: the sender sends it again.
  if (!matches) dropVerifiedFile(FileOutcome::NotVerified);
  // Whether it is under its name now or did not match, nothing of it is
  // to be taken up any more.
  if (resumable_) held_.forget(heldId_, matches);
  closeVerifiedFile();
  // Kept for the same end sent again: the answer belongs to this tag only.
  answered_ = true;
  answeredTag_ = tag;
  answeredMatch_ = matches;
  return {PacketResult::FileEnded, encodeAnswer(matches ? Answer::Matches : Answer::Differs, tag)};
}

FileReceiver::Handled FileReceiver::abortVerifiedFile() {
  // An abort is not answered, as in the classic conversation: its sender goes
  // on with the next file, and a lost one is settled by that file's "FS".
  holdOrDrop(FileOutcome::AbortedDeleted);
  closeVerifiedFile();
  return {PacketResult::FileEnded, 0};
}

void FileReceiver::closeVerifiedFile() {
  verified_ = false;
  pendingEnd_ = PacketKind::Unknown;
  target_.reset();
  writeCount_ = 0;
}

void FileReceiver::dropVerifiedFile(FileOutcome outcome) {
  const bool hadFile = target_->hasFile();
  if (target_->discard() || hadFile) reportEnd(outcome);
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
    // A file written under its staging name (its sender turned out classic)
    // goes under its own name as a classic file would be there.
    if (const Result placed = target_->isStaged() ? target_->publish() : Result{}; !placed) {
      target_->discard();
      target_->refuseName(FileProblem::NotCreated, placed);
      reportEnd(FileOutcome::Refused);
    } else {
      reportEnd(whole ? FileOutcome::Complete : FileOutcome::Incomplete);
    }
  }
  target_.reset();
  verified_ = false;
  pendingEnd_ = PacketKind::Unknown;
  // "ET" closes the file but keeps the count: the classic receiver does so.
  if (kind != PacketKind::EndOfTransfer) writeCount_ = 0;
}

void FileReceiver::reportEnd(FileOutcome outcome, bool verified) {
  FileReport report;
  report.outcome = outcome;
  report.verified = verified;
  report.streamed = verified && streamed_;
  report.name = target_->name();
  report.path = target_->path();
  report.size = target_->size();
  report.written = static_cast<uint64_t>(writeCount_);
  report.problem = target_->refusal();
  report.failure = target_->failure();
  report.resumedAt = verified ? resumedAt_ : 0;
  report.folder = folderEntry_;
  report.timeKept = target_->timeKept();
  report.timeNotHeld = target_->timeNotHeld();
  ui_.fileEnded(report);
}

}  // namespace zarvek
