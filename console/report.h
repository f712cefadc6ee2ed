// What the console program prints while a burn runs (lines for people, or one JSON object per
// event for rigs) and the record line it appends to the log.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// One burn as the output and the record tell it.
struct BurnRecord {
  std::string model;
  std::string port;  // the port name or the device path
  std::string image;
  uint32_t size = 0;
  std::string sha256;
  std::string text;  // the final message, or the line that ended the burn
  int code = 0;
  double seconds = 0;
  int errors = 0;
  int totalErrors = 0;
};

// A JSON string literal of `text`.
std::string JsonString(const std::string& text);

// The record's line: one JSON object with the time (UTC), host and program version.
std::string RecordLine(const BurnRecord& record);

class Reporter {
 public:
  Reporter(bool json, bool terminal) : json_(json), terminal_(terminal) {}

  void Start(const BurnRecord& record);
  // A sample of the burn state at `seconds`: on a terminal the progress line is written again in
  // place; otherwise a line when the phase changes or the percentage reaches the next 10 %.
  void Sample(int seconds);
  // Sampling ends with the final message, as the clean-up after it puts the state back to idle.
  // Called with the lock held.
  void StopSampling() { sampling_ = false; }
  void Prompt(int seconds, const char* text, const char* answer);
  // A line for people (not in JSON output).
  void Note(const std::string& line);
  void End(const BurnRecord& record);

  // Held by whoever writes; the interrupt holds it to the end of the process.
  std::mutex& Lock() { return mutex_; }

 private:
  void BreakProgressLine();
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
