// What the link tests share: a test platform with one scripted link open on it, and builders of
// the replies a PLC sends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "testsupport/fake_platform.h"

// A scripted link that notes the progress shown at each write and, when told to, acknowledges
// every read that has no scripted reply (a loader taking blocks).
class LoaderLink : public ScriptedLink {
 public:
  bool ackUnscripted = false;
  std::vector<int> progressAtWrite;

  // Scripted one-byte answers; -1 is silence.
  void Answers(std::initializer_list<int> answers);
  uint32_t Write(const uint8_t* data, uint32_t count) override;
  uint32_t Read(uint8_t* data, uint32_t count, const LinkTimeouts& timeouts) override;
};

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetBurnStateForTest();
    platform.opener = [this](const std::string&, OpenMode) { return &link; };
    handle = platform.OpenLink("\\\\.\\COM3", OpenMode::ComPort);
  }
  void TearDown() override {
    platform.CloseLink(handle);
    ResetBurnStateForTest();
  }

  int ErrCounter() const { return errCounter.load(); }
  int TotalErrCounter() const { return totalErrCounter.load(); }

  FakePlatform platform;
  ScopedPlatform scoped{platform};
  LoaderLink link;
  LinkHandle handle = INVALID_LINK_HANDLE;
};

// An ASCII frame of `bytes` (station first) with its LRC, ':' in front and CR LF behind.
std::string Frame(const std::vector<uint8_t>& bytes);
// The 8-byte answer of function 0x64: status byte and the two bytes after it.
std::string Answer(uint8_t status, uint8_t byte5 = 0, uint8_t byte6 = 0);
// A negative 8-byte answer of `errorClass` and `code`.
std::string Negative(uint8_t errorClass, uint8_t code);
// The register answer carrying `value`.
std::string RegisterAnswer(uint16_t value);
