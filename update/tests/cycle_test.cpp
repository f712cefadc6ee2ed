// The cycles of a burn: the monitor-mode failures and their texts, the hand-over by model, the
// loader-mode path and its failures, and the bound on monitor-mode cycles.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "link/ports.h"
#include "update/driver.h"
#include "update/tests/burn_harness.h"

namespace {

using plcsim::Request;

class CycleTest : public BurnTest {
 protected:
  // The events of opening the USB link: the probe by the bare path, then the link itself.
  static std::vector<std::string> UsbOpen() {
    return {std::string("open USB ") + kUsbDevicePath, "close",
            std::string("open USB ") + kUsbDevicePath + "\\"};
  }
  static std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  }
};

const char kReplug[] =
    "message Information|Information|Please REPLUG the USB Cable, and then press OK to continue";
const char kPowerCycle[] =
    "message Information|Information|Please POWER OFF=>ON the PLC, and then press OK to continue";
const char kUsbSuccess[] = "Firmware update is SUCCESSFUL!, please REPLUG the USB cable";
const char kComSuccess[] = "Firmware update is SUCCESSFUL";

struct FailureCase {
  const char* fault;
  Request request;  // asked six times, then the burn ends
  const char* text;
};

// The failure codes each monitor-mode request can end with, from the PLC's own answers.
const FailureCase kMonitorFailures[] = {
    {"negative:probe:1x6:2/1", Request::kProbe, "PLC type is WRONG"},             // 17
    {"negative:probe:1x6:2/2", Request::kProbe, "PLC type is WRONG"},             // 18
    {"negative:probe:1x6:2/9", Request::kProbe, "PLC type is WRONG"},             // 21
    {"negative:probe:1x6:1/0", Request::kProbe, "PLC in RUN MODE"},               // 22
    {"negative:probe:1x6:3/1", Request::kProbe, "UNKNOWN ERROR CODE @ State 1"},  // 23
    {"silence:probe:1x6", Request::kProbe, "NO RESPONSE @ State 1"},              // 24
    {"negative:id:1x6:2/2", Request::kId, "PLC type is WRONG"},                   // 18
    {"negative:id:1x6:2/3", Request::kId, "PLC type is WRONG"},                   // 19
    {"negative:id:1x6:2/1", Request::kId, "PLC type is WRONG"},                   // 21
    {"negative:id:1x6:1/0", Request::kId, "UNKNOWN ERROR CODE @ State 2"},        // 23
    {"silence:id:1x6", Request::kId, "NO RESPONSE @ State 2"},                    // 24
    {"negative:erase:1x6:2/3", Request::kErase, "PLC type is WRONG"},             // 19
    {"negative:erase:1x6:2/4", Request::kErase, "PLC type is WRONG"},             // 20
    {"negative:erase:1x6:2/1", Request::kErase, "PLC type is WRONG"},             // 21
    {"negative:erase:1x6:1/0", Request::kErase, "UNKNOWN ERROR CODE @ State 3"},  // 23
    {"silence:erase:1x6", Request::kErase, "NO RESPONSE @ State 3"},              // 24
};

TEST_F(CycleTest, MonitorModeFailuresEndTheBurnWithTheirStateText) {
  for (const FailureCase& c : kMonitorFailures) {
    SCOPED_TRACE(c.fault);
    Restart();
    Prepare("PN2");
    Fault(c.fault);
    Burn();
    ExpectFailureEnd(c.text);
    EXPECT_EQ(Messages().size(), 1u);
    EXPECT_EQ(plc->RequestCount(c.request), 6u);
    // Nothing past the failed step: no erase request after a failed check, no second cycle.
    if (c.request != Request::kErase) {
      EXPECT_EQ(plc->RequestCount(Request::kErase), 0u);
    }
    EXPECT_EQ(plc->RequestCount(Request::kEraseAck), 0u);
    EXPECT_EQ(plc->mode(), plcsim::Mode::kMonitor);
  }
}

TEST_F(CycleTest, StateTextsByTheLowFourBitsOnly) {
  // Codes no request returns today still get a text, and the high bits never matter.
  EXPECT_STREQ(State1Text(0x10), "UNKNOWN MESSAGE");
  EXPECT_STREQ(State1Text(0x13), "UNKNOWN MESSAGE");
  EXPECT_STREQ(State1Text(0x1F), "UNKNOWN MESSAGE");
  EXPECT_STREQ(State1Text(0xF6), "PLC in RUN MODE");
  EXPECT_STREQ(State2Text(0x11), "UNKNOWN MESSAGE @ State 2");
  EXPECT_STREQ(State2Text(0x16), "UNKNOWN MESSAGE @ State 2");
  EXPECT_STREQ(State2Text(0x95), "PLC type is WRONG");
  EXPECT_STREQ(State3Text(0x12), "UNKNOWN MESSAGE @ State 3");
  EXPECT_STREQ(State3Text(0x16), "UNKNOWN MESSAGE @ State 3");
  EXPECT_STREQ(State3Text(0x02), "UNKNOWN MESSAGE @ State 3");
  EXPECT_STREQ(State3Text(0x28), "NO RESPONSE @ State 3");
}

TEST_F(CycleTest, ReplugHandOverForQdWaitsTwoSecondsAndReopensUsb) {
  Prepare("QD");
  int32_t elapsedAtPrompt = -1;
  int openAtPrompt = -1;
  std::set<std::string> heldAtPrompt;
  platform.onMessage = [&](const std::string& text, const std::string&, MessageIcon) {
    if (text.find("REPLUG the USB Cable") == std::string::npos) return;
    elapsedAtPrompt = elapsedTime;
    openAtPrompt = platform.OpenLinkCount();
    heldAtPrompt = platform.HeldLinks();
  };
  Burn();
  EXPECT_EQ(Events(),
            Join({{"image load", "enable 0"},
                  UsbOpen(),
                  {"close", kReplug, "sleep 2"},
                  UsbOpen(),
                  {"kill timer 5", std::string("message Information|Information|") + kUsbSuccess,
                   "enable 1", "close", "image free"}}));
  // The seconds go on counting through the hand-over.
  EXPECT_EQ(elapsedAtPrompt, kElapsedAtStart);
  // The link is closed for the replug, and still held against every other window.
  EXPECT_EQ(openAtPrompt, 0);
  EXPECT_EQ(heldAtPrompt, std::set<std::string>{kUsbHoldName});
  ExpectSuccessEnd(kUsbSuccess, "Information");
  ExpectFlashHoldsImage();
}

TEST_F(CycleTest, ReplugHandOverForMh700WaitsFiveSeconds) {
  Prepare("MH700");
  Burn();
  EXPECT_EQ(Events(),
            Join({{"image load", "enable 0"},
                  UsbOpen(),
                  {"close", kReplug, "sleep 5"},
                  UsbOpen(),
                  {"kill timer 5", std::string("message Information|Information|") + kUsbSuccess,
                   "enable 1", "close", "image free"}}));
  ExpectSuccessEnd(kUsbSuccess, "Information");
  ExpectFlashHoldsImage();
}

TEST_F(CycleTest, PowerCycleHandOverReopensThePortPickedMeanwhile) {
  Prepare("KL2-G-V4");
  comPorts = {"COM5", "COM7"};
  std::vector<std::set<std::string>> held;  // at the prompt and at the final message
  platform.onMessage = [&](const std::string& text, const std::string&, MessageIcon) {
    held.push_back(platform.HeldLinks());
    if (text.find("POWER OFF") != std::string::npos) SetSelectedComPort("COM7");
  };
  Burn();
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "image load", "enable 0", "open COM \\\\.\\COM5", "close", kPowerCycle,
                          "sleep 2", "open COM \\\\.\\COM7", "kill timer 5",
                          std::string("message INFORMATION|Information|") + kComSuccess, "enable 1",
                          "close", "image free"}));
  // The hold follows the port: COM5 through the power cycle, then COM7, given back at the end.
  EXPECT_EQ(held, (std::vector<std::set<std::string>>{{"com5"}, {"com7"}}));
  ExpectSuccessEnd(kComSuccess, "INFORMATION");
  ExpectFlashHoldsImage();
}

TEST_F(CycleTest, OtherComModelsWaitOneSecondWithTheLinkOpen) {
  Prepare("PN2");
  Burn();
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"image load", "enable 0", "open COM \\\\.\\COM5", "sleep 1",
                                      "kill timer 5",
                                      std::string("message INFORMATION|Information|") + kComSuccess,
                                      "enable 1", "close", "image free"}));
  ExpectSuccessEnd(kComSuccess, "INFORMATION");
  ExpectFlashHoldsImage();
}

TEST_F(CycleTest, FailedReopenAfterTheHandOverEndsAtTheNextProbe) {
  // The operator picks a port with nothing behind it while the power-cycle prompt is up.
  Prepare("KR2-VAN");
  platform.onMessage = [&](const std::string& text, const std::string&, MessageIcon) {
    if (text.find("POWER OFF") != std::string::npos) SetSelectedComPort("COM9");
  };
  Burn();
  // No link is left to close at the end.
  std::vector<std::string> events = Events();
  ASSERT_GE(events.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(events.end() - 5, events.end()),
            (std::vector<std::string>{"open failed COM \\\\.\\COM9", "kill timer 5",
                                      "message ERROR|Error|NO RESPONSE @ State 1", "enable 1",
                                      "image free"}));
  EXPECT_EQ(elapsedTime.load(), 0);
  EXPECT_EQ(totalErrCounter.load(), 0);
  EXPECT_EQ(platform.OpenLinkCount(), 0);
  EXPECT_EQ(platform.shown.back().held, 0u);
  EXPECT_FALSE(burnRunning.load());

  // The USB device gone after the replug prompt ends the same way.
  Restart();
  Prepare("QD-R");
  platform.onMessage = [&](const std::string& text, const std::string&, MessageIcon) {
    if (text.find("REPLUG") != std::string::npos) platform.interfaces.clear();
  };
  Burn();
  events = Events();
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(events.end() - 4, events.end()),
            (std::vector<std::string>{"kill timer 5", "message ERROR|Error|NO RESPONSE @ State 1",
                                      "enable 1", "image free"}));
  EXPECT_EQ(platform.OpenLinkCount(), 0);
  // Given back before the message, though the burn took it before the prompt.
  EXPECT_EQ(platform.shown.back().held, 0u);
}

TEST_F(CycleTest, PlcAlreadyInLoaderModeTakesOneCycle) {
  // A burn that failed in loader mode leaves the PLC in its boot loader ...
  Prepare("QD");
  Fault("silence:loader-id:1x6");
  Burn();
  ExpectFailureEnd("PLC type is WRONG");
  EXPECT_EQ(plc->mode(), plcsim::Mode::kLoader);

  // ... and the next burn meets no monitor-mode step and no hand-over.
  platform.ClearEvents();
  platform.shown.clear();
  elapsedTime = kElapsedAtStart;
  Burn();
  EXPECT_EQ(Events(),
            Join({{"image load", "enable 0"},
                  UsbOpen(),
                  {"kill timer 5", std::string("message Information|Information|") + kUsbSuccess,
                   "enable 1", "close", "image free"}}));
  EXPECT_EQ(plc->RequestCount(Request::kId), 1u);
  EXPECT_EQ(plc->RequestCount(Request::kErase), 1u);
  EXPECT_EQ(plc->RequestCount(Request::kD1148), 1u);
  ExpectSuccessEnd(kUsbSuccess, "Information");
  ExpectFlashHoldsImage();
}

TEST_F(CycleTest, PlcThatNeverLeavesMonitorModeStopsAtTheThirdCycle) {
  Prepare("QD");
  Fault("stay:erase:*");
  Fault("silence:probe:1");  // one failed attempt in the first cycle
  Fault("silence:id:2");     // and one in the second
  Burn();
  ExpectFailureEnd(EndingText(kEndStuckInMonitorMode));
  EXPECT_EQ(CountEvents(kReplug), 2);
  EXPECT_EQ(CountEvents("sleep 2"), 2);
  // The third cycle stops at its probe: two erase requests in all.
  EXPECT_EQ(plc->RequestCount(Request::kErase), 2u);
  EXPECT_EQ(plc->RequestCount(Request::kId), 3u);
  // The failure counters run on across the cycles.
  ASSERT_EQ(platform.shown.size(), 3u);
  EXPECT_EQ(platform.shown[0].totalErr, 1);
  EXPECT_EQ(platform.shown[1].totalErr, 2);
  EXPECT_EQ(platform.shown[2].totalErr, 2);

  Restart();
  Prepare("PN2");
  Fault("stay:erase:*");
  Burn();
  ExpectFailureEnd(EndingText(kEndStuckInMonitorMode));
  EXPECT_EQ(CountEvents("sleep 1"), 2);
  EXPECT_EQ(plc->RequestCount(Request::kErase), 2u);
}

TEST_F(CycleTest, PlcThatStaysOnceGetsAFurtherFullCycle) {
  Prepare("PN2");
  Fault("stay:erase:1");
  Burn();
  EXPECT_EQ(CountEvents("sleep 1"), 2);
  EXPECT_EQ(plc->RequestCount(Request::kId), 2u);
  EXPECT_EQ(plc->RequestCount(Request::kD1148), 2u);  // the gate runs in every monitor cycle
  EXPECT_EQ(plc->RequestCount(Request::kErase), 2u);
  ExpectSuccessEnd(kComSuccess, "INFORMATION");
  ExpectFlashHoldsImage();
}

struct LoaderFailureCase {
  const char* model;
  const char* fault;
  const char* text;
  Request notReached;  // the step after the failed one is never asked
};

const LoaderFailureCase kLoaderFailures[] = {
    {"PN2", "silence:loader-id:1x6", "PLC type is WRONG", Request::kEraseUnit},
    {"KL2-N", "silence:erase-unit:1x6", "PLC DOES NOT respond to the erasing signal",
     Request::kUpdate},
    {"MH400", "silence:erase-unit:1", "PLC DOES NOT respond to the erasing signal",
     Request::kUpdate},
    {"QD", "silence:erase-end:1x6", "PLC DOES NOT respond to the erasing signal", Request::kUpdate},
    {"PN2", "silence:update:1x6", "PLC DOES NOT respond to the update signal", Request::kBlock},
    {"PN2", "write-error:block:3",
     "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again",
     Request::kEnd},
    {"QD", "nak:block:2x6", "Firmware update is FAILED", Request::kEnd},
    {"QD", "silence:end:1x6", "Firmware update is FAILED", Request::kCount},
};

TEST_F(CycleTest, LoaderModeFailuresEndTheBurn) {
  for (const LoaderFailureCase& c : kLoaderFailures) {
    SCOPED_TRACE(std::string(c.model) + " " + c.fault);
    Restart();
    Prepare(c.model);
    Fault(c.fault);
    Burn();
    ExpectFailureEnd(c.text);
    EXPECT_EQ(CountEvents("message ERROR|Error|" + std::string(c.text)), 1);
    if (c.notReached != Request::kCount) {
      EXPECT_EQ(plc->RequestCount(c.notReached), 0u);
    }
  }
}

}  // namespace

// A burn of one USB PLC by its device path follows that path through the replug.
class ChosenUsbTest : public CycleTest {
 protected:
  void SetUp() override {
    CycleTest::SetUp();
    usbDevicePath = kUsbDevicePath;
    usbOtherPathSeen.store(false);
  }
  void TearDown() override {
    usbDevicePath.clear();
    CycleTest::TearDown();
  }
  // At the replug prompt the PLC comes back under `path` (what the link there answers: the PLC).
  void BackUnder(const std::string& path) {
    platform.onMessage = [this, path](const std::string& text, const std::string&, MessageIcon) {
      if (text.find("REPLUG the USB Cable") == std::string::npos) return;
      heldAtPrompt = platform.HeldLinks();
      platform.interfaces = {DeviceInterface{true, path}};
    };
    const auto own = platform.opener;
    platform.opener = [this, own, path](const std::string& p, OpenMode mode) -> LinkEndpoint* {
      if (p == path) return &probe;
      if (p == path + "\\") return endpoint.get();
      return own(p, mode);
    };
  }
  std::set<std::string> heldAtPrompt;
};

TEST_F(ChosenUsbTest, BackUnderItsOwnPathTheBurnGoesOnHeldThroughout) {
  Prepare("QD");
  BackUnder(kUsbDevicePath);
  Burn();
  ExpectSuccessEnd(kUsbSuccess, "Information");
  ExpectFlashHoldsImage();
  EXPECT_EQ(heldAtPrompt,
            (std::set<std::string>{UsbDeviceHoldName(kUsbDevicePath), UsbSlotHoldName(0)}));
  EXPECT_FALSE(usbOtherPathSeen.load());
}

TEST_F(ChosenUsbTest, BackUnderAnotherPathItIsNotTakenAndTheBurnEndsAsWithNoDevice) {
  Prepare("QD");
  const std::string other = std::string(kUsbDevicePath) + "2";
  BackUnder(other);
  Burn();
  for (const std::string& e : Events()) EXPECT_EQ(e.find(other), std::string::npos) << e;
  EXPECT_EQ(Messages().back(), "ERROR|Error|NO RESPONSE @ State 1");
  EXPECT_TRUE(usbOtherPathSeen.load());
  EXPECT_EQ(usbPathNotTaken, other);
  EXPECT_EQ(platform.OpenLinkCount(), 0);
  EXPECT_TRUE(platform.HeldLinks().empty());
  EXPECT_EQ(plc->mode(), plcsim::Mode::kLoader);  // left in its boot loader, as the window's
}
