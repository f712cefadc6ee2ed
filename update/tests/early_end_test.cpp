// Burns that end before the first exchange with the PLC: the image cannot be loaded, does not fit
// the model, or the link cannot be opened.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "sim/profile.h"
#include "update/driver.h"
#include "update/endings.h"
#include "update/tests/burn_harness.h"

namespace {

class EarlyEndTest : public BurnTest {};

struct SizeCase {
  const char* model;
  uint32_t length;
  const char* refusal;  // null: the image fits and the burn goes on to a success
};

// Every row of the size check at its limit and one byte over, and the sector set's minimum.
const SizeCase kSizeCases[] = {
    {"KL2-N", 917504, nullptr},
    {"KL2-N", 917505, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)"},
    {"QD24", 917505, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)"},
    {"PN32", 524288, nullptr},
    {"KR2-VAN", 524289, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)"},
    {"16KR2-AIO", 4096, nullptr},
    {"16KR2-AIO", 4097, "The file size EXCEEDS the MAXIMUM size (4 * 1024)"},
    {"PV3-AIO", 40960, nullptr},
    {"KR3-AIO", 40961, "The file size EXCEEDS the MAXIMUM size (40 * 1024)"},
    {"PT2", 491520, nullptr},
    {"KW3", 491521, "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)"},
    {"MH700", 2076673, "The file size EXCEEDS the MAXIMUM size (2028 * 1024)"},
    {"MB3PV3", 4096, nullptr},
    {"MH400", 4095, "The file size is BELOW the MINIMUM size (4 * 1024)"},
    {"VGT-Y", 1, "The file size is BELOW the MINIMUM size (4 * 1024)"},
};

TEST_F(EarlyEndTest, SizeCheckAtEachLimit) {
  for (const SizeCase& c : kSizeCases) {
    SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.length));
    Restart();
    Prepare(c.model, nullptr, c.length);
    Burn();
    if (c.refusal == nullptr) {
      EXPECT_TRUE(RecordedSuccess()) << Messages().back();
      EXPECT_TRUE(plc->complete());
      ExpectFlashHoldsImage();
      continue;
    }
    ExpectEarlyEnd(c.refusal);
    EXPECT_EQ(Events(), (std::vector<std::string>{"image load", "enable 0", "kill timer 5",
                                                  "message ERROR|Error|" + std::string(c.refusal),
                                                  "enable 1", "image free"}));
  }
}

// Every row's limit against the simulated PLC's own table, and against the number its refusal
// names: "(2028 * 1024)" is 2,076,672 bytes.
TEST_F(EarlyEndTest, EveryModelTakesItsLimitAndRefusesOneByteMore) {
  for (const char* model : plcList) {
    SCOPED_TRACE(model);
    const uint32_t limit = plcsim::SizeLimit(*plcsim::FindProfile(model));
    SelectModelForTest(model);
    EXPECT_EQ(ImageSizeRefusal(limit), nullptr);
    const char* refusal = ImageSizeRefusal(limit + 1);
    ASSERT_NE(refusal, nullptr);
    const std::string text = refusal;
    ASSERT_EQ(text.rfind("The file size EXCEEDS the MAXIMUM size (", 0), 0u) << text;
    uint32_t named = 1;
    std::istringstream factors(text.substr(text.find('(') + 1));
    for (std::string factor; factors >> factor;) {
      if (factor != "*") named *= static_cast<uint32_t>(std::stoul(factor));
    }
    EXPECT_EQ(named, limit) << text;
  }
}

TEST_F(EarlyEndTest, DefaultImageRefusedForA512kModelLeavesPanelCounters) {
  Prepare("KL2-G-V2", nullptr, 0);  // the embedded image, 2,076,672 bytes
  flashStatus = 1;
  progress = 40;
  errCounter = 2;
  totalErrCounter = 5;
  Burn();
  ExpectEarlyEnd("The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)");
  EXPECT_EQ(CountEvents("open COM \\\\.\\COM5"), 0);
  // Only the seconds fall back: nothing reached the PLC, so the rest stays as it was.
  EXPECT_EQ(flashStatus.load(), 1);
  EXPECT_EQ(progress.load(), 40);
  EXPECT_EQ(errCounter.load(), 2);
  EXPECT_EQ(totalErrCounter.load(), 5);
}

TEST_F(EarlyEndTest, LinkThatCannotBeOpened) {
  Prepare("QD");
  platform.interfaces.clear();  // no PLC on USB
  Burn();
  ExpectEarlyEnd("CANNOT open USB Port!!!");

  Restart();
  Prepare("PN2");
  SetSelectedComPort("COM12");
  Burn();
  ExpectEarlyEnd("CANNOT open COM12 Port!!!");
  EXPECT_EQ(CountEvents("open failed COM \\\\.\\COM12"), 1);

  // The longest port name the port list holds fills the message buffer exactly.
  Restart();
  Prepare("PN2");
  SetSelectedComPort("COM123456");
  Burn();
  ExpectEarlyEnd("CANNOT open COM123456 Port!!!");
}

TEST_F(EarlyEndTest, LinkHeldByAnotherWindowIsNotTouchedUntilItIsGivenBack) {
  // Ends as for a link that does not open, before anything reaches the line.
  const auto refused = [](const std::string& text) {
    return std::vector<std::string>{"image load",   "enable 0",
                                    "kill timer 5", "message ERROR|Error|" + text,
                                    "enable 1",     "image free"};
  };
  // Another window burns the PLC on COM5.
  Prepare("PN2");
  platform.heldElsewhere = {"com5"};
  Burn();
  ExpectEarlyEnd("CANNOT open COM5 Port!!!");
  EXPECT_EQ(Events(), refused("CANNOT open COM5 Port!!!"));
  // Once the other burn has ended, this window burns.
  platform.heldElsewhere.clear();
  platform.ClearEvents();
  platform.shown.clear();
  elapsedTime = kElapsedAtStart;
  Burn();
  ExpectSuccessEnd("Firmware update is SUCCESSFUL", "INFORMATION");

  // The USB set is held as one: not even the probe opens the device.
  Restart();
  Prepare("QD");
  platform.heldElsewhere = {"@usb"};
  Burn();
  ExpectEarlyEnd("CANNOT open USB Port!!!");
  EXPECT_EQ(Events(), refused("CANNOT open USB Port!!!"));
}

TEST_F(EarlyEndTest, ImageThatCannotBeLoaded) {
  Prepare("PN2");
  platform.imageAvailable = false;
  Burn();
  EXPECT_EQ(Events(), (std::vector<std::string>{
                          "image load", "kill timer 5",
                          "message ERROR|Error|CANNOT load the firmware image", "enable 1"}));
  EXPECT_EQ(elapsedTime.load(), 0);
  EXPECT_FALSE(burnRunning.load());
  EXPECT_EQ(platform.wrongWindow, 0);
}

TEST_F(EarlyEndTest, StartMarksTheBurnRunningUntilItsEnd) {
  Prepare("PN2");
  bool runningDuringMessage = false;
  platform.onMessage = [&](const std::string&, const std::string&, MessageIcon) {
    runningDuringMessage = burnRunning.load();
  };
  Burn();
  EXPECT_TRUE(runningDuringMessage);
  EXPECT_FALSE(burnRunning.load());
}

}  // namespace
