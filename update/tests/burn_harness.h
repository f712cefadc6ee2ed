// Runs whole burns natively: StartBurn on a worker thread against the recording test platform,
// with a simulated PLC behind the link.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "sim/plc.h"
#include "sim/sim_link.h"
#include "testsupport/fake_platform.h"
#include "testsupport/recording_platform.h"
#include "testsupport/sim_endpoint.h"
#include "update/driver.h"

// The USB device path the simulated PLC is found under.
extern const char kUsbDevicePath[];
// The COM port COM models are burned through.
extern const char kComPort[];

class BurnTest : public ::testing::Test {
 protected:
  // What the panel shows when the burn starts (timer 5 has been counting): an early way out
  // resets only elapsedTime.
  static constexpr int32_t kElapsedAtStart = 17;

  void SetUp() override;
  void TearDown() override;
  // Starts afresh within one test, for a table of cases.
  void Restart();

  // An image length within every model's limit but 16KR2-AIO's.
  static constexpr uint32_t kSmallImage = 9096;

  // Selects the model, puts a PLC of `profile` (default: the model's own) behind the link, and
  // sizes the image to `imageLength` bytes of a fixed pattern (0: the embedded image).
  void Prepare(const char* model, const char* profile = nullptr,
               uint32_t imageLength = kSmallImage);
  void Prepare(const char* model, const plcsim::Profile& profile, uint32_t imageLength);
  // Injects a fault into the simulated PLC, in the simulator's own syntax.
  void Fault(const std::string& spec);
  // Runs StartBurn on a worker thread and waits for it.
  void Burn();

  // The ends of a burn, each checked in full: the events from the last message on, the values
  // the panel falls back to, and that the link and the image have been released.
  void ExpectFailureEnd(const std::string& text);
  void ExpectGateEnd(const std::string& text);  // the loader-version gate: timer after message
  void ExpectSuccessEnd(const std::string& text, const std::string& caption);
  void ExpectEarlyEnd(const std::string& text);  // before any exchange with the PLC

  std::vector<std::string> Events() const { return platform.Events(); }
  int CountEvents(const std::string& event) const;
  std::vector<std::string> Messages() const { return platform.Messages(); }
  // The simulated PLC's flash equals the bytes of the image a burn must send.
  void ExpectFlashHoldsImage() const;

  RecordingPlatform platform;
  std::unique_ptr<ScopedPlatform> scoped;
  BurnParam param{};
  std::vector<std::string> comPorts{kComPort};  // the ports a PLC is attached to
  std::unique_ptr<plcsim::Plc> plc;
  std::unique_ptr<plcsim::SimLink> simLink;
  std::unique_ptr<SimEndpoint> endpoint;
  ScriptedLink probe;  // what answers the bare-path probe open of the USB device

 private:
  void ExpectIdle() const;
};
