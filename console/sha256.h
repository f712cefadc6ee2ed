// SHA-256 of a run of bytes, for the record of what a burn sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const uint8_t* data, size_t size);
