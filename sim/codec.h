// The simulated PLC's own codings: ASCII frames with their LRC, the block CRC and the digest of
// the flash. Written apart from the tool's routines so that a fault there is not mirrored here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plcsim {

// Two's complement of the 8-bit sum of the bytes.
uint8_t Lrc(const uint8_t* data, size_t n);

// ":" + upper-case hex of the bytes + their LRC + CR LF.
std::string EncodeFrame(const std::vector<uint8_t>& bytes);

enum class FrameError {
  kNone,
  kNoStart,       // first character is not ':'
  kNoEnd,         // does not end in CR LF
  kOddLength,     // an odd number of hex digits
  kLowerCase,     // a hex digit in lower case
  kBadCharacter,  // a character that is no hex digit
  kBadLrc,        // decoded bytes do not sum to 0
  kTooShort,      // fewer than station, function and LRC
};
const char* FrameErrorText(FrameError e);

// Decodes a whole frame (":" ... CR LF). On success `bytes` holds station, function and data,
// without the LRC.
FrameError DecodeFrame(const std::string& text, std::vector<uint8_t>& bytes);

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR), bit by bit.
uint16_t Crc16Xmodem(const uint8_t* data, size_t n);

// SHA-256 of the bytes, as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, size_t n);

std::string HexByte(uint8_t b);  // "0x1A"

}  // namespace plcsim
