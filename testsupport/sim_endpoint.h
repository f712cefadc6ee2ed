// Puts the simulated PLC behind a link of the test platform: what the tool writes goes to the
// simulator, and reads return what it answered, with the time-outs counted on its virtual clock.
#pragma once

#include "sim/sim_link.h"
#include "testsupport/fake_platform.h"

class SimEndpoint : public LinkEndpoint {
 public:
  explicit SimEndpoint(plcsim::SimLink& link) : link_(link) {}

  uint32_t Write(const uint8_t* data, uint32_t count) override;
  uint32_t Read(uint8_t* data, uint32_t count, const LinkTimeouts& timeouts) override;
  void SetLine(const LineSettings& settings) override;
  void PurgeInput() override;
  void Opened() override;
  void Closed() override;

 private:
  plcsim::SimLink& link_;
};
