// The compatibility gates: refuse an image meant for another variant or firmware generation of
// the attached PLC, or one that needs a newer boot loader than the PLC has.
//
// Register gates tell apart the models that share a model ID by what the PLC's registers say;
// they run in monitor mode, after the identity check and before the erase request. The
// loader-version gate checks the boot loader version of the eleven USB models that have one, in
// monitor mode at the same place and in loader mode before the erase.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Refusal flags of the register gates; they belong to one cycle of the burn.
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

// D1001 is of the V4 generation when bits 4 to 7 hold 4 or more; no other bit counts.
bool IsV4Generation(uint16_t d1001);

// Monitor-mode gate of the selected model. A register gate sets its flag to 0 on a pass; on a
// refusal it stops timer 5, shows the text and sets its flag to 1. Returns false only when the
// loader-version gate refused: the burn has then been ended (clean-up done) and the caller must
// return at once.
bool CheckVariant_A(LinkHandle link, RefusalFlags& flags);

// The loader-version decision on a version byte. Returns true when it passes; on a refusal it shows
// the text, then stops timer 5, runs the end-of-burn clean-up and returns false.
bool CheckFuVersion(uint8_t version);

// Loader-mode form: for the loader-version group, reads "VERSION" and applies CheckFuVersion; for
// any other ID it reads nothing and passes. Returns true when the burn goes on; false when it has
// been ended here.
bool CheckFuVersion_B();
