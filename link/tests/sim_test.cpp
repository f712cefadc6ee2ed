// The requests against the simulated PLC, which checks every byte on its own: whole burns of every
// model into its flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "link/loader.h"
#include "link/monitor.h"
#include "link/transfer.h"
#include "sim/plc.h"
#include "sim/sim_link.h"
#include "testsupport/fake_platform.h"
#include "testsupport/sim_endpoint.h"

namespace {

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetBurnStateForTest(); }
  void TearDown() override {
    if (link != INVALID_LINK_HANDLE) platform.CloseLink(link);
    ResetBurnStateForTest();
  }

  // Plays `profile` for the tool's model and an image of `length` bytes (0: the default image).
  void Play(const std::string& profile, uint32_t length = 0, const std::string& fault = "") {
    const plcsim::Profile* p = plcsim::FindProfile(profile);
    ASSERT_NE(p, nullptr) << profile;
    SelectModelForTest(p->toolModel.c_str());
    ResetBurnCounters();
    if (length != 0) {
      platform.image.resize(length);
      for (uint32_t i = 0; i < length; ++i) platform.image[i] = static_cast<uint8_t>(i ^ i >> 9);
    }
    plc = std::make_unique<plcsim::Plc>(*p);
    plc->SetImageLength(static_cast<uint32_t>(platform.image.size()));
    plc->EnableLineChecks();
    if (!fault.empty()) {
      plcsim::FaultSpec spec;
      std::string error;
      ASSERT_TRUE(plcsim::ParseFault(fault, spec, error)) << error;
      plc->AddFault(spec);
    }
    simLink = std::make_unique<plcsim::SimLink>(*plc);
    endpoint = std::make_unique<SimEndpoint>(*simLink);
    platform.opener = [this](const std::string&, OpenMode) { return endpoint.get(); };
    Open();
  }
  void Open() {
    link = platform.OpenLink("link", OpenMode::ComPort);
    hSerial = link;
  }
  // What the driver does between the cycles: a replug or power cycle closes and opens the link.
  void HandOver() {
    if (plc->profile().handover != plcsim::Handover::kImmediate) {
      platform.CloseLink(link);
      Open();
    }
  }
  void MonitorCycle() {
    DummyComm(link);
    ASSERT_EQ(ConfirmComm(link), kMonitorMode);
    ASSERT_EQ(CheckID_A(link), kResultOk);
    ASSERT_EQ(SendErase_A(link), kResultOk);
    HandOver();
    DummyComm(link);
    ASSERT_EQ(ConfirmComm(link), kLoaderMode);
    ASSERT_EQ(CheckID_B(link), 0);
    // Only models whose gate judges the loader's version ask for it.
    if (plcsim::ReadsLoaderVersion(plc->profile())) {
      ASSERT_EQ(read_fu_version_B(), 0);
    }
    ASSERT_TRUE(LoadFirmware());
  }
  void ExpectFlashIsTheImage() {
    const std::vector<uint8_t> written = plc->WrittenImage();
    const uint32_t sent = ImageBytesSent(static_cast<uint32_t>(platform.image.size()));
    ASSERT_EQ(written.size(), sent);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), platform.image.begin()));
    EXPECT_TRUE(plc->complete());
    EXPECT_EQ(plc->violations(), 0) << plc->ReportJson();
  }

  FakePlatform platform;
  ScopedPlatform scoped{platform};
  std::unique_ptr<plcsim::Plc> plc;
  std::unique_ptr<plcsim::SimLink> simLink;
  std::unique_ptr<SimEndpoint> endpoint;
  LinkHandle link = INVALID_LINK_HANDLE;
};

TEST_F(SimTest, DefaultImageLandsInTheFlash) {
  Play("KL3-KR3");
  MonitorCycle();
  ASSERT_EQ(SendErase_B(link), 0);
  EXPECT_EQ(plc->eraseUnits(), 506u);
  ASSERT_EQ(SendUpdate(link), 0);
  ASSERT_EQ(SendFW(link), 0);
  EXPECT_EQ(plc->blocksAccepted(), 8096u);
  EXPECT_EQ(plc->blocksResent(), 0u);
  ExpectFlashIsTheImage();
  EXPECT_EQ(totalErrCounter.load(), 0);
}

TEST_F(SimTest, EveryModelBurnsAnImageWithAPartialLastBlock) {
  for (int i = 0; i < kModelCount; ++i) {
    SCOPED_TRACE(plcList[i]);
    // Past the sector the sector set keeps back, within the smallest limit (16KR2-AIO: 4,096).
    const uint32_t limit = plcsim::SizeLimit(*plcsim::FindProfile(plcList[i]));
    Play(plcList[i], std::min(4096u + 3 * 256 + 100, limit - 156));
    MonitorCycle();
    ASSERT_EQ(SendErase_B(link), 0);
    EXPECT_EQ(plc->eraseUnits(), EraseUnitCount(fileLength));
    ASSERT_EQ(SendUpdate(link), 0);
    ASSERT_EQ(SendFW(link), 0);
    ExpectFlashIsTheImage();
    platform.CloseLink(link);
    link = INVALID_LINK_HANDLE;
  }
}

TEST_F(SimTest, SilentEraseHandsOverWithoutAcknowledgement) {
  Play("KL2-G-V4/silent-erase", 3000);
  DummyComm(link);
  ASSERT_EQ(ConfirmComm(link), kMonitorMode);
  ASSERT_EQ(SendErase_A(link), kResultOk);
  EXPECT_EQ(plc->RequestCount(plcsim::Request::kEraseAck), 0u);
  HandOver();
  EXPECT_EQ(ConfirmComm(link), kLoaderMode);
}

// The simulated PLC's own list says which firmwares restart without answering the erase request:
// for those models alone an erase request that goes unanswered counts as accepted.
TEST_F(SimTest, UnansweredEraseCountsAsAcceptedForTheSilentFirmwaresOnly) {
  const std::vector<std::string> profiles = plcsim::ProfileNames();
  for (int i = 0; i < kModelCount; ++i) {
    SCOPED_TRACE(plcList[i]);
    const bool silent = std::find(profiles.begin(), profiles.end(),
                                  std::string(plcList[i]) + "/silent-erase") != profiles.end();
    Play(plcList[i], 4096, "silence:erase:1x*");
    DummyComm(link);
    ASSERT_EQ(ConfirmComm(link), kMonitorMode);
    ASSERT_EQ(CheckID_A(link), kResultOk);
    EXPECT_EQ(SendErase_A(link) == kResultOk, silent);
    platform.CloseLink(link);
    link = INVALID_LINK_HANDLE;
  }
}

TEST_F(SimTest, RefusedBlocksAreResentAndTheFlashStaysWhole) {
  Play("QD", 5000, "nak:block:5x2");
  MonitorCycle();
  ASSERT_EQ(SendErase_B(link), 0);
  ASSERT_EQ(SendUpdate(link), 0);
  ASSERT_EQ(SendFW(link), 0);
  EXPECT_EQ(plc->blocksResent(), 2u);
  EXPECT_EQ(totalErrCounter.load(), 2);
  ExpectFlashIsTheImage();
}

}  // namespace
