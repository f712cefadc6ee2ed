// The console program's outcomes, one per exit code (update/endings.h), and the exit code of a
// burn's ending.
#pragma once

#include "update/endings.h"

struct Outcome {
  int code;
  const char* name;     // the "outcome" of the JSON events and the record
  const char* meaning;  // what happened and where the PLC is
  const char* action;   // what to do
};

extern const Outcome kOutcomes[];
extern const int kOutcomeCount;
const Outcome& OutcomeOf(int code);

// The exit code of the burn's recorded ending (kExitInterrupted while none is recorded).
int EndingCode();

// Where the PLC is left if the burn ends now, as one sentence.
const char* WhereThePlcIs();
