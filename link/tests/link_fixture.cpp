#include "link/tests/link_fixture.h"

#include <cstdio>

std::string Frame(const std::vector<uint8_t>& bytes) {
  std::string text = ":";
  unsigned sum = 0;
  char hex[3];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    text += hex;
    sum += b;
  }
  std::snprintf(hex, sizeof hex, "%02X", (0x100 - sum % 0x100) % 0x100);
  return text + hex + "\r\n";
}

std::string Answer(uint8_t status, uint8_t byte5, uint8_t byte6) {
  return Frame({0x00, 0x64, 0x01, 0x59, status, byte5, byte6});
}

std::string Negative(uint8_t errorClass, uint8_t code) {
  return Answer(0x15, errorClass, code);
}

std::string RegisterAnswer(uint16_t value) {
  return Frame({0x00, 0x03, 0x02, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
}
