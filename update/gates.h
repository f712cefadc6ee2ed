// The compatibility gates: refuse an image meant for another variant or firmware generation of
// the attached PLC, or for a newer boot loader than it has.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Refusal flags of the register gates; they belong to the driver's cycle.
struct RefusalFlags {
  uint8_t id12Mismatch;
  uint8_t idA001Mismatch;
  uint8_t id19Mismatch;
  uint8_t id21Mismatch;
  uint8_t id8Mismatch;

  bool Any() const {
    return id12Mismatch || idA001Mismatch || id19Mismatch || id21Mismatch || id8Mismatch;
  }
};

// True when the ID is in the loader-version group (0x3000, 0x3010, 0x0020, 0xA00B, 0x3020, 0x0022).
bool InLoaderVersionGroup(uint16_t id);

// D1001 is of the V4 generation when bits 4 to 7 hold 4 or more.
bool IsV4Generation(uint16_t d1001);

// Monitor-mode gate of selectedPLCID. On a register-gate refusal: timer 5 stopped, message
// shown, flag set. Returns false when the loader-version gate refused and ended the burn.
bool CheckVariant_A(LinkHandle link, RefusalFlags& flags);

// The loader-version decision. Returns true when it passes; on a refusal it shows the text, stops
// timer 5 and runs the end-of-burn clean-up, and returns false.
bool CheckFuVersion(uint8_t version);

// Loader-mode form: for the loader-version group, reads "VERSION" and applies CheckFuVersion.
// Returns true when the burn goes on; false when it has been ended here.
bool CheckFuVersion_B();
