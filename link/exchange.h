// The ASCII frame of monitor mode with its LRC, the line and time-out set-ups, and the exchange
// rule: the one retry discipline that every request to the PLC follows.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Decodes `count` hex digits at `text` in place (two digits a byte, upper case only). Returns 0
// for a sound frame (the bytes, LRC included, sum to 0), else the non-zero sum, or 1 at the first
// character that is not a hex digit.
uint8_t CheckLRC(char* text, uint8_t count);

// The time-outs of every request but the wake-up exchange (3,000 ms), and of the wake-up (200 ms).
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
  // A request not written in full: errCounter shows the write-failure count.
  void WriteFailed();
  // A reply short, undecodable, failing its LRC or its acceptance test: errCounter shows the
  // read-failure count.
  void ReadFailed();
  // Before a read: errCounter shows the read-failure count.
  void BeforeRead() const;
};

// What one attempt writes and reads.
struct Exchange {
  LinkHandle link;
  const uint8_t* request;
  uint32_t requestLength;
  // The reply buffer, exactly replyLength bytes long.
  uint8_t* reply;
  uint32_t replyLength;
  // An ASCII frame: zero-filled before each read and decoded in place over the hex digits after
  // the start character (the reply length less ':' and CR LF). Binary replies are read as they
  // come, over whatever the last read left.
  bool asciiReply;
  // A short or missing reply ends the request with success instead of counting a read failure
  // (PLCs that restart into the loader without answering the erase request).
  bool silenceAccepted = false;
};

// An exchange whose request is the text `request` (a monitor-mode frame or a loader command word),
// sent without its terminator.
Exchange TextExchange(LinkHandle link, const char* request, uint8_t* reply, uint32_t replyLength,
                      bool asciiReply);

// How one attempt went, before the request judges the reply.
enum class Attempt {
  WriteShort,   // fewer bytes written than the request holds; nothing read
  ReplyShort,   // fewer bytes read than the reply length
  Undecodable,  // an ASCII reply with a bad hex digit or a bad LRC
  Complete,     // a full reply (decoded, for ASCII) for the request to judge
};

// The request's judgement of a complete reply.
enum class Verdict {
  Accept,        // success
  ReadFailure,   // the reply fails the acceptance test
  WriteFailure,  // a follow-up write of the same attempt came up short
  Stop,          // ends the request at once without counting a failure
};

// How the exchange rule ended.
enum class ExchangeEnd { Accepted, Exhausted, Stopped };

// One attempt of the exchange rule: one write of the request; after a full write errCounter shows
// the read-failure count and the reply length is read in one read. Counts no failure itself; it
// notes the attempt and how it went in the current request of burnDetail.
Attempt ExchangeAttempt(const Exchange& exchange, const FailureCounts& counts);

// The request's judgement of a whole reply, noted as the current request's last reply.
void NoteVerdict(Verdict verdict);

// A read of the link outside the exchange rule (the wake-up exchange); notes any byte received.
uint32_t ReadFromPlc(LinkHandle link, uint8_t* data, uint32_t count);

// The most attempts the rule can make: 5 failures of one kind and the sixth of the other.
constexpr unsigned kMaxAttempts = 2u * kMaxFailures - 1;

// The exchange rule: attempts while neither count is exhausted (and at most `attemptLimit` of
// them), judging every complete reply with `judge` (Verdict(const uint8_t* reply)). On
// Accepted, errCounter is left as the rule last set it; the caller clears it where its request
// does so.
template <typename Judge>
ExchangeEnd RunExchange(const Exchange& exchange, FailureCounts& counts, Judge&& judge,
                        unsigned attemptLimit = kMaxAttempts) {
  for (unsigned attempt = 0; attempt < attemptLimit && !counts.Exhausted(); ++attempt) {
    Verdict verdict = Verdict::ReadFailure;
    switch (ExchangeAttempt(exchange, counts)) {
      case Attempt::WriteShort:
        verdict = Verdict::WriteFailure;
        break;
      case Attempt::ReplyShort:
        if (exchange.silenceAccepted) verdict = Verdict::Accept;
        break;
      case Attempt::Undecodable:
        break;
      case Attempt::Complete:
        verdict = judge(static_cast<const uint8_t*>(exchange.reply));
        NoteVerdict(verdict);
        break;
    }
    switch (verdict) {
      case Verdict::Accept:
        return ExchangeEnd::Accepted;
      case Verdict::Stop:
        return ExchangeEnd::Stopped;
      case Verdict::ReadFailure:
        counts.ReadFailed();
        break;
      case Verdict::WriteFailure:
        counts.WriteFailed();
        break;
    }
  }
  return ExchangeEnd::Exhausted;
}

// The exchange rule for a request with failure counts of its own: true when it was accepted.
template <typename Judge>
bool Accepted(const Exchange& exchange, Judge&& judge, unsigned attemptLimit = kMaxAttempts) {
  FailureCounts counts;
  return RunExchange(exchange, counts, judge, attemptLimit) == ExchangeEnd::Accepted;
}

// The judgement of the many requests whose only test is a condition on the reply.
inline Verdict AcceptIf(bool accepted) {
  return accepted ? Verdict::Accept : Verdict::ReadFailure;
}
