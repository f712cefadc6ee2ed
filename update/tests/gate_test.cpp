// The compatibility gates inside whole burns: which PLC each model's image is refused on, with
// which text, and that a refused burn never reaches the erase request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/burn_state.h"
#include "update/gates.h"
#include "update/tests/burn_harness.h"

namespace {

using plcsim::Request;

struct GateCase {
  const char* model;
  const char* plc;      // simulator profile
  const char* fault;    // null: none
  const char* refusal;  // null: the burn succeeds
};

class GateTest : public BurnTest {
 protected:
  void RunGateCases(const GateCase* cases, size_t count, bool timerAfterMessage) {
    for (size_t i = 0; i < count; ++i) {
      const GateCase& c = cases[i];
      SCOPED_TRACE(std::string(c.model) + " on " + c.plc +
                   (c.fault ? std::string(" ") + c.fault : ""));
      Restart();
      Prepare(c.model, c.plc);
      if (c.fault != nullptr) Fault(c.fault);
      Burn();
      if (c.refusal == nullptr) {
        EXPECT_TRUE(plc->complete());
        EXPECT_NE(Messages().back().find("SUCCESSFUL"), std::string::npos) << Messages().back();
        continue;
      }
      if (timerAfterMessage) {
        ExpectGateEnd(c.refusal);
      } else {
        ExpectFailureEnd(c.refusal);
      }
      // The gate only reads: the PLC is left as it was found.
      EXPECT_EQ(plc->RequestCount(Request::kErase), 0u);
      EXPECT_EQ(plc->mode(), plcsim::Mode::kMonitor);
    }
  }
};

const GateCase kRegisterGates[] = {
    // ID 12: D1386 tells a KL2-G from a KL2-KR2, then D1001 the generation.
    {"KL2-G-V2", "KL2-G-V2/d1386=16695/d1001=0x31", nullptr, nullptr},
    {"KL2-G-V4", "KL2-G-V4/d1386=16696", nullptr, nullptr},
    {"KL2-KR2-V2", "KL2-G-V2@KL2-KR2-V2", nullptr, "Check PLC, KL2-KR2 is different than KL2-G"},
    {"KL2-KR2-V4", "KL2-G-V4@KL2-KR2-V4", nullptr, "Check PLC, KL2-KR2 is different than KL2-G"},
    {"KL2-G-V2", "KL2-G-V4@KL2-G-V2", nullptr, "KL2-G V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
    {"KL2-G-V4", "KL2-G-V2@KL2-G-V4", nullptr, "KL2-G V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
    {"KL2-KR2-V2", "KL2-KR2-V4@KL2-KR2-V2", nullptr,
     "KL2-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
    {"KL2-KR2-V4", "KL2-KR2-V2@KL2-KR2-V4", nullptr,
     "KL2-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
    // A KL2-G image on a PLC that is no KL2-G meets the KL2-KR2 texts.
    {"KL2-G-V2", "KL2-KR2-V2@KL2-G-V2", nullptr, "KL2-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
    {"KL2-G-V2", "KL2-G-V2/d1386=0/d1001=0x40", nullptr,
     "KL2-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
    // An unanswered D1386 reads as 0: not a KL2-G.
    {"KL2-G-V4", "KL2-G-V4", "silence:d1386:1x6",
     "KL2-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
    // ID 19 and ID 21: D1148 is set on the larger variant.
    {"PN2", "PN32@PN2", nullptr, "Check PLC, 14PN2 is different than 32PN2"},
    {"PN32", "PN2@PN32", nullptr, "Check PLC, 32PN2 is different than 14PN2"},
    {"QD", "QD24@QD", nullptr, "Check PLC, 14QD is different than 24QD"},
    {"QD24", "QD@QD24", nullptr, "Check PLC, 24QD is different than 14QD"},
    {"QD24", "QD24", "silence:d1148:1x6", "Check PLC, 24QD is different than 14QD"},
    // ID 8 and ID 40961: the generation alone.
    {"PV-V3", "PV-V4@PV-V3", nullptr, "PV V4.xx CAN NOT downgrade to V3.xx "},
    {"PV-V4", "PV-V3@PV-V4", nullptr, "PV V3.xx CAN NOT upgrade to V4.xx "},
    {"BRT-KL2-V2", "BRT-KL2-V4@BRT-KL2-V2", nullptr,
     "BRT-KL2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
    {"BRT-KL2-V4", "BRT-KL2-V2@BRT-KL2-V4", nullptr,
     "BRT-KL2 V2.xx / V3.xx CAN NOT upgrade to V4.xx "},
    // Only bits 4 to 7 of D1001 tell the generation.
    {"PV-V4", "PV-V4/d1001=0x0040", nullptr, nullptr},
    {"PV-V4", "PV-V4/d1001=0x00F0", nullptr, nullptr},
    {"PV-V4", "PV-V4/d1001=0x0147", nullptr, nullptr},
    {"PV-V4", "PV-V4/d1001=0x003F", nullptr, "PV V3.xx CAN NOT upgrade to V4.xx "},
    {"PV-V4", "PV-V4/d1001=0x0400", nullptr, "PV V3.xx CAN NOT upgrade to V4.xx "},
    {"PV-V4", "PV-V4/d1001=0x4000", nullptr, "PV V3.xx CAN NOT upgrade to V4.xx "},
    {"BRT-KL2-V2", "BRT-KL2-V2/d1001=0x003F", nullptr, nullptr},
    {"BRT-KL2-V2", "BRT-KL2-V2/d1001=0x0040", nullptr,
     "BRT-KL2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
};

TEST_F(GateTest, RegisterGatesTellModelsOfOneIdApart) {
  RunGateCases(kRegisterGates, std::size(kRegisterGates), false);
}

TEST_F(GateTest, KlFamilyCheckReadsNoGeneration) {
  Prepare("KL2-KR2-V2", "KL2-G-V2@KL2-KR2-V2");
  Burn();
  ExpectFailureEnd("Check PLC, KL2-KR2 is different than KL2-G");
  EXPECT_EQ(plc->RequestCount(Request::kD1386), 1u);
  EXPECT_EQ(plc->RequestCount(Request::kD1001), 0u);
}

TEST_F(GateTest, ModelsWithoutAGateReadNoRegister) {
  for (const char* model : {"16KR2-AIO", "KW3", "QD-R", "PN2-R", "KL2-N"}) {
    SCOPED_TRACE(model);
    Restart();
    Prepare(model, nullptr, 4000);
    Burn();
    for (Request r : {Request::kD1386, Request::kD1001, Request::kD1148, Request::kVersion,
                      Request::kLoaderVersion}) {
      EXPECT_EQ(plc->RequestCount(r), 0u) << plcsim::RequestName(r);
    }
    EXPECT_NE(Messages().back().find("SUCCESSFUL"), std::string::npos);
  }
}

const GateCase kLoaderVersionGates[] = {
    {"MH500-AIO", "MH500-AIO/loader-1.0", nullptr, nullptr},
    {"MH500-AIO", "MH500-AIO/loader-0.F", nullptr,
     "The bootloader version is unknown, do not support AIO FW update"},
    {"MH500-AIO", "MH500-AIO/loader-0.0", nullptr,
     "The bootloader version is unknown, do not support AIO FW update"},
    {"MH500-AIO", "MH500-AIO/loader-0.9", nullptr,
     "The bootloader version is V0.9, do not support AIO FW update"},
    {"PV3-AIO", "PV3-AIO/loader-1.0", nullptr, nullptr},
    {"PV3-AIO", "PV3-AIO/loader-0.9", nullptr,
     "The bootloader version is V0.9, do not support AIO FW update"},
    {"KR3-AIO", "KR3-AIO/loader-1.2", nullptr, nullptr},
    {"KR3-AIO", "KR3-AIO/loader-1.0", nullptr,
     "The bootloader version is V1.0, do not support AIO FW update"},
    {"KR3-AIO", "KR3-AIO/loader-1.1", nullptr,
     "The bootloader version is unknown, do not support AIO FW update"},
    {"KR3-AIO", "KR3-AIO/loader-0.9", nullptr,
     "The bootloader version is unknown, do not support AIO FW update"},
    // An unanswered version query reads as 0.
    {"MH500-AIO", "MH500-AIO", "silence:version:1x6",
     "The bootloader version is unknown, do not support AIO FW update"},
    // The other models of the group read the version but never refuse it.
    {"MH700", "MH700/loader-0.0", nullptr, nullptr},
    {"MB3PV3", "MB3PV3/loader-0.9", nullptr, nullptr},
};

TEST_F(GateTest, LoaderVersionGateInMonitorModeStopsTheTimerAfterItsMessage) {
  RunGateCases(kLoaderVersionGates, std::size(kLoaderVersionGates), true);
}

const char* const kLoaderVersionGroup[] = {"MH700",   "MH500",   "MH500-AIO",   "MH500-TO-MH700",
                                           "KL3-KR3", "KR3-AIO", "KL3-PACKAGE", "VGT-Y",
                                           "MH400",   "MB3PV3",  "PV3-AIO"};

TEST_F(GateTest, UnansweredVersionReadInLoaderModeEndsEveryGroupModel) {
  for (const char* model : kLoaderVersionGroup) {
    SCOPED_TRACE(model);
    Restart();
    Prepare(model);
    Fault("silence:loader-version:1x6");
    Burn();
    ExpectFailureEnd("PLC DOES NOT respond to the version read");
    EXPECT_EQ(plc->RequestCount(Request::kLoaderVersion), 6u);
    EXPECT_EQ(plc->RequestCount(Request::kEraseUnit), 0u);
    EXPECT_EQ(plc->RequestCount(Request::kEraseEnd), 0u);
  }
}

TEST_F(GateTest, LoaderVersionGateInLoaderModeJudgesTheLoadersOwnAnswer) {
  // The firmware reports a fitting loader, the loader itself an old one.
  plcsim::Profile p = *plcsim::FindProfile("MH500-AIO");
  p.loaderVersion[0] = 0x00;
  p.loaderVersion[1] = 0x90;
  Prepare("MH500-AIO", p, kSmallImage);
  Burn();
  ExpectGateEnd("The bootloader version is V0.9, do not support AIO FW update");
  EXPECT_EQ(MH_fu_version, 0x09);
  EXPECT_EQ(plc->RequestCount(Request::kVersion), 1u);
  EXPECT_EQ(plc->RequestCount(Request::kLoaderVersion), 1u);
  EXPECT_EQ(plc->RequestCount(Request::kEraseUnit), 0u);
  EXPECT_EQ(plc->mode(), plcsim::Mode::kLoader);
  EXPECT_EQ(Messages().size(), 2u);  // the replug prompt, then the refusal
}

TEST_F(GateTest, GenerationBoundary) {
  for (uint16_t v : {0x0040, 0x0050, 0x00F0, 0x0147, 0xFFFF}) EXPECT_TRUE(IsV4Generation(v)) << v;
  for (uint16_t v : {0x0000, 0x003F, 0x0400, 0x4000, 0xFF0F}) EXPECT_FALSE(IsV4Generation(v)) << v;
}

}  // namespace
