// The process-wide values through which the window thread and the burn thread cooperate.
//
// Values that both threads touch are atomics (relaxed order is enough: each is a lone counter or
// flag that the panel repaints every 100 ms). The texts are written by the window only; the port
// name, which the worker reads when it reopens a COM port, goes through a guarded copy.
#pragma once

#include <atomic>
#include <cstdint>

#include "catalogue.h"
#include "platform/platform.h"

constexpr int kPortNameSize = 10;  // 9 characters and the terminator

// Text of the selected port entry ("COM3", "USB"); see SetSelectedComPort / GetSelectedComPort.
extern char selectedComPort[kPortNameSize];
void SetSelectedComPort(const char* name);
void GetSelectedComPort(char out[kPortNameSize]);

// The open link to the PLC; the worker's own.
extern LinkHandle hSerial;

// Timer 5 of the main window: the elapsed seconds, every 1,000 ms while a burn runs.
constexpr int kSecondsTimer = 5;

// Phase shown on the panel.
enum : int32_t { kFlashIdle = 0, kFlashErasing = 1, kFlashProgramming = 2 };

extern std::atomic<int32_t> flashStatus;
extern std::atomic<int32_t> progress;
extern std::atomic<int32_t> errCounter;
extern std::atomic<int32_t> totalErrCounter;
extern std::atomic<int32_t> elapsedTime;

// Boot loader version: high nibble major, low nibble minor (0x10 is V1.0).
extern uint8_t MH_fu_version;

// True from the start command until the burn's clean-up: a second start is ignored meanwhile.
extern std::atomic<bool> burnRunning;

// Sets the five values the panel shows back to idle.
void ResetBurnCounters();

// What the burn knows when it ends. The burn thread writes it; a front end reads it in the final
// message box (shown on the burn thread) or once the burn thread has ended. StartBurn clears it,
// and it keeps its values after the burn's end.

// The requests to the PLC, as a front end names them (RequestName).
enum class BurnRequest : uint8_t {
  kNone,
  kProbe,
  kIdentity,
  kD1386,
  kD1001,
  kD1148,
  kVersion,
  kEraseRequest,
  kLoaderIdentity,
  kLoaderVersion,
  kEraseUnit,
  kUpdate,
  kBlock,
  kClosingByte,
};
const char* RequestName(BurnRequest request);  // "probe", "d1001", "closing-byte"; "" for none

// How the last attempt of a request went.
enum class ReplyClass : uint8_t {
  kNone,            // no attempt made
  kNotWritten,      // the request (or its follow-up) was not written in full
  kNoReply,         // not a byte came back
  kShort,           // fewer bytes than the reply has
  kUndecodable,     // a frame with a bad digit or LRC
  kRefused,         // a whole reply that the request does not accept
  kNegativeClass1,  // a negative reply of monitor mode, by its class
  kNegativeClass2,
  kNegativeOther,
  kWriteError,  // the boot loader's flash write error
  kAccepted,
};
const char* ReplyClassName(ReplyClass reply);

struct RequestRecord {
  BurnRequest request;
  uint32_t index;  // counted from 1 for an erase unit or a block; else 0
  uint32_t of;
  uint32_t attempts;
  ReplyClass lastReply;
};

enum class PlcMode : uint8_t { kUnknown, kMonitor, kLoader };
const char* PlcModeName(PlcMode mode);  // "unknown", "monitor", "loader"

// The gate registers, in the order of their names ("D1386", "D1001", "D1148").
enum GateRegister : uint8_t { kD1386, kD1001, kD1148, kGateRegisterCount };
const char* GateRegisterName(GateRegister r);

struct RegisterRead {
  bool read;      // a read was made
  bool answered;  // and answered: an unanswered read gives 0
  uint16_t value;
};

// The PLC as the burn read it; each value is valid where its flag is set.
struct PlcIdentity {
  PlcMode mode;  // the mode it answered the last probe in
  bool modelIdRead;
  uint16_t modelId;  // as the last whole identity reply gave it
  RegisterRead registers[kGateRegisterCount];
  bool bootLoaderVersionRead;
  uint8_t bootLoaderVersion;  // as MH_fu_version
};

// Where an ending leaves the PLC.
enum class PlcLeft : uint8_t {
  kUntouched,     // nothing sent, or refused before the order to restart into the boot loader
  kRunsFirmware,  // took that order, and answers as its firmware does again
  kInBootLoader,  // waits in its boot loader, its firmware still in the flash
  kErased,        // its flash wholly or partly erased: no firmware until a burn succeeds
  kNewFirmware,
  kUnknown,  // the order may or may not have been taken
};
const char* PlcLeftName(PlcLeft left);  // "untouched", "firmware", "boot-loader", ...

struct BurnDetail {
  RequestRecord current;  // the request made last
  RequestRecord failed;   // the request whose failure ended the burn, if one did
  bool anyByteReceived;   // from the PLC, during the whole burn
  PlcIdentity identity;
};
extern BurnDetail burnDetail;

// The row of the table of endings (update/endings.h) that ended the burn, -1 while none has.
extern std::atomic<int32_t> burnEnding;

void ClearBurnDetail();
// A request begins: it becomes the current one with no attempt made.
void BeginRequest(BurnRequest request, uint32_t index = 0, uint32_t of = 0);
