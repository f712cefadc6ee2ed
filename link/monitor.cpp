#include "link/monitor.h"

#include <initializer_list>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "link/exchange.h"

namespace {

// Request frames, CR LF included. The AIO set talks to group 0x5B, every other model to 0x59.
constexpr char kWakeUp[] = ":007F81\r\n";
constexpr char kProbeAio[] = ":0064015B013F\r\n";
constexpr char kProbe[] = ":006401590141\r\n";
constexpr char kIdAio[] = ":0064015B4944B3\r\n";
constexpr char kId[] = ":006401594944B5\r\n";
constexpr char kReadD1386[] = ":0003156A00017D\r\n";
constexpr char kReadD1001[] = ":000313E9000100\r\n";
constexpr char kReadD1148[] = ":0003147C00016C\r\n";
constexpr char kVersion[] = ":00640159053D\r\n";  // group 0x59 for the AIO set too
constexpr char kEraseAio[] = ":0064015B4552415345D0\r\n";
constexpr char kErase[] = ":006401594552415345D2\r\n";
constexpr char kEraseAckAio[] = ":0064015B063A\r\n";
constexpr char kEraseAck[] = ":00640159063C\r\n";

// Reply lengths: the 8-byte answer and the register answer, as frames.
constexpr uint32_t kAnswerLength = 19;
constexpr uint32_t kRegisterAnswerLength = 15;

// Positions in a decoded reply buffer (decoded byte k sits at 1 + k).
constexpr int kStatusAt = 5;        // byte 4: status, or the version byte
constexpr int kClassAt = 6;         // byte 5: error class of a negative reply, ID high byte
constexpr int kCodeAt = 7;          // byte 6: error code of a negative reply, ID low byte
constexpr int kRegisterHighAt = 4;  // register answer byte 3, then the low byte

constexpr uint8_t kStatusMonitor = 0x05;
constexpr uint8_t kStatusAccepted = 0x06;
constexpr uint8_t kStatusNegative = 0x15;

Exchange AsciiExchange(LinkHandle link, const char* frame, uint8_t* reply, uint32_t replyLength) {
  return TextExchange(link, frame, reply, replyLength, true);
}

// The exhausted result, from what the last read left in the reply buffer: a negative reply of
// class 2 whose code the request knows gives 16 + the code.
uint8_t ClassifyLastReply(const uint8_t* reply, std::initializer_list<uint8_t> knownCodes,
                          uint8_t class1Result) {
  if (reply[kStatusAt] != kStatusNegative) return kNoUsableReply;
  ReplyClass& last = burnDetail.current.lastReply;
  if (last == ReplyClass::kRefused) {
    last = reply[kClassAt] == 1   ? ReplyClass::kNegativeClass1
           : reply[kClassAt] == 2 ? ReplyClass::kNegativeClass2
                                  : ReplyClass::kNegativeOther;
  }
  if (reply[kClassAt] == 1) return class1Result;
  if (reply[kClassAt] != 2) return kNegOtherClass;
  for (uint8_t code : knownCodes) {
    if (reply[kCodeAt] == code) return static_cast<uint8_t>(16 + code);
  }
  return kNegClass2Other;
}

uint16_t ReplyWord(const uint8_t* reply, int highAt) {
  return static_cast<uint16_t>(reply[highAt] << 8 | reply[highAt + 1]);
}

// The requests that take any well-formed reply: true when one came.
bool AnyReply(LinkHandle link, const char* frame, uint8_t* reply, uint32_t replyLength) {
  SetNormalTimeouts(link);
  return Accepted(AsciiExchange(link, frame, reply, replyLength),
                  [](const uint8_t*) { return Verdict::Accept; });
}

uint16_t ReadRegister(LinkHandle link, const char* frame, BurnRequest request, GateRegister r) {
  BeginRequest(request);
  uint8_t reply[kRegisterAnswerLength] = {};
  const bool answered = AnyReply(link, frame, reply, sizeof reply);
  const uint16_t value = answered ? ReplyWord(reply, kRegisterHighAt) : 0;
  burnDetail.identity.registers[r] = {true, answered, value};
  return value;
}

}  // namespace

void DummyComm(LinkHandle link) {
  SetMonitorLineIfCom(link);
  SetWakeUpTimeouts(link);
  uint8_t discard[11];
  for (int i = 0; i < 5; ++i) {
    LinkPlat().WriteLink(link, reinterpret_cast<const uint8_t*>(kWakeUp), sizeof kWakeUp - 1);
    ReadFromPlc(link, discard, sizeof discard);
  }
  for (int i = 0; i < 5; ++i) ReadFromPlc(link, discard, sizeof discard);
}

uint8_t ConfirmComm(LinkHandle link) {
  SetMonitorLineIfCom(link);
  SetNormalTimeouts(link);
  BeginRequest(BurnRequest::kProbe);
  uint8_t reply[kAnswerLength] = {};
  const Exchange x = AsciiExchange(link, InAioSet() ? kProbeAio : kProbe, reply, sizeof reply);
  if (Accepted(x, [](const uint8_t* r) {
        return AcceptIf(r[kStatusAt] == kStatusMonitor || r[kStatusAt] == kStatusAccepted);
      })) {
    errCounter.store(0, std::memory_order_relaxed);
    burnDetail.identity.mode =
        reply[kStatusAt] == kStatusMonitor ? PlcMode::kMonitor : PlcMode::kLoader;
    return reply[kStatusAt];
  }
  return ClassifyLastReply(reply, {1, 2}, kNegClass1);
}

uint8_t CheckID_A(LinkHandle link) {
  SetNormalTimeouts(link);
  BeginRequest(BurnRequest::kIdentity);
  uint8_t reply[kAnswerLength] = {};
  const Exchange x = AsciiExchange(link, InAioSet() ? kIdAio : kId, reply, sizeof reply);
  const uint16_t selected = selectedPLCID.load(std::memory_order_relaxed);
  if (Accepted(x, [selected](const uint8_t* r) {
        const uint16_t id = ReplyWord(r, kClassAt);
        if (r[kStatusAt] == kStatusAccepted) {
          burnDetail.identity.modelIdRead = true;
          burnDetail.identity.modelId = id;
        }
        // The ID-12 models accept a PLC reporting 13 too; no other ID has such a sibling.
        const bool fits = selected == 12 ? (id == 12 || id == 13) : id == selected;
        return AcceptIf(r[kStatusAt] == kStatusAccepted && fits);
      })) {
    return kResultOk;
  }
  return ClassifyLastReply(reply, {2, 3}, kNegOtherClass);
}

uint16_t READ_D1386(LinkHandle link) {
  return ReadRegister(link, kReadD1386, BurnRequest::kD1386, kD1386);
}
uint16_t READ_D1001(LinkHandle link) {
  return ReadRegister(link, kReadD1001, BurnRequest::kD1001, kD1001);
}
uint16_t READ_D1148(LinkHandle link) {
  return ReadRegister(link, kReadD1148, BurnRequest::kD1148, kD1148);
}

uint8_t read_fu_version_A() {
  BeginRequest(BurnRequest::kVersion);
  uint8_t reply[kAnswerLength] = {};
  if (!AnyReply(hSerial, kVersion, reply, sizeof reply)) return 0;
  burnDetail.identity.bootLoaderVersionRead = true;
  burnDetail.identity.bootLoaderVersion = reply[kStatusAt];
  return reply[kStatusAt];
}

uint8_t SendErase_A(LinkHandle link) {
  SetNormalTimeouts(link);
  BeginRequest(BurnRequest::kEraseRequest);
  uint8_t reply[kAnswerLength] = {};
  const bool aio = InAioSet();
  Exchange x = AsciiExchange(link, aio ? kEraseAio : kErase, reply, sizeof reply);
  x.silenceAccepted = SelectedModel().silentErase;
  // The acknowledgement goes out on its own, with no reply to read.
  const Exchange ack = AsciiExchange(link, aio ? kEraseAckAio : kEraseAck, nullptr, 0);
  if (Accepted(x, [&](const uint8_t* r) {
        if (r[kStatusAt] != kStatusAccepted) return Verdict::ReadFailure;
        errCounter.store(0, std::memory_order_relaxed);
        // A short acknowledgement fails the whole attempt: the next one asks to erase again.
        const uint32_t n = ack.requestLength;
        if (LinkPlat().WriteLink(link, ack.request, n) < n) return Verdict::WriteFailure;
        return Verdict::Accept;
      })) {
    errCounter.store(0, std::memory_order_relaxed);
    return kResultOk;
  }
  return ClassifyLastReply(reply, {3, 4}, kNegOtherClass);
}
