#include "link/exchange.h"

#include <cstring>

#include "core/burn_state.h"
#include "core/catalogue.h"

namespace {

// Value of an upper-case hex digit, or -1.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

}  // namespace

uint8_t CheckLRC(char* text, uint8_t count) {
  uint8_t sum = 0;
  const char* in = text;
  char* out = text;
  // An odd count has no whole byte left at its end; that digit is not decoded.
  for (int left = count; left >= 2; left -= 2) {
    const int high = HexValue(in[0]);
    if (high < 0) return 1;
    const int low = HexValue(in[1]);
    if (low < 0) return 1;
    const uint8_t byte = static_cast<uint8_t>(high << 4 | low);
    *out++ = static_cast<char>(byte);
    in += 2;
    sum = static_cast<uint8_t>(sum + byte);
  }
  return sum;
}

// With ReadIntervalTimeout MAXDWORD and no multiplier, a read returns once the asked count has
// arrived, or with what came when the constant has run out.
const LinkTimeouts kNormalTimeouts = {kMaxDword, 0, 3000, 0, 3000};
const LinkTimeouts kWakeUpTimeouts = {kMaxDword, 0, 200, 0, 200};

void SetNormalTimeouts(LinkHandle link) {
  LinkPlat().SetTimeouts(link, kNormalTimeouts);
}
void SetWakeUpTimeouts(LinkHandle link) {
  LinkPlat().SetTimeouts(link, kWakeUpTimeouts);
}

const LineSettings kMonitorLine = {
    9600, 7, kEvenParity, kOneStopBit, kDtrControlDisable, kRtsControlDisable};
const LineSettings kLoaderLine = {
    115200, 8, kNoParity, kOneStopBit, kDtrControlDisable, kRtsControlDisable};

void SetMonitorLineIfCom(LinkHandle link) {
  if (!InUsbSet()) LinkPlat().SetLine(link, kMonitorLine);
}

void FailureCounts::WriteFailed() {
  ++writeFailures;
  errCounter.store(writeFailures, std::memory_order_relaxed);
  totalErrCounter.fetch_add(1, std::memory_order_relaxed);
}

void FailureCounts::ReadFailed() {
  ++readFailures;
  errCounter.store(readFailures, std::memory_order_relaxed);
  totalErrCounter.fetch_add(1, std::memory_order_relaxed);
}

void FailureCounts::BeforeRead() const {
  errCounter.store(readFailures, std::memory_order_relaxed);
}

Exchange TextExchange(LinkHandle link, const char* request, uint8_t* reply, uint32_t replyLength,
                      bool asciiReply) {
  const auto length = static_cast<uint32_t>(std::strlen(request));
  return {link, reinterpret_cast<const uint8_t*>(request), length, reply, replyLength, asciiReply};
}

void NoteVerdict(Verdict verdict) {
  ReplyClass& last = burnDetail.current.lastReply;
  switch (verdict) {
    case Verdict::Accept:
      last = ReplyClass::kAccepted;
      break;
    case Verdict::ReadFailure:
      last = ReplyClass::kRefused;
      break;
    case Verdict::WriteFailure:
      last = ReplyClass::kNotWritten;
      break;
    case Verdict::Stop:
      last = ReplyClass::kWriteError;
      break;
  }
}

uint32_t ReadFromPlc(LinkHandle link, uint8_t* data, uint32_t count) {
  const uint32_t got = LinkPlat().ReadLink(link, data, count);
  if (got > 0) burnDetail.anyByteReceived = true;
  return got;
}

Attempt ExchangeAttempt(const Exchange& x, const FailureCounts& counts) {
  RequestRecord& request = burnDetail.current;
  ++request.attempts;
  // Bytes already waiting cannot answer the request about to go out: a late answer, or the rest of
  // one with a stray byte ahead of it. Taken for this request's answer, a stale acknowledge would
  // shift every exchange after it, and the closing byte could seem acknowledged when it was not.
  LinkPlat().PurgeInput(x.link);
  if (LinkPlat().WriteLink(x.link, x.request, x.requestLength) < x.requestLength) {
    request.lastReply = ReplyClass::kNotWritten;
    return Attempt::WriteShort;
  }
  counts.BeforeRead();
  if (x.asciiReply) std::memset(x.reply, 0, x.replyLength);
  const uint32_t got = ReadFromPlc(x.link, x.reply, x.replyLength);
  if (got < x.replyLength) {
    request.lastReply = got == 0 ? ReplyClass::kNoReply : ReplyClass::kShort;
    return Attempt::ReplyShort;
  }
  // The digits run from after ':' up to CR LF; a short read is never decoded.
  if (x.asciiReply && x.replyLength >= 3 &&
      CheckLRC(reinterpret_cast<char*>(x.reply + 1), static_cast<uint8_t>(x.replyLength - 3)) !=
          0) {
    request.lastReply = ReplyClass::kUndecodable;
    return Attempt::Undecodable;
  }
  return Attempt::Complete;
}
