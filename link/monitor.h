// Requests to the PLC's own firmware (monitor mode): framed ASCII with an LRC.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Result codes of the mode probe, the identity check and the erase request. The driver picks its
// texts by the low four bits of a failure (MonitorFailureKind).
enum MonitorResult : uint8_t {
  kResultOk = 0,
  kMonitorMode = 5,
  kLoaderMode = 6,
  kNegClass2Code1 = 17,  // to 20: 16 + the code of a class-2 negative reply the request knows
  kNegClass2Other = 21,
  kNegClass1 = 22,
  kNegOtherClass = 23,
  kNoUsableReply = 24,
};

// The low four bits of a failure code: the codes 1 to 4 of a class-2 negative reply, then these.
enum MonitorFailureKind : uint8_t {
  kFailClass2Other = kNegClass2Other & 0x0F,
  kFailClass1 = kNegClass1 & 0x0F,
  kFailOtherClass = kNegOtherClass & 0x0F,
  kFailNoUsableReply = kNoUsableReply & 0x0F,
};

// Wake-up exchange: five wake-up frames and ten reads, nothing judged, no counter touched.
void DummyComm(LinkHandle link);
// Mode probe: 5 (monitor mode), 6 (loader mode) or a failure code 17, 18, 21, 22, 23, 24.
uint8_t ConfirmComm(LinkHandle link);
// Identity check: 0, or 18, 19, 21, 23, 24.
uint8_t CheckID_A(LinkHandle link);
// Register reads: the 16-bit value, 0 when the attempts run out (burnDetail.identity tells the two
// apart).
uint16_t READ_D1386(LinkHandle link);
uint16_t READ_D1001(LinkHandle link);
uint16_t READ_D1148(LinkHandle link);
// Version query on hSerial: the boot loader's version byte, 0 when the attempts run out.
uint8_t read_fu_version_A();
// Erase request, which hands the PLC over to its boot loader: 0, or 19, 20, 21, 23, 24.
uint8_t SendErase_A(LinkHandle link);
