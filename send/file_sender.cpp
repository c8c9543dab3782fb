#include "send/file_sender.h"

#include <algorithm>
#include <random>

#include "base/paths.h"
#include "base/wire_text.h"
#include "protocol/file_info.h"

namespace zarvek {

using Heard = SerialPort::Heard;

namespace {

// Bytes that answer nothing this packet sent (late answers, noise) that the
// sender passes over while it waits for one answer, before it asks again.
constexpr int32_t kIgnoredBytes = 16;

}  // namespace

uint32_t streamWindow(int32_t speed) {
  const int64_t packetUs = speed > 0 ? int64_t{kPacketSize} * 10 * 1'000'000 / speed : 1;
  const int64_t packets = (150'000 + packetUs - 1) / packetUs + 2;
  return static_cast<uint32_t>(std::clamp<int64_t>(packets, 2, 16));
}

FileSender::FileSender(TransferUi& ui, bool verify, bool stream) : ui_(ui), verify_(verify), stream_(stream) {
  // Tags of a new job must not repeat the last job's, whose answers a receiver
  // still holds.
  nextTag_ = std::random_device{}();
}

FileSender::~FileSender() = default;

Result FileSender::openPort(const char* portName) { return port_.open(portName, PortRole::Sender); }

Result FileSender::configurePort(int32_t speed) {
  speed_ = speed;
  return port_.configure(speed, PortRole::Sender);
}

SendBatchResult FileSender::runSendBatch(const std::vector<std::string>& paths, const std::atomic<uint8_t>& running,
                                         int32_t crcRetryLimit, const std::vector<std::string>& wirePaths) {
  running_ = &running;
  crcRetryLimit_ = crcRetryLimit;
  batch_ = {};
  batchDone_ = false;
  peerZarvek_ = peerClassic_ = false;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!running.load() || batchDone_) return batch_;
    sendFile(paths[i], i < wirePaths.size() ? wirePaths[i] : std::string());
  }
  pause(50);  // the selection found exhausted
  return batch_;
}

void FileSender::sendFile(const std::string& path, const std::string& wirePath) {
  source_ = std::make_unique<SourceFile>();
  const bool folder = !wirePath.empty() && wirePath.back() == '/';
  if (folder) {
    source_->openFolder(path);
    // A classic receiver would make a file of it; that it makes no folders
    // was said with its first file.
    if (peerClassic_ || !verify_) return source_.reset();
    if (!peerZarvek_) {
      ui_.fileEnded(report(FileOutcome::Skipped, 0, FileProblem::FolderNeedsZarvek));
      return source_.reset();
    }
    wirePath_ = wirePath.substr(0, wirePath.size() - 1);
  } else {
    static_cast<void>(source_->open(path));  // a failure is the file's problem()
    wirePath_ = wirePath.empty() ? toWireText(source_->name()).value_or(source_->name()) : wirePath;
  }
  FileProblem problem = source_->problem();
  if (problem == FileProblem::None && verify_ && wirePath_.size() > static_cast<size_t>(kMaxWirePath)) {
    problem = FileProblem::PathTooLongToSend;
  }
  if (problem != FileProblem::None) {
    // Nothing of it has gone out: say so and go on with the next file.
    FileReport skipped = report(FileOutcome::Skipped, 0, problem);
    skipped.failure = source_->opened();
    ui_.fileEnded(skipped);
    ++batch_.filesSkipped;
    source_.reset();
    return;
  }
  ui_.fileBegins(path, source_->size());

  // A verified file that does not match at the far end, or a file whose
  // answers stopped coming, goes again from "FS", up to the retry limit in all.
  const int32_t attempts = std::max(crcRetryLimit_, 1);
  uint64_t delivered = 0;
  Ending ending = Ending::Mismatch;
  for (int32_t attempt = 0; attempt < attempts && running(); ++attempt) {
    ending = sendOnce(delivered);
    if (ending != Ending::Mismatch && ending != Ending::NoAnswer) break;
    if (ending == Ending::NoAnswer) pause(50);  // after its "AF", as after any file
  }
  reportEnding(ending, attempts, delivered);
  source_.reset();
  // A verified file's end was answered: the receiver is waiting already.
  pause(ending == Ending::Verified ? 0 : 50);
}

void FileSender::reportEnding(Ending ending, int32_t attempts, uint64_t delivered) {
  switch (ending) {
    case Ending::Sent:
    case Ending::Verified: {
      FileReport r = report(FileOutcome::Complete, source_->size());
      r.verified = ending == Ending::Verified;
      r.streamed = r.verified && fileStreamed_;
      r.resumedAt = r.verified ? resumedAt_ : 0;
      r.folder = source_->isFolder();
      r.underBaseName = !r.verified && wirePath_.find('/') != std::string::npos;
      ui_.fileEnded(r);
      return;
    }
    case Ending::Mismatch: {
      ++batch_.filesFailed;
      FileReport r = report(FileOutcome::NotVerified, 0, FileProblem::DidNotMatch);
      r.attempts = attempts;
      ui_.fileEnded(r);
      return;
    }
    case Ending::Refused:
      ++batch_.filesFailed;
      ui_.fileEnded(report(FileOutcome::NotVerified, 0, FileProblem::NotTaken));
      return;
    case Ending::Abandoned:
      ui_.fileEnded(report(FileOutcome::Abandoned, delivered));
      return;
    case Ending::Stopped:
      ui_.fileEnded(report(FileOutcome::Stopped, delivered));
      return;
    case Ending::NoAnswer:
    case Ending::ReplyUnread: {
      ++batch_.filesFailed;
      batchDone_ = true;  // the port or the far end has failed: no further file would fare better
      const bool unread = ending == Ending::ReplyUnread;
      FileReport r = report(FileOutcome::LineFailed, delivered, unread ? FileProblem::PortFailed : FileProblem::NoAnswer);
      if (unread) r.failure = replyFailure_;
      ui_.fileEnded(r);
      return;
    }
  }
}

FileSender::Ending FileSender::sendOnce(uint64_t& delivered) {
  readPos_ = 0;
  fileVerified_ = fileStreamed_ = false;
  fileCrc_ = 0;
  crcUpTo_ = 0;
  delivered = 0;
  tag_ = nextTag_++;
  fresh_ = false;
  startChunk_ = 0;
  resumedAt_ = 0;
  // A Zarvek receiver answers the offer in "FS" and the request in "FN" with
  // kReplyVerify: hearing it to either makes the file verified, so one damaged
  // answer never turns it classic.
  bool heard = false;
  uint8_t answer = 0;
  const Stage size = askUntilTaken(&FileSender::sendSize, kReplyLimit, 1, heard, answer);
  if (size == Stage::ReplyUnread) return giveUp(Ending::ReplyUnread);
  if (size == Stage::NoAnswer) return giveUp(Ending::NoAnswer);
  if (size == Stage::Stopped) batchDone_ = true;
  // The name stage runs even after a stop in the size stage. Once a Zarvek end
  // has answered, the name may be asked for again: it answers it again.
  const auto nameLimit = kReplyLimit + std::chrono::milliseconds(source_->size() / kNameBytesPerMs);
  const Stage name = askUntilTaken(&FileSender::sendName, nameLimit, heard ? kAsksForAnswer : 1, heard, answer);
  if (name == Stage::ReplyUnread) return giveUp(Ending::ReplyUnread);
  if (name == Stage::NoAnswer) return giveUp(Ending::NoAnswer);
  if (name == Stage::Stopped) batchDone_ = true;
  if (verify_) {
    // The receiver could not make the file: nothing is sent for it.
    const std::optional<CodedAnswer> coded = decodeAnswer(answer);
    if (coded && coded->answer == Answer::Differs && coded->id == (tag_ & 3)) return Ending::Refused;
  }
  fileVerified_ = verify_ && heard;
  fileStreamed_ = fileVerified_ && stream_ && answer == kReplyStream;
  peerZarvek_ = peerZarvek_ || fileVerified_;
  peerClassic_ = peerClassic_ || (verify_ && !heard);
  if (fileVerified_ && infoSent_) {
    // The receiver says how much of the file it holds; this end takes it up
    // only if it is its own bytes, else starts over under a new tag, which
    // makes the receiver let what it held go.
    Held held{};
    for (int32_t tries = 0;; ++tries) {
      switch (awaitHeld(held)) {
        case HeldStage::Heard: break;
        case HeldStage::Stopped: return giveUp(Ending::Stopped);
        case HeldStage::NoAnswer: return giveUp(Ending::NoAnswer);
        case HeldStage::ReplyUnread: return giveUp(Ending::ReplyUnread);
      }
      if (held.chunks == 0 || takeUp(held)) break;
      // It still holds something after a fresh start: this attempt cannot agree with it.
      if (tries > 0) return giveUp(Ending::Mismatch);
      tag_ = nextTag_++;
      fresh_ = true;
      heard = false;
      const Stage again = askUntilTaken(&FileSender::sendName, nameLimit, kAsksForAnswer, heard, answer);
      if (again == Stage::ReplyUnread) return giveUp(Ending::ReplyUnread);
      if (again == Stage::NoAnswer) return giveUp(Ending::NoAnswer);
      if (again == Stage::Stopped) return giveUp(Ending::Stopped);
      // Heard or not, the file is verified now: the receiver answered this attempt's offer.
      fileStreamed_ = stream_ && answer == kReplyStream;
    }
    delivered = resumedAt_;
  }

  Ending ending = fileStreamed_ ? sendStreamedData(delivered)
                  : fileVerified_ ? sendVerifiedData(delivered)
                                  : sendClassicData(delivered);
  if (ending == Ending::Sent && fileVerified_) ending = fileStreamed_ ? awaitStreamVerdict() : awaitVerdict();
  if (ending == Ending::Sent || ending == Ending::Verified || ending == Ending::Mismatch) return ending;
  return giveUp(ending);
}

FileSender::Stage FileSender::askUntilTaken(void (FileSender::*send)(), std::chrono::milliseconds limit,
                                            int32_t asks, bool& heard, uint8_t& answer) {
  for (int32_t silences = 0;;) {
    (this->*send)();
    const SerialPort::Reply reply = waitAnswer(limit);
    switch (reply.heard) {
      case Heard::Stopped:
        return Stage::Stopped;
      case Heard::Failed:
        return Stage::ReplyUnread;
      case Heard::Quiet:
        if (++silences >= asks) return Stage::NoAnswer;
        continue;
      case Heard::Byte:
        break;
    }
    if (reply.byte == kReplyRefuse) continue;  // sent again for as long as it is refused
    if (reply.byte == kReplyVerify || reply.byte == kReplyStream) heard = true;
    answer = reply.byte;
    return Stage::Taken;
  }
}

FileSender::Ending FileSender::sendClassicData(uint64_t& delivered) {
  int32_t& crcFailures = batch_.crcFailures;  // carried across files
  while (running() && crcFailures < crcRetryLimit_) {
    // Stopped just after "EF": "AF" still follows, as the classic sender sends it.
    if (sendNextChunk() == PacketResult::FileEnded) return running() ? Ending::Sent : Ending::Stopped;
    const int64_t chunkEnd = readPos_;
    const SerialPort::Reply reply = waitAnswer(kReplyLimit);
    // A reply that could not be read, or none at all, says nothing of the
    // chunk: the file cannot be called sent.
    if (reply.heard == Heard::Failed) return Ending::ReplyUnread;
    if (reply.heard == Heard::Quiet) return Ending::NoAnswer;
    if (reply.heard == Heard::Byte && reply.byte == kReplyRefuse) {
      rewindChunk();
      ++crcFailures;
      ui_.chunkRefused();
      continue;
    }
    // Any other byte, or a stop during the wait, counts as delivered, as the
    // classic sender takes it.
    crcFailures = 0;
    delivered = static_cast<uint64_t>(chunkEnd);
    ui_.progress(delivered, source_->size());
  }
  return crcFailures >= crcRetryLimit_ ? Ending::Abandoned : Ending::Stopped;
}

FileSender::Ending FileSender::sendVerifiedData(uint64_t& delivered) {
  int32_t& crcFailures = batch_.crcFailures;
  while (running() && crcFailures < crcRetryLimit_) {
    if (sendNextChunk() == PacketResult::FileEnded) return Ending::Sent;
    const int64_t chunkEnd = readPos_;
    const auto index = static_cast<uint32_t>((chunkEnd - lastChunk_) / kMaxChunk);
    const Awaited awaited = awaitAnswer(index, false);
    if (awaited.heard == Heard::Stopped) return Ending::Stopped;
    if (awaited.heard == Heard::Failed) return Ending::ReplyUnread;
    if (awaited.heard == Heard::Byte && awaited.answer == Answer::Taken) {
      crcFailures = 0;
      delivered = static_cast<uint64_t>(chunkEnd);
      ui_.progress(delivered, source_->size());
      continue;
    }
    // Refused, or no answer to this chunk: the same chunk again. The receiver
    // knows it by its index if it was written after all.
    rewindChunk();
    ++crcFailures;
    ui_.chunkRefused();
  }
  return crcFailures >= crcRetryLimit_ ? Ending::Abandoned : Ending::Stopped;
}

FileSender::Ending FileSender::sendStreamedData(uint64_t& delivered) {
  // Go-back-N: the receiver writes chunks in order only, and acknowledges
  // every chunk before the index it names. A chunk lost or damaged is asked
  // for again (a resend frame) or, when that is lost too, found missing by
  // silence: the sender goes back to the first chunk not acknowledged.
  int32_t& crcFailures = batch_.crcFailures;
  const uint64_t size = source_->size();
  const auto chunks = static_cast<uint32_t>((size + kMaxChunk - 1) / kMaxChunk);
  const uint32_t window = streamWindow(speed_);
  // base: the first chunk not acknowledged; next: the next to send; sent:
  // one past the furthest sent, which acknowledgements may still reach after
  // the sender has gone back.
  uint32_t base = startChunk_, next = startChunk_, sent = startChunk_, credit = kFirstWindow;
  FrameScanner frames(tag_);
  int64_t noiseFrom = 0;  // frames.dropped() when the window last moved
  // Each going back starts a round: the receiver asks once a round for what it
  // misses, and a request of an earlier round is stale.
  uint8_t round = 0;
  const auto goBack = [&] {
    next = base;
    ++round;
    ++crcFailures;
    ui_.chunkRefused();
    noiseFrom = frames.dropped();
  };
  SerialPort::Reply reply{Heard::Byte, 0, {}};
  while (base < chunks) {
    if (!running()) return Ending::Stopped;
    if (crcFailures >= crcRetryLimit_) return Ending::Abandoned;
    const bool mayWrite = next < chunks && next < base + std::min(window, credit);
    if (mayWrite) {
      sendStreamedChunk(next++, round);
      sent = std::max(sent, next);
      reply = {Heard::Quiet, 0, {}};  // nothing waited for: take only what is queued
    } else {
      reply = waitAnswer(streamLimit());
      if (reply.heard == Heard::Stopped) return Ending::Stopped;
      if (reply.heard == Heard::Failed) return Ending::ReplyUnread;
      if (reply.heard == Heard::Quiet) {
        goBack();
        continue;
      }
    }
    if (!collect(frames, reply)) return Ending::ReplyUnread;
    while (const std::optional<StreamFrame> frame = frames.next()) {
      const bool moves = frame->index > base && frame->index <= sent;
      if (frame->kind == StreamFrameKind::Ack && frame->index >= base && frame->index <= sent) {
        credit = std::max<uint32_t>(frame->credit, 1);
        if (!moves) continue;
        base = frame->index;
        next = std::max(next, base);
        crcFailures = 0;
        noiseFrom = frames.dropped();
        delivered = std::min<uint64_t>(uint64_t{base} * kMaxChunk, size);
        source_->releaseBefore(uint64_t{base} * kMaxChunk);
        ui_.progress(delivered, size);
      } else if (((frame->kind == StreamFrameKind::Resend && frame->round == round) ||
                  frame->kind == StreamFrameKind::Silence) &&
                 frame->index >= base && frame->index < sent) {
        if (moves) crcFailures = 0;
        base = frame->index;
        goBack();
      }
    }
    // Bytes that never make a frame, without end, are silence in disguise.
    if (frames.dropped() - noiseFrom > kStreamNoise) goBack();
  }
  return Ending::Sent;
}

void FileSender::sendStreamedChunk(uint32_t index, uint8_t round) {
  const int64_t at = int64_t{index} * kMaxChunk;
  const auto n = static_cast<int32_t>(std::min<int64_t>(kMaxChunk, static_cast<int64_t>(source_->size()) - at));
  const uint8_t* chunk = source_->view() + at;
  if (at == crcUpTo_) {  // a chunk sent again is in the CRC already
    fileCrc_ = crc32(chunk, static_cast<size_t>(n), fileCrc_);
    crcUpTo_ += n;
  }
  buildStreamedData(packet_, chunk, n, index, tag_, round);
  // Nothing is discarded: what has come are answers still to be read.
  if (const Result written = port_.write(packet_); !written) ui_.systemCallFailed(written);
}

std::chrono::milliseconds FileSender::streamLimit() const {
  const int64_t packetMs = speed_ > 0 ? int64_t{kPacketSize} * 10 * 1000 / speed_ : 0;
  return kStreamQuiet + std::chrono::milliseconds(2 * packetMs);
}

bool FileSender::collect(FrameScanner& frames, const SerialPort::Reply& first) {
  if (first.heard == Heard::Byte) frames.add(&first.byte, 1);
  uint8_t bytes[256];
  for (;;) {
    const Result taken = port_.takeInput(bytes);
    if (!taken) {
      replyFailure_ = taken;
      return false;
    }
    if (port_.lastReadCount() == 0) return true;
    frames.add(bytes, port_.lastReadCount());
  }
}

FileSender::Ending FileSender::awaitStreamVerdict() {
  // As awaitVerdict, in frames: the end is sent once every chunk is
  // acknowledged, so all that comes now answers the end.
  FrameScanner frames(tag_);
  for (int32_t asks = 0; asks < kAsksForAnswer; ++asks) {
    sendEndOfFile();
    const auto until = frames.dropped() + kStreamNoise;
    for (int32_t others = 0; others < kStreamNoise / kStreamFrameSize;) {
      const SerialPort::Reply reply = waitAnswer(kReplyLimit);
      if (reply.heard == Heard::Stopped) return Ending::Stopped;
      if (reply.heard == Heard::Failed) return Ending::ReplyUnread;
      if (reply.heard == Heard::Quiet || !collect(frames, reply)) break;
      // Acknowledgements, and the held frames of a name asked again, answer
      // no end: taken for a damaged one, the end would go again and its extra
      // verdicts arrive as the next file's answers.
      std::optional<StreamFrame> frame;
      while ((frame = frames.next()) && (frame->kind == StreamFrameKind::Ack || frame->kind == StreamFrameKind::Held ||
                                         frame->kind == StreamFrameKind::HeldCrc)) {
        ++others;
      }
      if (frame && frame->kind == StreamFrameKind::Matches) return Ending::Verified;
      if (frame && frame->kind == StreamFrameKind::Differs) return Ending::Mismatch;
      if (frame || frames.dropped() > until) break;  // the end arrived damaged: sent again
    }
  }
  return Ending::NoAnswer;
}

FileSender::Ending FileSender::awaitVerdict() {
  for (int32_t asks = 0; asks < kAsksForAnswer; ++asks) {
    // Asked again: the receiver answers the same end the same way, from the
    // verdict it keeps for this tag.
    if (asks > 0) sendEndOfFile();
    const Awaited awaited = awaitAnswer(tag_, true);
    if (awaited.heard == Heard::Stopped) return Ending::Stopped;
    if (awaited.heard == Heard::Failed) return Ending::ReplyUnread;
    if (awaited.heard == Heard::Byte && awaited.answer == Answer::Matches) return Ending::Verified;
    // Only a verdict that says so has the file sent again; a damaged end, a
    // lost or damaged verdict is asked for again, so that a copy the
    // receiver verified is never sent over.
    if (awaited.heard == Heard::Byte && awaited.answer == Answer::Differs) return Ending::Mismatch;
  }
  return Ending::NoAnswer;
}

FileSender::Ending FileSender::giveUp(Ending ending) {
  if (ending == Ending::Abandoned) {
    ui_.retryLimitReached();
  }
  pause(50);
  sendAbort();  // the receiver deletes its partial copy; no answer comes
  return ending;
}

FileSender::Awaited FileSender::awaitAnswer(uint32_t id, bool verdict) {
  for (int32_t ignored = 0; ignored < kIgnoredBytes; ++ignored) {
    const SerialPort::Reply reply = waitAnswer(kReplyLimit);
    if (reply.heard != Heard::Byte) return {reply.heard, Answer::Refused};
    // An answer to an earlier packet (late, or sent twice) or a byte that is
    // no answer at all is passed over: it does not answer this packet. A plain
    // "N" is a classic receiver refusing a packet it cannot read: sent again.
    if (reply.byte == kReplyRefuse) return {Heard::Byte, Answer::Refused};
    const std::optional<CodedAnswer> coded = decodeAnswer(reply.byte);
    if (!coded || coded->id != (id & 3)) continue;
    const bool isVerdict = coded->answer == Answer::Matches || coded->answer == Answer::Differs;
    if (coded->answer == Answer::Refused || isVerdict == verdict) return {Heard::Byte, coded->answer};
  }
  return {Heard::Quiet, Answer::Refused};
}

void FileSender::sendSize() {
  buildSize(packet_, source_->size());
  if (verify_) putOffer(packet_, source_->size());
  writePacket();
}

void FileSender::sendName() {
  // Names the receiving side cannot hold were refused before anything of the
  // file went out (whyNotSendable), so the name always fits.
  const std::string name = source_->name();
  buildName(packet_, name.data(), static_cast<uint8_t>(name.size()));
  if (verify_) putRequest(packet_, source_->size(), tag_);
  if (verify_ && stream_) putStreamAsk(packet_, tag_);
  if (verify_) infoSent_ = putFileInfo(packet_, {wirePath_, source_->modified(), source_->isFolder(), fresh_}, tag_);
  writePacket();
}

FileSender::HeldStage FileSender::awaitHeld(Held& held) {
  // The two frames follow the answer to the name; the name is asked again
  // (and answered again, frames and all) if they do not come whole.
  FrameScanner frames(tag_);
  for (int32_t asks = 0; asks < kAsksForAnswer; ++asks) {
    if (asks > 0) sendName();
    std::optional<uint32_t> chunks, crc;
    for (;;) {
      const SerialPort::Reply reply = waitAnswer(kReplyLimit);
      if (reply.heard == Heard::Stopped) return HeldStage::Stopped;
      if (reply.heard == Heard::Failed) return HeldStage::ReplyUnread;
      if (reply.heard == Heard::Quiet) break;
      if (!collect(frames, reply)) return HeldStage::ReplyUnread;
      while (const std::optional<StreamFrame> frame = frames.next()) {
        if (frame->kind == StreamFrameKind::Held) chunks = frame->index;
        if (frame->kind == StreamFrameKind::HeldCrc) crc = frame->index;
      }
      if (chunks && crc) {
        held = {*chunks, *crc};
        return HeldStage::Heard;
      }
    }
  }
  return HeldStage::NoAnswer;
}

bool FileSender::takeUp(const Held& held) {
  const uint64_t size = source_->size();
  if (uint64_t{held.chunks} > (size + kMaxChunk - 1) / kMaxChunk) return false;
  const uint64_t bytes = std::min<uint64_t>(uint64_t{held.chunks} * kMaxChunk, size);
  const uint32_t crc = crc32(source_->view(), bytes);
  if (crc != held.crc) return false;
  fileCrc_ = crc;
  crcUpTo_ = static_cast<int64_t>(bytes);
  readPos_ = static_cast<int64_t>(bytes);
  startChunk_ = held.chunks;
  resumedAt_ = bytes;
  ui_.progress(bytes, size);
  return true;
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
  if (fileStreamed_) {
    buildStreamedEnd(packet_, fileCrc_, tag_);
  } else if (fileVerified_) {
    buildVerifiedEnd(packet_, fileCrc_, tag_);
  } else {
    buildEndOfFile(packet_);
  }
  writePacket();
}

void FileSender::sendAbort() {
  if (fileStreamed_) {
    buildStreamedAbort(packet_, tag_);
  } else if (fileVerified_) {
    buildVerifiedAbort(packet_, tag_);
  } else {
    buildAbort(packet_);
  }
  pause(50);
  writePacket();
}

void FileSender::writePacket() {
  // Whatever waits in the input now answers no packet still to be answered:
  // noise from a far end opening its port, an answer that came late or twice.
  // Taken for the answer to this packet, it would put every later one out.
  port_.discardInput();
  // A failed write is reported, and the sender waits for the reply as though
  // the packet had gone, as the classic sender does: a port that has failed
  // for good fails the reply's read as well, which ends the file.
  if (const Result written = port_.writePacket(packet_); !written) ui_.systemCallFailed(written);
}

SerialPort::Reply FileSender::waitAnswer(std::chrono::milliseconds limit) {
  SerialPort::Reply reply = port_.waitReply(*running_, limit);
  // Told once, with the file's report: the failed read ends the file.
  if (reply.heard == Heard::Failed) replyFailure_ = reply.failure;
  return reply;
}

void FileSender::pause(int ms) {
  // The receiver's purge before its next wait would eat a packet that arrives
  // back to back with the last one: the pause starts once the line is free.
  port_.pauseAfterLine(std::chrono::milliseconds(ms));
}

FileReport FileSender::report(FileOutcome outcome, uint64_t delivered, FileProblem problem) const {
  FileReport r;
  // A file cut off after the receiver took it verified: it keeps what came
  // (unless it was told not to), to take it up when the file comes again.
  r.keptAtReceiver = fileVerified_ && outcome != FileOutcome::Complete && outcome != FileOutcome::NotVerified;
  r.outcome = outcome;
  r.name = source_->path();
  r.path = r.name;
  r.size = source_->size();
  r.written = delivered;
  r.problem = problem;
  return r;
}

}  // namespace zarvek
