// Requests to the PLC's boot loader (loader mode): bare ASCII command words answered by 0x06.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Results of the loader-mode requests and of the block transfer: one failure for a request that
// is never acknowledged, and the flash write error that only a block can meet.
enum LoaderResult : uint8_t {
  kLoaderOk = 0,
  kLoaderFailed = 16,
  kFlashWriteError = 22,
};

// The loader's acknowledge, and the byte that closes the erase and the transfer.
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kEot = 0x04;

// "ID": 0 when the loader's model ID fits the selected model, else 16.
uint8_t CheckID_B(LinkHandle link);
// "VERSION" on hSerial: 0 and MH_fu_version set, or 16 and MH_fu_version unchanged.
uint8_t read_fu_version_B();
// Number of "ERASE" units for an image of `imageLength` bytes and the selected model. Never
// negative or huge: a sector-set image of 4,096 bytes or less gives 0.
uint16_t EraseUnitCount(uint32_t imageLength);
// "ERASE" once per unit, then 0x04: 0 when all were acknowledged, else 16. Drives flashStatus
// (1) and progress.
uint8_t SendErase_B(LinkHandle link);
// "UPDATE", then the line switch to 115200 8N1 after the acknowledge only: 0, else 16.
uint8_t SendUpdate(LinkHandle link);
