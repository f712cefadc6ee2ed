// What the operator's guide tells the operator to do after each message that ends a burn on a
// PLC it reached, before pressing "Start Burn" again. The fault matrix does it after every failed
// burn and burns again; the guide test holds it against the guide's "What to do" column.
#pragma once

#include <cstring>

enum class Remedy {
  kAgain,       // mend the cause (cable, power, STOP) and press "Start Burn" again
  kPowerCycle,  // switch the PLC off and on first
  kOtherCopy,   // a PLC that answered for another variant: the copy made for it. A fault of the
                // line must never lead here, or the operator would burn the wrong firmware.
  kNone,        // a boot loader too old for the firmware: no burn of this copy recovers it
};

struct Recovery {
  const char* message;
  Remedy remedy;
};

// clang-format off
inline constexpr Recovery kRecoveries[] = {
    {"NO RESPONSE @ State 1", Remedy::kAgain},
    {"PLC in RUN MODE", Remedy::kAgain},
    {"PLC type is WRONG", Remedy::kAgain},
    {"UNKNOWN ERROR CODE @ State 1", Remedy::kPowerCycle},
    {"UNKNOWN MESSAGE", Remedy::kPowerCycle},
    {"NO RESPONSE @ State 2", Remedy::kAgain},
    {"UNKNOWN ERROR CODE @ State 2", Remedy::kPowerCycle},
    {"UNKNOWN MESSAGE @ State 2", Remedy::kPowerCycle},
    {"Check PLC, KL2-KR2 is different than KL2-G", Remedy::kOtherCopy},
    {"KL2-G V4.xx CAN NOT downgrade to V2.xx / V3.xx ", Remedy::kOtherCopy},
    {"KL2-G V2.xx / V3.xx CAN NOT upgrade to V4.xx ", Remedy::kAgain},
    {"KL2-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ", Remedy::kAgain},
    {"KL2-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ", Remedy::kAgain},
    {"Check PLC, 14PN2 is different than 32PN2", Remedy::kOtherCopy},
    {"Check PLC, 32PN2 is different than 14PN2", Remedy::kAgain},
    {"Check PLC, 14QD is different than 24QD", Remedy::kOtherCopy},
    {"Check PLC, 24QD is different than 14QD", Remedy::kAgain},
    {"PV V4.xx CAN NOT downgrade to V3.xx ", Remedy::kOtherCopy},
    {"PV V3.xx CAN NOT upgrade to V4.xx ", Remedy::kAgain},
    {"BRT-KL2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ", Remedy::kOtherCopy},
    {"BRT-KL2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ", Remedy::kAgain},
    {"The bootloader version is V0.9, do not support AIO FW update", Remedy::kNone},
    {"The bootloader version is V1.0, do not support AIO FW update", Remedy::kNone},
    {"The bootloader version is unknown, do not support AIO FW update", Remedy::kAgain},
    {"NO RESPONSE @ State 3", Remedy::kPowerCycle},
    {"UNKNOWN ERROR CODE @ State 3", Remedy::kPowerCycle},
    {"UNKNOWN MESSAGE @ State 3", Remedy::kPowerCycle},
    {"PLC DOES NOT enter the boot loader, RE-POWER PLC and try again", Remedy::kPowerCycle},
    {"PLC DOES NOT respond to the version read", Remedy::kAgain},
    {"PLC DOES NOT respond to the erasing signal", Remedy::kAgain},
    {"PLC DOES NOT respond to the update signal", Remedy::kAgain},
    {"Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again",
     Remedy::kPowerCycle},
    {"Firmware update is FAILED", Remedy::kPowerCycle},
};
// clang-format on

// The row of a message, or null.
inline const Recovery* FindRecovery(const char* message) {
  for (const Recovery& r : kRecoveries) {
    if (std::strcmp(r.message, message) == 0) return &r;
  }
  return nullptr;
}

inline const char* RemedyName(Remedy r) {
  switch (r) {
    case Remedy::kAgain:
      return "again";
    case Remedy::kPowerCycle:
      return "off and on, again";
    case Remedy::kOtherCopy:
      return "the other copy";
    case Remedy::kNone:
      return "none: supplier";
  }
  return "?";
}
