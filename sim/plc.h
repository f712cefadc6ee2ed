// The simulated PLC: its firmware (monitor mode), its boot loader (loader mode) and its flash.
// It takes the bytes the tool writes, answers as the PLC would, checks every byte against the
// protocol and keeps a report of the burn. Not thread-safe: one caller at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/fault.h"
#include "sim/profile.h"

namespace plcsim {

enum class Mode {
  kMonitor,     // the firmware answers framed requests
  kRestarting,  // the erase was accepted; waiting for the hand-over
  kLoader,      // the boot loader answers command words and image blocks
  kGone,        // the line went away (an injected fault); nothing is answered any more
};
const char* ModeName(Mode m);

// When an accepted erase makes the firmware restart into its boot loader.
struct HandoverPolicy {
  bool onClose = false;    // when the link is closed (replug, power cycle)
  bool immediate = false;  // at once after the erase acknowledgement
  uint32_t gapMs = 0;      // on a wake-up frame at least this long after the erase (0: never)
};
// The profile's own hand-over: on close for replug and power-cycle models, else at once.
HandoverPolicy DefaultHandover(const Profile& p);

// An answer and how long after the request it may be read.
struct Answer {
  std::vector<uint8_t> bytes;
  uint32_t delayMs = 0;
  bool fastLine = false;  // sent at 115200 8N1 (after UPDATE was acknowledged)
};

struct RequestRecord {
  uint64_t tMs;
  Mode mode;
  Request request;
  uint32_t number;  // n-th of its kind; for erase units and blocks, the unit or block
  std::string note;
};

class Plc {
 public:
  explicit Plc(const Profile& profile);

  void AddFault(const FaultSpec& fault);
  // Expected image length: enables the checks of unit and block counts and of the fill bytes.
  void SetImageLength(uint32_t n);
  void SetHandover(const HandoverPolicy& policy) { policy_ = policy; }
  // The time the caller stands at (ms since it started); stamps requests, times the hand-over
  // gap, and discards a request left incomplete for a second.
  void SetTimeMs(uint64_t ms) { nowMs_ = ms; }

  // Line settings the tool applies. Once EnableLineChecks() was called, every request is checked
  // against the settings in force when it arrives.
  void EnableLineChecks() { lineChecks_ = true; }
  void SetLine(uint32_t baud, uint8_t byteSize, uint8_t parity);

  void LinkOpened();
  void LinkClosed();  // a replug/power-cycle hand-over happens here

  // What an operator does after a failed burn. ClearFaults: the cause is mended (the faults are
  // gone and a line that went away is back, the PLC as it was). Restart: the PLC is switched off
  // and on (or, on USB, its cable replugged): a firmware that took the erase order comes up as its
  // boot loader, a boot loader stays one until a transfer was closed, and what was half received
  // is lost.
  void ClearFaults();
  void Restart();

  // Bytes the tool wrote, in any split; the answers go to the queue below.
  void Receive(const uint8_t* data, size_t n);
  bool HasAnswer() const { return !answers_.empty(); }
  Answer TakeAnswer();

  Mode mode() const { return mode_; }
  bool lineGone() const { return mode_ == Mode::kGone; }
  bool fastLine() const { return fastLine_; }
  bool finished() const { return finished_; }  // the closing 0x04 of a transfer was acknowledged
  bool complete() const;                       // finished, with every block the image needs
  const Profile& profile() const { return profile_; }

  const std::vector<uint8_t>& flash() const { return flash_; }  // block data in order, fill too
  // The flash cut to the image bytes the tool sends (needs the image length; else the flash).
  std::vector<uint8_t> WrittenImage() const;

  uint32_t eraseUnits() const { return eraseUnits_; }
  uint32_t blocksReceived() const { return blocksReceived_; }
  uint32_t blocksAccepted() const { return blocksAccepted_; }
  uint32_t blocksResent() const { return blocksResent_; }
  uint32_t blocksRepeated() const { return blocksRepeated_; }
  uint32_t RequestCount(Request r) const { return counts_[static_cast<int>(r)]; }
  uint32_t FaultFired(size_t index) const { return faults_[index].fired; }
  const std::vector<RequestRecord>& requests() const { return requests_; }

  int violations() const { return violationTotal_; }
  std::vector<std::string> ViolationTexts() const;

  std::string ReportJson() const;

 private:
  struct ActiveFault {
    FaultSpec spec;
    uint32_t fired = 0;
  };
  struct Violation {
    std::string text;
    int count;
  };
  struct ModeChange {
    uint64_t tMs;
    Mode to;
    std::string why;
  };

  void Feed(uint8_t b);
  void FrameByte(uint8_t b);
  void HandleFrame(const std::string& text);
  void MonitorFrame(Request r, uint8_t group, uint32_t n);
  void LoaderFrame(Request r, uint8_t group, uint32_t n);
  void CommandByte(uint8_t b);
  void LoaderCommand(const std::string& word);
  void EraseEnd();
  void BlockByte(uint8_t b);
  void HandleBlock();
  void TransferEnd();

  void Handover();
  void DropPartialInput();
  void SetMode(Mode m, const std::string& why);
  void CheckLine(bool fast);
  void AddViolation(const std::string& text);
  void Record(Request r, uint32_t n, const std::string& note);
  const FaultSpec* Match(Request r, uint32_t n, uint32_t attempt, bool stay);
  // Answers a request, with the fault that applies to it. Returns whether the request is carried
  // out (false for silence and for answers that refuse it).
  bool Respond(Request r, uint32_t n, uint32_t attempt, std::vector<uint8_t> bytes, bool frame);
  bool Respond64(Request r, uint32_t n, uint8_t group, uint8_t status, uint8_t p1, uint8_t p2);

  Profile profile_;
  HandoverPolicy policy_;
  std::vector<ActiveFault> faults_;
  bool hasImageLength_ = false;
  uint32_t imageLength_ = 0;
  uint64_t nowMs_ = 0;
  uint64_t lastRxMs_ = 0;

  Mode mode_ = Mode::kMonitor;
  Mode modeBeforeGone_ = Mode::kMonitor;  // where a line that comes back finds the PLC
  bool fastLine_ = false;
  bool lineChecks_ = false;
  bool lineSet_ = false;
  uint32_t baud_ = 0;
  uint8_t byteSize_ = 0;
  uint8_t parity_ = 0;

  // Input parsing.
  bool inFrame_ = false;
  std::string frame_;
  std::string command_;
  std::vector<uint8_t> block_;
  size_t skip_ = 0;    // bytes of a misplaced block still to swallow
  bool junk_ = false;  // inside a run of bytes that belong to nothing (reported once)

  // Monitor mode.
  bool sawProbe_ = false;
  bool sawId_ = false;
  bool awaitingEraseAck_ = false;
  uint32_t acceptedErases_ = 0;
  uint64_t restartAtMs_ = 0;

  // Loader mode.
  bool sawLoaderId_ = false;
  bool erasing_ = false;
  bool eraseClosed_ = false;
  bool updating_ = false;
  bool finished_ = false;
  uint32_t eraseUnits_ = 0;
  uint32_t eraseAttempt_ = 0;
  uint8_t expectedNumber_ = 1;
  uint32_t blockIndex_ = 0;  // transfer place of the last block tried
  uint32_t blockAttempt_ = 0;
  uint32_t blocksReceived_ = 0;
  uint32_t blocksAccepted_ = 0;
  uint32_t blocksResent_ = 0;
  uint32_t blocksRepeated_ = 0;
  uint32_t blocksRefused_ = 0;

  uint32_t counts_[static_cast<int>(Request::kCount)] = {};
  std::vector<RequestRecord> requests_;
  std::vector<ModeChange> modeChanges_;
  std::vector<Violation> violations_;
  int violationTotal_ = 0;
  std::vector<uint8_t> flash_;
  std::deque<Answer> answers_;
};

}  // namespace plcsim
