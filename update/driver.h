// The burn: one call of StartBurn drives one burn from the image load to its final message.
//
// Everything the burn asks of the operating system (message boxes owned by the main window, waits,
// the link) goes through Plat() and LinkPlat(), and what it asks of its window (the button, timer
// 5) through TheBurnWindow(), so a whole burn runs in a native test.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "update/endings.h"

// Most monitor-mode cycles a burn makes: the cycle that finds the PLC in monitor mode for the
// third time ends the burn and asks the operator to re-power the PLC.
constexpr int kMaxMonitorCycles = 3;

// The two handles the worker receives: the main window, then the "Start Burn" button.
struct BurnParam {
  WindowHandle hwnd;
  WindowHandle hButton;
};

// Thread entry; `parameter` is the address of the window's BurnParam. A null parameter is a burn
// without a window (null handles). Returns 0 on every path.
unsigned StartBurn(void* parameter);

// The end-of-burn clean-up every way out that reached the PLC goes through: counters to 0,
// button enabled, link closed and its hold given back, image released, burnRunning cleared.
void EndBurn();

// What a burn shows: message boxes owned by the main window of the running burn.
void StopElapsedTimer();  // timer 5 of the main window
// A prompt of the hand-over, with the information icon.
void ShowInformation(const char* text, const char* caption);
// Records the ending `id` and shows its box: its text (or `text`, the row's with the port filled
// in), caption and icon.
void ShowEnding(EndingId id);
void ShowEnding(EndingId id, const char* text);

// Message texts by the low four bits of a failure code of the mode probe (State 1), the identity
// check (State 2) and the erase request (State 3).
const char* State1Text(uint8_t code);
const char* State2Text(uint8_t code);
const char* State3Text(uint8_t code);

// The refusal of an image of `length` bytes for the selected model, or kEndingCount when it
// fits; and its text, or null when it fits.
EndingId ImageSizeEnding(uint32_t length);
const char* ImageSizeRefusal(uint32_t length);

// How far the burn has come, for a front end that tells where an ending left the PLC: StartBurn
// moves it on as the burn goes, and it keeps its value after the end. The phase (flashStatus)
// tells the erase and the transfer apart within the loader's reach.
enum BurnReach : int32_t {
  kReachedNothing,   // the image and its size: nothing sent
  kReachedOpening,   // opening the link
  kReachedLink,      // the link is open; the PLC runs its firmware (it answered as such last)
  kReachedHandOver,  // an erase request was accepted: the PLC restarts into its boot loader
  kReachedLoader,    // the boot loader answered
};
extern std::atomic<int32_t> burnReach;

// The prompts of the hand-over.
extern const char kReplugPrompt[];
extern const char kPowerCyclePrompt[];
