#include "sim/sim_link.h"

#include <algorithm>
#include <cstring>

namespace plcsim {

SimLink::SimLink(Plc& plc) : plc_(plc) {
  plc_.EnableLineChecks();
}

void SimLink::Collect() {
  while (plc_.HasAnswer()) {
    Answer a = plc_.TakeAnswer();
    pending_.push_back({std::move(a.bytes), 0, now_ + a.delayMs});
  }
}

uint32_t SimLink::Write(const uint8_t* data, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (plc_.lineGone()) return 0;
  plc_.SetTimeMs(now_);
  plc_.Receive(data, count);
  Collect();
  return count;
}

uint32_t SimLink::Read(uint8_t* data, uint32_t count, uint32_t timeoutMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t deadline = now_ + timeoutMs;
  uint32_t got = 0;
  while (got < count && !pending_.empty() && pending_.front().readyAt <= deadline) {
    Pending& p = pending_.front();
    const size_t n = std::min<size_t>(count - got, p.bytes.size() - p.pos);
    std::memcpy(data + got, p.bytes.data() + p.pos, n);
    got += static_cast<uint32_t>(n);
    p.pos += n;
    now_ = std::max(now_, p.readyAt);
    if (p.pos == p.bytes.size()) pending_.pop_front();
  }
  if (got < count) {
    now_ = deadline;
    waited_ += timeoutMs;
  }
  return got;
}

void SimLink::SetLine(uint32_t baud, uint8_t byteSize, uint8_t parity) {
  std::lock_guard<std::mutex> lock(mutex_);
  plc_.SetTimeMs(now_);
  plc_.SetLine(baud, byteSize, parity);
}

void SimLink::PurgeInput() {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!pending_.empty() && pending_.front().readyAt <= now_) pending_.pop_front();
}

void SimLink::Opened() {
  std::lock_guard<std::mutex> lock(mutex_);
  plc_.SetTimeMs(now_);
  plc_.LinkOpened();
}

void SimLink::Closed() {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.clear();
  plc_.SetTimeMs(now_);
  plc_.LinkClosed();
}

uint64_t SimLink::WaitedMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waited_;
}

uint64_t SimLink::NowMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

}  // namespace plcsim
