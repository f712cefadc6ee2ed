// The compatibility gates inside whole burns: which PLC each model's image is refused on, with
// which text, and that a refused burn never reaches the erase request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/burn_state.h"
#include "update/endings.h"
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
        EXPECT_TRUE(RecordedSuccess()) << Messages().back();
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
    // A D1386 that answers 0: not a KL2-G.
    {"KL2-KR2-V2", "KL2-KR2-V2/d1386=0", nullptr, nullptr},
    // ID 19 and ID 21: D1148 is set on the larger variant.
    {"PN2", "PN32@PN2", nullptr, "Check PLC, 14PN2 is different than 32PN2"},
    {"PN32", "PN2@PN32", nullptr, "Check PLC, 32PN2 is different than 14PN2"},
    {"QD", "QD24@QD", nullptr, "Check PLC, 14QD is different than 24QD"},
    {"QD24", "QD@QD24", nullptr, "Check PLC, 24QD is different than 14QD"},
    {"QD", "QD/d1148=0", nullptr, nullptr},
    {"PN2", "PN2/d1148=0", nullptr, nullptr},
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
    {"BRT-KL2-V2", "BRT-KL2-V2/d1001=0", nullptr, nullptr},
    {"KL2-KR2-V2", "KL2-KR2-V2/d1001=0", nullptr, nullptr},
    {"PV-V3", "PV-V3/d1001=0", nullptr, nullptr},
    {"BRT-KL2-V2", "BRT-KL2-V2/d1001=0x0040", nullptr,
     "BRT-KL2 V4.xx CAN NOT downgrade to V2.xx / V3.xx "},
};

TEST_F(GateTest, RegisterGatesTellModelsOfOneIdApart) {
  RunGateCases(kRegisterGates, std::size(kRegisterGates), false);
}

// A gate register that never answers ends the burn before the erase request, on the PLC whose
// true value the gate would refuse (an unanswered read once passed as 0), and on the one it
// would pass alike.
TEST_F(GateTest, UnansweredGateRegisterEndsTheBurnAtState2) {
  struct Case {
    const char* model;
    const char* plc;
    GateRegister reg;
    Request request;
  };
  const Case cases[] = {
      {"KL2-G-V4", "KL2-G-V4", kD1386, Request::kD1386},
      {"KL2-KR2-V2", "KL2-KR2-V4@KL2-KR2-V2", kD1001, Request::kD1001},
      {"KL2-G-V2", "KL2-G-V2", kD1001, Request::kD1001},
      {"PN2", "PN32@PN2", kD1148, Request::kD1148},
      {"QD", "QD24@QD", kD1148, Request::kD1148},
      {"PV-V3", "PV-V4@PV-V3", kD1001, Request::kD1001},
      {"BRT-KL2-V2", "BRT-KL2-V4@BRT-KL2-V2", kD1001, Request::kD1001},
      {"BRT-KL2-V4", "BRT-KL2-V4", kD1001, Request::kD1001},
  };
  for (const Case& c : cases) {
    for (const char* times : {"1x6", "1x*"}) {
      SCOPED_TRACE(std::string(c.model) + " on " + c.plc + " " + times);
      Restart();
      Prepare(c.model, c.plc);
      Fault(std::string("silence:") + plcsim::RequestName(c.request) + ":" + times);
      Burn();
      ExpectFailureEnd("NO RESPONSE @ State 2");
      EXPECT_EQ(RecordedEndingId(), kEndGateRegisterUnanswered);
      EXPECT_EQ(plc->RequestCount(Request::kErase), 0u);
      EXPECT_EQ(plc->mode(), plcsim::Mode::kMonitor);
      EXPECT_TRUE(plc->flash().empty());
      const RequestRecord& failed = burnDetail.failed;
      EXPECT_STREQ(RequestName(failed.request), plcsim::RequestName(c.request));
      EXPECT_EQ(failed.attempts, 6u);
      EXPECT_EQ(failed.lastReply, ReplyClass::kNoReply);
      const RegisterRead& read = burnDetail.identity.registers[c.reg];
      EXPECT_TRUE(read.read);
      EXPECT_FALSE(read.answered);
      EXPECT_TRUE(burnDetail.identity.modelIdRead);
    }
  }
}

// Five silent attempts leave the sixth to answer: the register's value decides as ever.
TEST_F(GateTest, GateRegisterAnsweringAtItsSixthAttemptDecides) {
  Prepare("KL2-KR2-V2", "KL2-KR2-V4@KL2-KR2-V2");
  Fault("silence:d1001:1x5");
  Burn();
  ExpectFailureEnd("KL2-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ");
  EXPECT_TRUE(burnDetail.identity.registers[kD1001].answered);
  EXPECT_EQ(burnDetail.failed.request, BurnRequest::kNone);  // a refusal, no failed request
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
    EXPECT_TRUE(RecordedSuccess()) << Messages().back();
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
