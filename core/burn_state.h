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

// The two handles the worker receives: the main window, then the "Start Burn" button.
struct BurnParam {
  WindowHandle hwnd;
  WindowHandle hButton;
};

// Text of the selected port entry ("COM3", "USB"); see SetSelectedComPort / GetSelectedComPort.
extern char selectedComPort[kPortNameSize];
void SetSelectedComPort(const char* name);
void GetSelectedComPort(char out[kPortNameSize]);

extern int32_t ComSelidx;
extern int32_t totalComPort;
extern WindowHandle hComPortList;
extern BurnParam paramStruct;

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
