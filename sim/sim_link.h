// The simulated PLC behind an in-process link, on a virtual clock: a read the PLC has no answer
// for returns short at once and counts the time-out the tool would have waited, so that a test
// of many 3,000 ms retries takes milliseconds.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "sim/plc.h"

namespace plcsim {

class SimLink {
 public:
  explicit SimLink(Plc& plc);

  // Hands the bytes to the PLC; returns the count accepted (0 once the line has gone away).
  uint32_t Write(const uint8_t* data, uint32_t count);
  // Returns what the PLC has answered, up to count, at once. When fewer than count bytes are
  // there within timeoutMs, returns short and adds timeoutMs to WaitedMs(); an answer delayed
  // past the time-out stays queued and arrives for a later read.
  uint32_t Read(uint8_t* data, uint32_t count, uint32_t timeoutMs);
  void SetLine(uint32_t baud, uint8_t byteSize, uint8_t parity);
  // Drops the answers that have arrived by now and not been read; later ones stay on their way.
  void PurgeInput();
  void Opened();
  void Closed();  // unread answers are lost with the link

  uint64_t WaitedMs() const;
  uint64_t NowMs() const;  // the virtual clock: time-outs waited and answer delays

 private:
  struct Pending {
    std::vector<uint8_t> bytes;
    size_t pos;
    uint64_t readyAt;
  };
  void Collect();

  mutable std::mutex mutex_;
  Plc& plc_;
  std::deque<Pending> pending_;
  uint64_t now_ = 0;
  uint64_t waited_ = 0;
};

}  // namespace plcsim
