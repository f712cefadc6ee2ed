#include "console/trace.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t kStx = 0x02;

bool Printable(uint8_t b) {
  return b >= 0x20 && b < 0x7F;
}

// A frame (":" and hexadecimal digits, CR LF) or a command word ("ID", "VERSION"): text.
bool IsText(const uint8_t* data, uint32_t count) {
  uint32_t printable = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (Printable(data[i])) {
      ++printable;
    } else if (data[i] != '\r' && data[i] != '\n') {
      return false;
    }
  }
  return printable >= 2;
}

std::string Quoted(const uint8_t* data, uint32_t count) {
  std::string out = "\"";
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t b = data[i];
    if (b == '\r') {
      out += "\\r";
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (Printable(b)) {
      out += static_cast<char>(b);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out + "\"";
}

std::string Hex(const uint8_t* data, uint32_t count) {
  std::string out;
  for (uint32_t i = 0; i < count; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%s%02X", i == 0 ? "" : " ", data[i]);
    out += hex;
  }
  return out;
}

// A block: STX, its number, the number's complement, 128 or 256 data bytes and a CRC-16.
bool IsBlock(const uint8_t* data, uint32_t count) {
  return (count == 3 + 128 + 2 || count == 3 + 256 + 2) && data[0] == kStx &&
         static_cast<uint8_t>(~data[1]) == data[2];
}

}  // namespace

std::string TraceBytes(bool sent, const uint8_t* data, uint32_t count) {
  if (count == 0) return sent ? "nothing written" : "nothing within the time-out";
  if (sent && IsBlock(data, count)) {
    char text[80];
    std::snprintf(text, sizeof text, "block %u, %u data bytes, crc %02X%02X", data[1], count - 5,
                  data[count - 2], data[count - 1]);
    return text;
  }
  return IsText(data, count) ? Quoted(data, count) : Hex(data, count);
}

Trace::~Trace() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Trace::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) error = std::strerror(errno);
  return file_ != nullptr;
}

void Trace::Exchange(double ms, bool sent, const uint8_t* data, uint32_t count) {
  if (file_ == nullptr) return;
  std::string line = TraceBytes(sent, data, count);
  if (!sent && lastBlock_ >= 0) {
    line += "  (the answer to block " + std::to_string(lastBlock_) + ")";
  }
  lastBlock_ = sent && IsBlock(data, count) ? data[1] : (sent ? -1 : lastBlock_);
  if (!sent && count > 0) lastBlock_ = -1;
  std::fprintf(file_, "%9.0f %s %s\n", ms, sent ? ">" : "<", line.c_str());
  std::fflush(file_);
}
