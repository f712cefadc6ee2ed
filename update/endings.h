// The table of the burn's endings: every final message the driver and the gates show, one row
// each, with where it leaves the PLC, the console program's exit code for it and what the
// operator's guide says to do next. The driver shows a row's text and records the row in the
// burn state (burnEnding, beside burnDetail); front ends, records and tests read the row.
#pragma once

#include <cstdint>

#include "core/burn_state.h"
#include "platform/platform.h"

// The console program's exit codes, one per class of outcome.
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
};

// What the operator's guide says to do after an ending, before pressing "Start Burn" again.
enum class Remedy {
  kDone,        // the burn succeeded
  kNotReached,  // nothing was sent: mend what the text names (the image, the link)
  kAgain,       // mend the cause (cable, power, STOP) and press "Start Burn" again
  kPowerCycle,  // switch the PLC off and on first
  kOtherCopy,   // a PLC that answered for another variant: the copy made for it. A fault of the
                // line must never lead here, or the operator would burn the wrong firmware.
  kNone,        // a boot loader too old for the firmware: no burn of this copy recovers it
};

struct Ending {
  // The text as shown; null for the size refusal, whose text is the selected model's limit
  // text; "%s" in the link's refusal stands for the port.
  const char* text;
  const char* caption;
  MessageIcon icon;
  PlcLeft plcLeft;
  ExitCode exitCode;
  Remedy remedy;
  // The burn ended because the request made last failed (burnDetail.failed holds it).
  bool requestFailed;
};

// The rows, in the order of the burn.
enum EndingId : int32_t {
  kEndUsbSuccess,
  kEndComSuccess,
  kEndImageNotLoaded,
  kEndImageTooLarge,
  kEndSectorImageTooSmall,
  kEndLinkNotOpened,
  // State 1, in the first cycle and after a hand-over.
  kEndState1NoResponse,
  kEndState1RunMode,
  kEndState1WrongType,
  kEndState1UnknownCode,
  kEndState1UnknownMessage,
  kEndHandedOverNoResponse,
  kEndHandedOverRunMode,
  kEndHandedOverWrongType,
  kEndHandedOverUnknownCode,
  kEndHandedOverUnknownMessage,
  kEndStuckInMonitorMode,
  kEndState2NoResponse,
  kEndState2WrongType,
  kEndState2UnknownCode,
  kEndState2UnknownMessage,
  kEndGateRegisterUnanswered,
  // The register gates.
  kEndKl2krIsNotKl2g,
  kEndKl2gNoDowngrade,
  kEndKl2gNoUpgrade,
  kEndKl2krNoDowngrade,
  kEndKl2krNoUpgrade,
  kEndPn14IsNot32,
  kEndPn32IsNot14,
  kEndQd14IsNot24,
  kEndQd24IsNot14,
  kEndPvNoDowngrade,
  kEndPvNoUpgrade,
  kEndBrtNoDowngrade,
  kEndBrtNoUpgrade,
  // The loader-version gate, in monitor mode and in loader mode.
  kEndLoaderV09Old,
  kEndLoaderV10Old,
  kEndLoaderUnknown,
  kEndLoaderV09OldInLoader,
  kEndLoaderV10OldInLoader,
  kEndLoaderUnknownInLoader,
  kEndLoaderVersionUnread,
  kEndState3NoResponse,
  kEndState3WrongType,
  kEndState3UnknownCode,
  kEndState3UnknownMessage,
  // Loader mode.
  kEndLoaderWrongType,
  kEndEraseNotAnswered,
  kEndUpdateNotAnswered,
  kEndFlashWriteError,
  kEndUpdateFailed,
  kEndingCount
};

extern const Ending kEndings[kEndingCount];

// The text a row shows for the selected model (the size refusal's is the model's).
const char* EndingText(EndingId id);

// The rows of the state texts, by the low four bits of a failure code of the mode probe (State
// 1; `handedOver` after an accepted erase request), the identity check (State 2) and the erase
// request (State 3).
EndingId State1Ending(uint8_t code, bool handedOver);
EndingId State2Ending(uint8_t code);
EndingId State3Ending(uint8_t code);

// Records `id` as the burn's ending, with the failed request where the row says one failed.
void RecordEnding(EndingId id);

// The recorded ending of the last burn, or null while none is recorded.
const Ending* RecordedEnding();
EndingId RecordedEndingId();  // kEndingCount while none
// True when the recorded ending is a success.
bool RecordedSuccess();
// Where it left the PLC ("untouched", ...), or "" while none is recorded.
const char* RecordedPlcLeft();
