// SHA-256 of a run of bytes, for the record of what a burn sent. The simulated PLC computes its
// own, written apart, so that the tests check this one against an independent digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const uint8_t* data, size_t size);
