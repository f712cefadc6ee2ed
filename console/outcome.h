// The console program's exit codes, one per class of outcome, and the class of a burn's ending by
// its text and by how far the burn had come.
#pragma once

enum ExitCode {
  kExitSuccess = 0,
  kExitCommandLine = 2,
  kExitRefused = 3,
  kExitNoLink = 4,
  kExitBeforeHandOver = 5,
  kExitInBootLoader = 6,
  kExitFirmwareGone = 7,
  kExitFlashWriteError = 8,
  kExitPromptUnanswered = 9,
  kExitInterrupted = 10,
  kExitNoAnswer = 11,
  kExitNotRecorded = 12,
};

struct Outcome {
  int code;
  const char* name;     // the "outcome" of the JSON events and the record
  const char* meaning;  // what happened and where the PLC is
  const char* action;   // what to do
};

extern const Outcome kOutcomes[];
extern const int kOutcomeCount;
const Outcome& OutcomeOf(int code);

// The class of the burn's final message, taken when it is shown: `success` for the information
// box that ends a burn, else by the text and where the burn had come (burnReach, flashStatus);
// a failure after the link opened with nothing at all come back (`answered` false) is no-answer.
int EndingCode(bool success, const char* text, bool answered);

// Where the PLC is left if the burn ends now, as one sentence.
const char* WhereThePlcIs();
