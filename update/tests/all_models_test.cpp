// A full burn of every model against a PLC of its own kind: one monitor-mode cycle, the hand-over
// the model needs, the loader-mode cycle, and the simulated flash equal to the image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/catalogue.h"
#include "update/tests/burn_harness.h"

namespace {

enum class HandOverKind { Replug, PowerCycle, Wait };

struct ModelCase {
  const char* model;
  uint32_t imageLength;  // 0: the embedded image
  HandOverKind handOver;
  unsigned waitSeconds;
};

// Image lengths within each model's limit, most not a whole number of blocks so that the last
// block carries fill bytes; KL3-KR3 burns the embedded image, exactly at its limit.
const ModelCase kModels[] = {
    {"KL2-KR2-V2", 20000, HandOverKind::Wait, 1},
    {"PT2", 20000, HandOverKind::Wait, 1},
    {"PV2", 20000, HandOverKind::Wait, 1},
    {"PN2", 20000, HandOverKind::Wait, 1},
    {"KL2-G-V2", 20000, HandOverKind::PowerCycle, 2},
    {"QD", 20000, HandOverKind::Replug, 2},
    {"KW3", 20000, HandOverKind::Wait, 1},
    {"16KR2-AIO", 4000, HandOverKind::Wait, 1},
    {"PV-V3", 20000, HandOverKind::Wait, 1},
    {"BRT-KL2-V2", 20000, HandOverKind::Wait, 1},
    {"QD-R", 20000, HandOverKind::Replug, 2},
    {"PN2-R", 20000, HandOverKind::Wait, 1},
    {"MH700", 9096, HandOverKind::Replug, 5},
    {"KL-KR-KW2", 20000, HandOverKind::Wait, 1},
    {"KR2-VAN", 20000, HandOverKind::PowerCycle, 2},
    {"PN32", 20000, HandOverKind::Wait, 1},
    {"KL2-N", 20000, HandOverKind::Wait, 1},
    {"MH500", 9096, HandOverKind::Replug, 5},
    {"MH500-AIO", 30000, HandOverKind::Replug, 5},
    {"QD24", 20000, HandOverKind::Replug, 2},
    {"KL3-KR3", 0, HandOverKind::Replug, 5},
    {"VGT-Y", 9096, HandOverKind::Replug, 5},
    {"MH400", 9096, HandOverKind::Replug, 5},
    {"KR3-AIO", 30000, HandOverKind::Replug, 5},
    {"KL2-KR2-V4", 20000, HandOverKind::Wait, 1},
    {"PV-V4", 20000, HandOverKind::Wait, 1},
    {"BRT-KL2-V4", 20000, HandOverKind::Wait, 1},
    {"KL3-PACKAGE", 12288, HandOverKind::Replug, 5},
    {"KL2-G-V4", 20000, HandOverKind::PowerCycle, 2},
    {"MB3PV3", 9096, HandOverKind::Replug, 5},
    {"PV3-AIO", 40960, HandOverKind::Replug, 5},
    {"MH500-TO-MH700", 9096, HandOverKind::Replug, 5},
};

class AllModelsTest : public BurnTest {};

TEST_F(AllModelsTest, EveryModelBurnsAgainstItsOwnPlc) {
  static_assert(sizeof kModels / sizeof kModels[0] == kModelCount, "one case per model");
  for (const ModelCase& c : kModels) {
    SCOPED_TRACE(c.model);
    Restart();
    Prepare(c.model, nullptr, c.imageLength);
    Burn();

    const bool usb = c.handOver == HandOverKind::Replug;
    const std::string prompt =
        c.handOver == HandOverKind::Replug
            ? "Information|Information|Please REPLUG the USB Cable, and then press OK to continue"
        : c.handOver == HandOverKind::PowerCycle
            ? "Information|Information|Please POWER OFF=>ON the PLC, and then press OK to continue"
            : "";
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), prompt.empty() ? 1u : 2u);
    if (!prompt.empty()) {
      EXPECT_EQ(messages.front(), prompt);
    }

    EXPECT_EQ(CountEvents("sleep " + std::to_string(c.waitSeconds)), 1);
    EXPECT_EQ(CountEvents("close"), c.handOver == HandOverKind::Wait ? 1 : usb ? 4 : 2);
    if (usb) {
      ExpectSuccessEnd("Firmware update is SUCCESSFUL!, please REPLUG the USB cable",
                       "Information");
    } else {
      ExpectSuccessEnd("Firmware update is SUCCESSFUL", "INFORMATION");
    }
    ExpectFlashHoldsImage();
  }
}

}  // namespace
