// What the console program prints while a burn runs (lines for people, or one JSON object per
// event for rigs) and the record line it appends to the log.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// One burn as the output and the record tell it.
struct BurnRecord {
  std::string model;
  std::string port;    // the port as given (a name, a device path, a symbolic link)
  std::string device;  // the device it resolved to
  std::string image;
  uint32_t size = 0;
  std::string sha256;
  std::string text;  // the final message, or the line that ended the burn
  int code = 0;
  double seconds = 0;
  int errors = 0;
  int totalErrors = 0;
  // How the burn ended, as JSON members: plc_left, failed, identity (EndingMembers).
  std::string ending;
};

// The PLC's identity as the burn read it, as a JSON object ("null" before any was read), and as a
// line for people.
std::string IdentityJson();
std::string IdentityText();

// The JSON members of an ending: where it left the PLC (`plcLeft`), the request whose failure
// ended the burn with its index and count and attempts (null for none), and the identity.
std::string EndingMembers(const char* plcLeft);

// A JSON string literal of `text`, which is UTF-8: a byte that is no part of a UTF-8 character
// stands as the character of its number.
std::string JsonString(const std::string& text);

// Standard output goes through a thread of its own, so that a paused terminal or a slow reader
// holds up nobody else: Out queues `text`, FlushOutput waits at most `ms` for the queue to empty.
void Out(const std::string& text);
void FlushOutput(unsigned ms);

// The record's line: one JSON object with the time (UTC), host and program version.
std::string RecordLine(const BurnRecord& record);

class Reporter {
 public:
  Reporter(bool json, bool terminal) : json_(json), terminal_(terminal) {}

  void Start(const BurnRecord& record);
  // A sample of the burn state at `seconds`, on a terminal: the progress line written again in
  // place.
  void Sample(int seconds);
  // The burn state as the burn thread sees it at every exchange: off a terminal, a line (or an
  // event) for every phase entered and every 10 % step, each step in order, none left out.
  void Observe(int seconds);
  // A burn that succeeded: its transfer to 100 %.
  void Complete(int seconds);
  // Sampling ends with the final message, as the clean-up after it puts the state back to idle.
  // Called with the lock held.
  void StopSampling() { sampling_ = false; }
  void Prompt(int seconds, const char* text, const char* answer);
  // The PLC's identity, once it is read.
  void Identity(int seconds);
  // A line for people (not in JSON output).
  void Note(const std::string& line);
  // The end: the final text and the outcome; when the record could not be written, the outcome
  // `not-recorded` with the burn's own beside it.
  void End(const BurnRecord& record, bool recorded = true);

  // Held by whoever writes; the interrupt holds it to the end of the process.
  std::mutex& Lock() { return mutex_; }

 private:
  void BreakProgressLine();
  void Milestone(int seconds, bool phaseEntered, int phase, int percent);
  std::string ProgressText(int seconds, int phase, int percent, int errors, int total) const;

  const bool json_;
  const bool terminal_;
  std::mutex mutex_;
  bool sampling_ = true;
  bool lineOpen_ = false;  // a progress line without its end on the terminal
  int lastPhase_ = -1;
  int lastStep_ = -1;
  std::string lastLine_;
};
