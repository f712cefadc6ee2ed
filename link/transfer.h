// The firmware block transfer: numbered blocks of 256 or 128 data bytes with a CRC-16/XMODEM.
#pragma once

#include <cstdint>

#include "link/loader.h"
#include "platform/platform.h"

// CRC-16/XMODEM of `length` bytes (table-driven).
int CRC(const uint8_t* data, int length);

// n / d, rounded up.
uint32_t CeilDiv(uint32_t n, uint32_t d);

// Image bytes sent for an image of `imageLength` bytes and the selected model (the sector set
// keeps back the final 4,096 bytes; never negative).
uint32_t ImageBytesSent(uint32_t imageLength);
// Number of blocks for an image of `imageLength` bytes and the selected model.
int32_t BlockCount(uint32_t imageLength);

// Sends the image from fin in blocks, then 0x04: 0 success, 16 not acknowledged, 22 flash write
// error. Drives flashStatus (2) and progress.
uint8_t SendFW(LinkHandle link);
