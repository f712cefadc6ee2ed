// The ASCII frame of monitor mode with its LRC, the line and time-out set-ups, and the exchange
// rule: the one retry discipline that every request to the PLC follows.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Decodes `count` hex digits at `text` in place (two digits a byte, upper case only). Returns 0
// for a sound frame (the bytes, LRC included, sum to 0), else the non-zero sum, or 1 at the first
// character that is not a hex digit.
uint8_t CheckLRC(char* text, uint8_t count);

// The time-outs every request but the wake-up exchange uses (3,000 ms), and the wake-up set (200 ms).
extern const LinkTimeouts kNormalTimeouts;
extern const LinkTimeouts kWakeUpTimeouts;
void SetNormalTimeouts(LinkHandle link);
void SetWakeUpTimeouts(LinkHandle link);

// Monitor-mode line: 9600 baud, 7 data bits, even parity, 1 stop bit, DTR and RTS off.
extern const LineSettings kMonitorLine;
// Loader-mode line after "UPDATE": 115200 baud, 8 data bits, no parity, 1 stop bit.
extern const LineSettings kLoaderLine;
// Applies kMonitorLine when the selected model is reached over a COM port; a USB link is untouched.
void SetMonitorLineIfCom(LinkHandle link);

// Limit of each failure count of a request: the sixth failure of either kind ends it.
constexpr uint8_t kMaxFailures = 6;

// The failure counts of one request (or of one unit of work that starts them afresh), and the
// counter movements of the exchange rule.
struct FailureCounts {
  uint8_t writeFailures = 0;
  uint8_t readFailures = 0;

  bool Exhausted() const { return writeFailures >= kMaxFailures || readFailures >= kMaxFailures; }
  // A request not written in full.
  void WriteFailed();
  // A reply short, undecodable, failing its LRC or its acceptance test.
  void ReadFailed();
  // Before a read: errCounter shows the read-failure count.
  void BeforeRead() const;
};

// What an attempt's reply judgement says.
enum class Verdict { Accept, Reject };

// One attempt of the exchange rule: writes `request` in one write; on a full write, shows the
// read-failure count, zero-fills `reply` when asked, and reads `replyLength` bytes in one read.
// Returns true when the write was full and the read complete; counts the failure otherwise.
// The caller judges a complete reply and calls counts.ReadFailed() when it rejects it.
bool ExchangeAttempt(LinkHandle link, const uint8_t* request, uint32_t requestLength,
                     uint8_t* reply, uint32_t replyLength, bool zeroFillReply,
                     FailureCounts& counts);

// The exchange rule as one loop: attempts while neither count is exhausted, judging each complete
// reply with `accept`. Returns true on acceptance (errCounter left as the rule last set it; the
// caller clears it where its request does so), false when the attempts ran out.
template <typename Accept>
bool RunExchange(LinkHandle link, const uint8_t* request, uint32_t requestLength, uint8_t* reply,
                 uint32_t replyLength, bool zeroFillReply, FailureCounts& counts,
                 Accept&& accept) {
  while (!counts.Exhausted()) {
    if (!ExchangeAttempt(link, request, requestLength, reply, replyLength, zeroFillReply,
                         counts)) {
      continue;
    }
    if (accept(reply)) return true;
    counts.ReadFailed();
  }
  return false;
}
