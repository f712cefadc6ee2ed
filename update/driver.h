// The burn: one call of StartBurn drives one burn from the image load to its final message.
#pragma once

#include <cstdint>

// Thread entry; `parameter` is the address of paramStruct (main window, then the button).
unsigned StartBurn(void* parameter);

// The end-of-burn clean-up every way out that reached the PLC goes through: counters to 0,
// button enabled, link closed, image released.
void EndBurn();

// Message texts by the low four bits of a failure code of the mode probe, the identity check
// and the erase request.
const char* State1Text(uint8_t code);
const char* State2Text(uint8_t code);
const char* State3Text(uint8_t code);

// Size limit of the selected model, and the text when an image exceeds it.
uint32_t SizeLimit();
const char* SizeLimitText();

// Most monitor-mode cycles a burn makes before telling the operator to re-power the PLC.
constexpr int kMaxMonitorCycles = 3;
