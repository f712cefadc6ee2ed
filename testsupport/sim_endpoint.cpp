#include "testsupport/sim_endpoint.h"

uint32_t SimEndpoint::Write(const uint8_t* data, uint32_t count) {
  return link_.Write(data, count);
}

uint32_t SimEndpoint::Read(uint8_t* data, uint32_t count, const LinkTimeouts& timeouts) {
  return link_.Read(data, count, timeouts.readTotalTimeoutConstant);
}

void SimEndpoint::SetLine(const LineSettings& s) {
  link_.SetLine(s.baudRate, s.byteSize, s.parity);
}

void SimEndpoint::Opened() {
  link_.Opened();
}

void SimEndpoint::Closed() {
  link_.Closed();
}

void SimEndpoint::PurgeInput() {
  link_.PurgeInput();
}
