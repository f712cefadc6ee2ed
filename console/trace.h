// The trace of a burn (--trace FILE), for support: every exchange with the PLC, a line each, with
// the milliseconds since the start, the direction and the bytes as a person reads them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The bytes of one write (`sent`) or read as they stand in the trace: a frame or a command word
// as text in quotes (CR, LF and other control bytes escaped), a block by its number with its
// length and CRC, anything else as hexadecimal bytes; a read of nothing as such.
std::string TraceBytes(bool sent, const uint8_t* data, uint32_t count);

class Trace {
 public:
  Trace() = default;
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // False, with the reason, when the file cannot be created.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return file_ != nullptr; }
  // One line; the answer that follows a block names the block it answers.
  void Exchange(double ms, bool sent, const uint8_t* data, uint32_t count);

 private:
  FILE* file_ = nullptr;
  int lastBlock_ = -1;  // the number of the block just sent, -1 after anything else
};
