// The console program's outcomes, one per exit code (update/endings.h), and the exit code of a
// burn's ending.
#pragma once

#include "update/endings.h"

// The console's own ends beside those of the burn's table.
constexpr int kExitNoAnswer = 11;
constexpr int kExitNotRecorded = 12;

struct Outcome {
  int code;
  const char* name;     // the "outcome" of the JSON events and the record
  const char* meaning;  // what happened and where the PLC is
  const char* action;   // what to do
};

extern const Outcome kOutcomes[];
extern const int kOutcomeCount;
const Outcome& OutcomeOf(int code);

// The exit code of the burn's recorded ending (kExitInterrupted while none is recorded): a failure
// after which nothing at all had come back from the link in the whole burn is no-answer.
int EndingCode();

// Where the PLC is left ("untouched", "boot-loader", ...): as the recorded ending says, else (an
// interrupt, an unanswered prompt) by how far the burn had come.
const char* PlcLeftNow();

// Where the PLC is left if the burn ends now, as one sentence.
const char* WhereThePlcIs();
