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

void LoaderLink::Answers(std::initializer_list<int> answers) {
  for (int a : answers) {
    if (a < 0) {
      Silence();
    } else {
      Reply(std::vector<uint8_t>{static_cast<uint8_t>(a)});
    }
  }
}

uint32_t LoaderLink::Write(const uint8_t* data, uint32_t count) {
  progressAtWrite.push_back(progress.load());
  return ScriptedLink::Write(data, count);
}

uint32_t LoaderLink::Read(uint8_t* data, uint32_t count, const LinkTimeouts& timeouts) {
  if (ackUnscripted && replies.empty()) Reply(std::vector<uint8_t>{0x06});
  return ScriptedLink::Read(data, count, timeouts);
}
