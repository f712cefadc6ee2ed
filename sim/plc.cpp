#include "sim/plc.h"

#include <algorithm>
#include <cstring>

#include "sim/codec.h"
#include "sim/json.h"

namespace plcsim {

namespace {

constexpr size_t kMaxFrame = 64;          // longer than any request frame
constexpr uint64_t kInputPauseMs = 1000;  // a request left incomplete this long is dropped
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kStx = 0x02;

const char* const kCommands[] = {"ID", "VERSION", "ERASE", "UPDATE"};

bool IsCommandPrefix(const std::string& s) {
  for (const char* c : kCommands) {
    if (std::strncmp(c, s.c_str(), s.size()) == 0) return true;
  }
  return false;
}

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\x" + HexByte(c).substr(2);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string LineText(uint32_t baud, uint8_t bits, uint8_t parity) {
  const char p = parity == 0 ? 'N' : parity == 1 ? 'O' : parity == 2 ? 'E' : '?';
  return std::to_string(baud) + " " + std::to_string(bits) + p + "1";
}

}  // namespace

const char* ModeName(Mode m) {
  switch (m) {
    case Mode::kMonitor:
      return "monitor";
    case Mode::kRestarting:
      return "restarting";
    case Mode::kLoader:
      return "loader";
    case Mode::kGone:
      return "gone";
  }
  return "?";
}

HandoverPolicy DefaultHandover(const Profile& p) {
  HandoverPolicy h;
  if (p.handover == Handover::kImmediate) {
    h.immediate = true;
  } else {
    h.onClose = true;
  }
  return h;
}

Plc::Plc(const Profile& profile) : profile_(profile), policy_(DefaultHandover(profile)) {}

void Plc::AddFault(const FaultSpec& fault) {
  faults_.push_back({fault, 0});
}

void Plc::SetImageLength(uint32_t n) {
  hasImageLength_ = true;
  imageLength_ = n;
}

void Plc::SetLine(uint32_t baud, uint8_t byteSize, uint8_t parity) {
  if (lineChecks_ && profile_.usb && !fastLine_ && mode_ != Mode::kGone) {
    AddViolation("line settings applied to a USB link before UPDATE was acknowledged");
  }
  lineSet_ = true;
  baud_ = baud;
  byteSize_ = byteSize;
  parity_ = parity;
}

void Plc::LinkOpened() {}

void Plc::ClearFaults() {
  faults_.clear();
  if (mode_ == Mode::kGone) SetMode(modeBeforeGone_, "line back");
}

void Plc::Restart() {
  ClearFaults();
  DropPartialInput();
  if (mode_ == Mode::kRestarting || (mode_ == Mode::kLoader && !finished_)) {
    SetMode(Mode::kLoader, "switched off and on");
  } else {
    SetMode(Mode::kMonitor, "switched off and on");
  }
}

void Plc::DropPartialInput() {
  inFrame_ = false;
  frame_.clear();
  command_.clear();
  block_.clear();
  skip_ = 0;
  awaitingEraseAck_ = false;
  fastLine_ = false;
}

void Plc::LinkClosed() {
  // Whatever was half received is lost with the link.
  DropPartialInput();
  if (mode_ == Mode::kRestarting && policy_.onClose) {
    SetMode(Mode::kLoader, "link closed after the erase");
  } else if (mode_ == Mode::kLoader && finished_ && profile_.handover != Handover::kImmediate) {
    SetMode(Mode::kMonitor, "restarted into the new firmware");
  }
}

Answer Plc::TakeAnswer() {
  Answer a = std::move(answers_.front());
  answers_.pop_front();
  return a;
}

bool Plc::complete() const {
  return finished_ &&
         (!hasImageLength_ || blocksAccepted_ == ExpectedBlocks(profile_, imageLength_));
}

std::vector<uint8_t> Plc::WrittenImage() const {
  if (!hasImageLength_) return flash_;
  const size_t n = std::min<size_t>(flash_.size(), ImageBytesSent(profile_, imageLength_));
  return std::vector<uint8_t>(flash_.begin(), flash_.begin() + static_cast<ptrdiff_t>(n));
}

std::vector<std::string> Plc::ViolationTexts() const {
  std::vector<std::string> out;
  for (const Violation& v : violations_) out.push_back(v.text);
  return out;
}

void Plc::AddViolation(const std::string& text) {
  ++violationTotal_;
  for (Violation& v : violations_) {
    if (v.text == text) {
      ++v.count;
      return;
    }
  }
  violations_.push_back({text, 1});
}

void Plc::Record(Request r, uint32_t n, const std::string& note) {
  requests_.push_back({nowMs_, mode_, r, n, note});
}

void Plc::SetMode(Mode m, const std::string& why) {
  if (m == Mode::kGone && mode_ != Mode::kGone) modeBeforeGone_ = mode_;
  mode_ = m;
  modeChanges_.push_back({nowMs_, m, why});
  if (m == Mode::kLoader) {
    sawLoaderId_ = false;
    erasing_ = eraseClosed_ = updating_ = false;
  } else if (m == Mode::kMonitor) {
    sawProbe_ = sawId_ = false;
  } else if (m == Mode::kGone) {
    answers_.clear();
  }
}

void Plc::CheckLine(bool fast) {
  if (!lineChecks_) return;
  const std::string now = lineSet_ ? LineText(baud_, byteSize_, parity_) : "settings never applied";
  if (fast) {
    if (!lineSet_ || baud_ != 115200 || byteSize_ != 8 || parity_ != 0) {
      AddViolation("image block sent at " + now + ", not 115200 8N1");
    }
  } else if (!profile_.usb && (!lineSet_ || baud_ != 9600 || byteSize_ != 7 || parity_ != 2)) {
    AddViolation("request sent at " + now + ", not 9600 7E1");
  }
}

const FaultSpec* Plc::Match(Request r, uint32_t n, uint32_t attempt, bool stay) {
  for (ActiveFault& f : faults_) {
    const FaultSpec& s = f.spec;
    if (s.request != r || (s.kind == FaultKind::kStay) != stay) continue;
    bool hit;
    if (RequestIsIndexed(r)) {
      hit = (s.at == 0 || s.at == n) && (s.times == 0 || attempt <= s.times);
    } else {
      hit = s.at == 0 || (n >= s.at && (s.times == 0 || n - s.at < s.times));
    }
    if (hit) {
      ++f.fired;
      return &f.spec;
    }
  }
  return nullptr;
}

bool Plc::Respond(Request r, uint32_t n, uint32_t attempt, std::vector<uint8_t> bytes, bool frame) {
  const FaultSpec* f = Match(r, n, attempt, false);
  bool carried = true;
  const bool indexed = RequestIsIndexed(r);
  if (f == nullptr) {
    if (!indexed) Record(r, n, "");
  } else {
    Record(r, n, f->text);
    switch (f->kind) {
      case FaultKind::kSilence:
        return false;
      case FaultKind::kGone:
        SetMode(Mode::kGone, "line went away (" + f->text + ")");
        return false;
      case FaultKind::kNegative:
        if (bytes.size() >= 7) {
          bytes[4] = kNak;
          bytes[5] = f->errClass;
          bytes[6] = f->errCode;
        }
        carried = false;
        break;
      case FaultKind::kStatus:
      case FaultKind::kNak:
      case FaultKind::kWriteError:
        if (!bytes.empty())
          bytes[frame ? std::min<size_t>(4, bytes.size() - 1) : 0] = static_cast<uint8_t>(f->value);
        carried = false;
        break;
      default:
        break;
    }
  }
  std::vector<uint8_t> out;
  if (frame) {
    std::string text = EncodeFrame(bytes);
    if (f != nullptr && f->kind == FaultKind::kBadLrc) {
      // The LRC's two digits stand just before CR LF.
      const uint8_t wrong = static_cast<uint8_t>(Lrc(bytes.data(), bytes.size()) + 1);
      text.replace(text.size() - 4, 2, HexByte(wrong).substr(2));
    }
    if (f != nullptr && f->kind == FaultKind::kLowercase) {
      for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] >= 'A' && text[i] <= 'F') text[i] = static_cast<char>(text[i] - 'A' + 'a');
      }
    }
    out.assign(text.begin(), text.end());
  } else {
    out = std::move(bytes);
  }
  Answer a;
  if (f != nullptr) {
    if (f->kind == FaultKind::kCut) {
      const size_t keep = f->hasValue ? f->value : (out.empty() ? 0 : out.size() - 1);
      if (keep < out.size()) out.resize(keep);
    } else if (f->kind == FaultKind::kStray) {
      out.insert(out.begin(), static_cast<uint8_t>(f->value));
    } else if (f->kind == FaultKind::kDelay) {
      a.delayMs = f->value;
    }
  }
  if (!out.empty()) {
    a.bytes = std::move(out);
    a.fastLine = fastLine_;
    answers_.push_back(std::move(a));
  }
  return carried;
}

bool Plc::Respond64(Request r, uint32_t n, uint8_t group, uint8_t status, uint8_t p1, uint8_t p2) {
  return Respond(r, n, 0, {0x00, 0x64, 0x01, group, status, p1, p2}, true);
}

void Plc::Receive(const uint8_t* data, size_t n) {
  if (n == 0) return;
  if (nowMs_ >= lastRxMs_ + kInputPauseMs &&
      (inFrame_ || !command_.empty() || !block_.empty() || skip_ > 0)) {
    if (skip_ == 0) AddViolation("incomplete request dropped after a pause");
    inFrame_ = false;
    frame_.clear();
    command_.clear();
    block_.clear();
    skip_ = 0;
  }
  lastRxMs_ = nowMs_;
  const size_t blockSize = profile_.blockData + 5u;
  for (size_t i = 0; i < n;) {
    if (mode_ == Mode::kLoader && updating_ && !block_.empty()) {
      // The body of an image block: taken whole rather than byte by byte.
      const size_t take = std::min(blockSize - block_.size(), n - i);
      block_.insert(block_.end(), data + i, data + i + take);
      i += take;
      if (block_.size() == blockSize) {
        HandleBlock();
        block_.clear();
      }
      continue;
    }
    Feed(data[i++]);
  }
}

void Plc::Feed(uint8_t b) {
  if (mode_ == Mode::kGone) return;
  if (mode_ == Mode::kLoader && updating_) {
    BlockByte(b);
    return;
  }
  if (skip_ > 0) {
    --skip_;
    return;
  }
  if (inFrame_) {
    FrameByte(b);
    return;
  }
  if (b == ':') {
    if (!command_.empty()) {
      AddViolation("incomplete command \"" + Printable(command_) + "\" before a frame");
      command_.clear();
    }
    inFrame_ = true;
    frame_ = ":";
    return;
  }
  if (mode_ == Mode::kLoader) {
    CommandByte(b);
    return;
  }
  if (!junk_) AddViolation("bytes outside a frame in monitor mode");
  junk_ = true;
}

void Plc::FrameByte(uint8_t b) {
  if (b == ':') {
    AddViolation("frame cut short by a new start character: " + Printable(frame_));
    frame_ = ":";
    return;
  }
  frame_ += static_cast<char>(b);
  if (b == '\n') {
    std::string text;
    text.swap(frame_);
    inFrame_ = false;
    HandleFrame(text);
  } else if (frame_.size() > kMaxFrame) {
    AddViolation("frame longer than " + std::to_string(kMaxFrame) + " characters");
    inFrame_ = false;
    frame_.clear();
    junk_ = true;
  }
}

void Plc::HandleFrame(const std::string& text) {
  junk_ = false;
  std::vector<uint8_t> bytes;
  const FrameError e = DecodeFrame(text, bytes);
  if (e != FrameError::kNone) {
    // A real PLC drops a frame it cannot decode and answers nothing.
    AddViolation(std::string("malformed frame (") + FrameErrorText(e) + "): " + Printable(text));
    return;
  }
  if (bytes[0] != 0x00) {
    AddViolation("frame for station " + std::to_string(bytes[0]) + ": " + Printable(text));
    return;
  }
  const uint8_t fn = bytes[1];
  const uint8_t* d = bytes.data() + 2;
  const size_t len = bytes.size() - 2;
  Request r = Request::kCount;
  uint8_t group = 0;
  if (fn == 0x7F && len == 0) {
    r = Request::kWakeup;
  } else if (fn == 0x64 && len >= 3 && d[0] == 0x01 && (d[1] == 0x59 || d[1] == 0x5B)) {
    group = d[1];
    const uint8_t* c = d + 2;
    const size_t cl = len - 2;
    if (cl == 1 && c[0] == 0x01) {
      r = Request::kProbe;
    } else if (cl == 2 && c[0] == 'I' && c[1] == 'D') {
      r = Request::kId;
    } else if (cl == 1 && c[0] == 0x05) {
      r = Request::kVersion;
    } else if (cl == 5 && std::memcmp(c, "ERASE", 5) == 0) {
      r = Request::kErase;
    } else if (cl == 1 && c[0] == 0x06) {
      r = Request::kEraseAck;
    }
  } else if (fn == 0x03 && len == 4 && d[2] == 0x00 && d[3] == 0x01) {
    const uint16_t addr = static_cast<uint16_t>(d[0] << 8 | d[1]);
    if (addr == 0x1000 + 1386) r = Request::kD1386;
    if (addr == 0x1000 + 1001) r = Request::kD1001;
    if (addr == 0x1000 + 1148) r = Request::kD1148;
  }
  if (r == Request::kCount) {
    AddViolation("unknown frame " + Printable(text));
    return;
  }
  const uint32_t n = ++counts_[static_cast<int>(r)];
  CheckLine(false);
  if (r == Request::kVersion) {
    if (group != 0x59) AddViolation("version query with group byte " + HexByte(group));
  } else if (fn == 0x64 && group != profile_.groupByte) {
    AddViolation(std::string(RequestName(r)) + " frame with group byte " + HexByte(group) +
                 " where " + profile_.toolModel + " uses " + HexByte(profile_.groupByte));
  }
  if (mode_ == Mode::kRestarting && r == Request::kWakeup && policy_.gapMs > 0 &&
      nowMs_ >= restartAtMs_ + policy_.gapMs) {
    SetMode(Mode::kLoader, "wake-up after a pause");
  }
  switch (mode_) {
    case Mode::kMonitor:
      MonitorFrame(r, group, n);
      break;
    case Mode::kLoader:
      LoaderFrame(r, group, n);
      break;
    case Mode::kRestarting:
      Record(r, n, "not answered: restarting");
      AddViolation("request while the PLC restarts after the erase (hand-over missing)");
      break;
    case Mode::kGone:
      break;
  }
}

void Plc::MonitorFrame(Request r, uint8_t group, uint32_t n) {
  switch (r) {
    case Request::kWakeup:
      Respond(r, n, 0, profile_.wakeupReply, false);
      break;
    case Request::kProbe:
      sawId_ = false;
      sawProbe_ = Respond64(r, n, group, 0x05, 0, 0);
      break;
    case Request::kId:
      if (!sawProbe_) AddViolation("identity check before the mode probe");
      if (Respond64(r, n, group, 0x06, static_cast<uint8_t>(profile_.monitorId >> 8),
                    static_cast<uint8_t>(profile_.monitorId))) {
        sawId_ = true;
      }
      break;
    case Request::kD1386:
    case Request::kD1001:
    case Request::kD1148: {
      const uint16_t reg = r == Request::kD1386 ? 1386 : r == Request::kD1001 ? 1001 : 1148;
      const uint16_t v = reg == 1386   ? profile_.d1386
                         : reg == 1001 ? profile_.d1001
                                       : profile_.d1148;
      if (!sawId_) AddViolation("register read before the identity check");
      if (!GateReadsRegister(profile_, reg)) {
        AddViolation("D" + std::to_string(reg) + " read, which no gate of " + profile_.toolModel +
                     " uses");
      }
      Respond(r, n, 0, {0x00, 0x03, 0x02, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)},
              true);
      break;
    }
    case Request::kVersion:
      if (!sawId_) AddViolation("version query before the identity check");
      if (!ReadsLoaderVersion(profile_)) {
        AddViolation("version query, which no gate of " + profile_.toolModel + " uses");
      }
      Respond64(r, n, group, profile_.monitorVersion, 0, 0);
      break;
    case Request::kErase:
      if (!sawId_) AddViolation("erase request before the identity check");
      if (profile_.silentErase) {
        // This firmware restarts without a word; only a lost request or a lost line stop it.
        const FaultSpec* f = Match(r, n, 0, false);
        Record(r, n, f != nullptr ? f->text : "not answered (silent erase)");
        if (f != nullptr && f->kind == FaultKind::kGone) {
          SetMode(Mode::kGone, "line went away (" + f->text + ")");
        } else if (f == nullptr || f->kind != FaultKind::kSilence) {
          Handover();
        }
      } else if (Respond64(r, n, group, 0x06, 0, 0)) {
        awaitingEraseAck_ = true;
      }
      break;
    case Request::kEraseAck:
      if (!awaitingEraseAck_) {
        Record(r, n, "ignored");
        AddViolation("erase acknowledgement without an accepted erase request");
        break;
      }
      awaitingEraseAck_ = false;
      if (const FaultSpec* f = Match(r, n, 0, false); f != nullptr && f->kind == FaultKind::kGone) {
        Record(r, n, f->text);
        SetMode(Mode::kGone, "line went away (" + f->text + ")");
        break;
      }
      Record(r, n, "");
      Handover();
      break;
    default:
      break;
  }
}

void Plc::Handover() {
  ++acceptedErases_;
  if (const FaultSpec* f = Match(Request::kErase, acceptedErases_, 0, true)) {
    modeChanges_.push_back(
        {nowMs_, mode_, "erase accepted, but stays in monitor mode (" + f->text + ")"});
    return;
  }
  restartAtMs_ = nowMs_;
  SetMode(Mode::kRestarting, "erase accepted");
  if (policy_.immediate) SetMode(Mode::kLoader, "restarted at once");
}

void Plc::LoaderFrame(Request r, uint8_t group, uint32_t n) {
  if (r == Request::kWakeup) {
    Record(r, n, "not answered by the boot loader");
    return;
  }
  if (r == Request::kProbe) {
    // A probe opens a new loader session: the tool starts its loader path from "ID" again.
    sawLoaderId_ = false;
    erasing_ = eraseClosed_ = false;
    Respond64(r, n, group, 0x06, 0, 0);
    return;
  }
  Record(r, n, "not answered by the boot loader");
  AddViolation(std::string("monitor-mode request (") + RequestName(r) + ") in loader mode");
}

void Plc::CommandByte(uint8_t b) {
  if (command_.empty() && b == kEot) {
    junk_ = false;
    EraseEnd();
    return;
  }
  if (command_.empty() && b == kStx) {
    AddViolation("image block before UPDATE was acknowledged");
    skip_ = profile_.blockData + 4u;
    return;
  }
  command_ += static_cast<char>(b);
  for (const char* c : kCommands) {
    if (command_ == c) {
      const std::string word = command_;
      command_.clear();
      junk_ = false;
      LoaderCommand(word);
      return;
    }
  }
  if (IsCommandPrefix(command_)) return;
  if (!junk_) AddViolation("unknown bytes in loader mode: \"" + Printable(command_) + "\"");
  junk_ = true;
  while (!command_.empty() && !IsCommandPrefix(command_)) command_.erase(0, 1);
}

void Plc::LoaderCommand(const std::string& word) {
  CheckLine(false);
  if (word == "ID") {
    const uint32_t n = ++counts_[static_cast<int>(Request::kLoaderId)];
    if (Respond(Request::kLoaderId, n, 0,
                {kAck, static_cast<uint8_t>(profile_.loaderId >> 8),
                 static_cast<uint8_t>(profile_.loaderId)},
                false)) {
      sawLoaderId_ = true;
    }
  } else if (word == "VERSION") {
    const uint32_t n = ++counts_[static_cast<int>(Request::kLoaderVersion)];
    if (!sawLoaderId_) AddViolation("VERSION before ID");
    if (!ReadsLoaderVersion(profile_)) {
      AddViolation("VERSION, which no gate of " + profile_.toolModel + " uses");
    }
    Respond(Request::kLoaderVersion, n, 0,
            {kAck, profile_.loaderVersion[0], profile_.loaderVersion[1]}, false);
  } else if (word == "ERASE") {
    ++counts_[static_cast<int>(Request::kEraseUnit)];
    if (!sawLoaderId_) AddViolation("ERASE before ID");
    if (eraseClosed_) AddViolation("ERASE after the erase was closed");
    if (!erasing_) {
      erasing_ = true;
      eraseClosed_ = false;
      eraseUnits_ = 0;
      eraseAttempt_ = 0;
      flash_.clear();
      finished_ = false;  // the firmware written before is going
    }
    const uint32_t unit = eraseUnits_ + 1;
    if (Respond(Request::kEraseUnit, unit, ++eraseAttempt_, {kAck}, false)) {
      ++eraseUnits_;
      eraseAttempt_ = 0;
    }
  } else if (word == "UPDATE") {
    const uint32_t n = ++counts_[static_cast<int>(Request::kUpdate)];
    if (!sawLoaderId_) AddViolation("UPDATE before ID");
    if (!eraseClosed_) AddViolation("UPDATE before the erase was closed with 0x04");
    if (Respond(Request::kUpdate, n, 0, {kAck}, false)) {
      updating_ = true;
      fastLine_ = true;
      finished_ = false;
      expectedNumber_ = 1;
      blockIndex_ = blockAttempt_ = 0;
      blocksReceived_ = blocksAccepted_ = blocksResent_ = blocksRepeated_ = blocksRefused_ = 0;
      flash_.clear();
      modeChanges_.push_back({nowMs_, mode_, "UPDATE acknowledged: blocks at 115200 8N1"});
    }
  }
}

void Plc::EraseEnd() {
  CheckLine(false);
  const uint32_t n = ++counts_[static_cast<int>(Request::kEraseEnd)];
  if (!sawLoaderId_) AddViolation("0x04 before ID");
  if (Respond(Request::kEraseEnd, n, 0, {kAck}, false)) {
    if (hasImageLength_) {
      const uint32_t want = ExpectedEraseUnits(profile_, imageLength_);
      if (eraseUnits_ != want) {
        AddViolation(std::to_string(eraseUnits_) + " erase units where the image needs " +
                     std::to_string(want));
      }
    }
    erasing_ = false;
    eraseClosed_ = true;
  }
}

void Plc::BlockByte(uint8_t b) {
  if (block_.empty()) {
    if (b == kStx) {
      junk_ = false;
      block_.push_back(b);
    } else if (b == kEot) {
      junk_ = false;
      TransferEnd();
    } else if (b == ':') {
      // The tool has given up on this transfer and starts over with a wake-up.
      updating_ = false;
      fastLine_ = false;
      modeChanges_.push_back({nowMs_, mode_, "transfer abandoned"});
      inFrame_ = true;
      frame_ = ":";
    } else {
      if (!junk_) AddViolation("byte " + HexByte(b) + " where an image block or 0x04 was due");
      junk_ = true;
    }
    return;
  }
  block_.push_back(b);
  if (block_.size() == profile_.blockData + 5u) {
    HandleBlock();
    block_.clear();
  }
}

void Plc::HandleBlock() {
  CheckLine(true);
  ++blocksReceived_;
  ++counts_[static_cast<int>(Request::kBlock)];
  const size_t d = profile_.blockData;
  const uint8_t number = block_[1];
  const uint8_t* data = block_.data() + 3;
  const uint16_t crc = static_cast<uint16_t>(block_[3 + d] << 8 | block_[4 + d]);
  const uint32_t index = blocksAccepted_ + 1;
  if (index == blockIndex_) {
    ++blockAttempt_;
    ++blocksResent_;
  } else {
    blockIndex_ = index;
    blockAttempt_ = 1;
  }
  std::string refusal;
  if (block_[2] != static_cast<uint8_t>(~number)) {
    refusal = "complement " + HexByte(block_[2]) + " of block number " + HexByte(number);
  } else if (crc != Crc16Xmodem(data, d)) {
    refusal = "CRC of block " + std::to_string(index) + " does not match its data";
  } else if (number != expectedNumber_) {
    if (blocksAccepted_ > 0 && number == static_cast<uint8_t>(expectedNumber_ - 1)) {
      // The tool did not get the acknowledge and sends the block again: acknowledge, keep once.
      ++blocksRepeated_;
      Record(Request::kBlock, index - 1, "repeated, acknowledged again, not written");
      answers_.push_back({{kAck}, 0, fastLine_});
      return;
    }
    refusal = "block number " + HexByte(number) + " where " + HexByte(expectedNumber_) + " was due";
  }
  if (!refusal.empty()) {
    AddViolation(refusal);
    ++blocksRefused_;
    Record(Request::kBlock, index, "refused: " + refusal);
    answers_.push_back({{kNak}, 0, fastLine_});
    return;
  }
  if (!Respond(Request::kBlock, index, blockAttempt_, {kAck}, false)) {
    ++blocksRefused_;
    return;
  }
  // The tool refuses an image above its model's size limit: a block past it must not come.
  if (blocksAccepted_ == ExpectedBlocks(profile_, SizeLimit(profile_))) {
    AddViolation("image above the size limit of " + profile_.toolModel + " (" +
                 std::to_string(SizeLimit(profile_)) + " bytes)");
  }
  if (hasImageLength_) {
    const size_t sent = ImageBytesSent(profile_, imageLength_);
    if (flash_.size() >= sent) {
      AddViolation("more blocks than the image needs");
    } else {
      for (size_t i = sent - flash_.size(); i < d; ++i) {
        if (data[i] != 0x1A) {
          AddViolation("fill byte other than 0x1A after the image");
          break;
        }
      }
    }
  }
  flash_.insert(flash_.end(), data, data + d);
  ++blocksAccepted_;
  ++expectedNumber_;
}

void Plc::TransferEnd() {
  const uint32_t n = ++counts_[static_cast<int>(Request::kEnd)];
  if (!Respond(Request::kEnd, n, 0, {kAck}, false)) return;
  updating_ = false;
  finished_ = true;
  if (hasImageLength_) {
    const uint32_t want = ExpectedBlocks(profile_, imageLength_);
    if (blocksAccepted_ != want) {
      AddViolation("transfer closed after " + std::to_string(blocksAccepted_) +
                   " blocks where the image needs " + std::to_string(want));
    }
  }
  modeChanges_.push_back({nowMs_, mode_, "transfer closed"});
}

std::string Plc::ReportJson() const {
  JsonWriter j;
  j.Field("profile", profile_.name);
  j.Field("model", profile_.model);
  j.Field("tool_model", profile_.toolModel);
  j.Field("result", complete() ? "complete" : "incomplete");
  j.Field("mode", ModeName(mode_));
  j.Field("violation_count", violationTotal_);
  j.Field("erase_units", eraseUnits_);
  if (hasImageLength_) {
    j.Field("image_length", imageLength_);
    j.Field("expected_erase_units", ExpectedEraseUnits(profile_, imageLength_));
    j.Field("expected_blocks", ExpectedBlocks(profile_, imageLength_));
  }
  j.Field("blocks_received", blocksReceived_);
  j.Field("blocks_accepted", blocksAccepted_);
  j.Field("blocks_resent", blocksResent_);
  j.Field("blocks_repeated", blocksRepeated_);
  j.Field("blocks_refused", blocksRefused_);
  j.Field("flash_length", static_cast<uint64_t>(flash_.size()));
  j.Field("flash_sha256", Sha256Hex(flash_.data(), flash_.size()));
  if (hasImageLength_) {
    const std::vector<uint8_t> img = WrittenImage();
    j.Field("image_bytes_written", static_cast<uint64_t>(img.size()));
    j.Field("image_sha256", Sha256Hex(img.data(), img.size()));
  }
  j.Field("line_gone", mode_ == Mode::kGone);

  j.BeginArray("mode_changes");
  for (const ModeChange& m : modeChanges_) {
    JsonWriter e;
    e.Field("t_ms", m.tMs);
    e.Field("mode", ModeName(m.to));
    e.Field("why", m.why);
    j.Element(e.Inline());
  }
  j.EndArray();

  j.BeginObject("request_counts");
  for (int i = 0; i < static_cast<int>(Request::kCount); ++i) {
    j.Field(RequestName(static_cast<Request>(i)), counts_[i]);
  }
  j.EndObject();

  j.BeginArray("requests");
  for (const RequestRecord& r : requests_) {
    JsonWriter e;
    e.Field("t_ms", r.tMs);
    e.Field("mode", ModeName(r.mode));
    e.Field("request", RequestName(r.request));
    e.Field("n", r.number);
    if (!r.note.empty()) e.Field("note", r.note);
    j.Element(e.Inline());
  }
  j.EndArray();

  j.BeginArray("faults");
  for (const ActiveFault& f : faults_) {
    JsonWriter e;
    e.Field("fault", f.spec.text);
    e.Field("fired", f.fired);
    j.Element(e.Inline());
  }
  j.EndArray();

  j.BeginArray("violations");
  for (const Violation& v : violations_) {
    JsonWriter e;
    e.Field("text", v.text);
    e.Field("count", v.count);
    j.Element(e.Inline());
  }
  j.EndArray();
  return j.Finish();
}

}  // namespace plcsim
