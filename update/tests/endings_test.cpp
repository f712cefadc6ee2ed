// Every row of the table of endings reached by a whole burn, and what the burn recorded beside
// it: the request that failed (numbered for an erase unit or a block), whether the PLC sent any
// byte, and the PLC's identity as read.
#include "update/endings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "update/tests/burn_harness.h"

namespace {

struct EndingCase {
  EndingId ending;
  const char* model;
  const char* fault;     // null: none
  BurnRequest failed;    // the request recorded as failed
  uint32_t failedIndex;  // its number, for an erase unit or a block
  const char* profile = nullptr;
};

// KL2-KR2-V2: a COM model whose hand-over is a wait; QD: USB with a replug prompt. The probe
// counts the probes of both modes, so its second one is the first after the hand-over.
const EndingCase kCases[] = {
    {kEndUsbSuccess, "QD", nullptr, BurnRequest::kNone, 0},
    {kEndComSuccess, "KL2-KR2-V2", nullptr, BurnRequest::kNone, 0},
    {kEndState1NoResponse, "KL2-KR2-V2", "silence:probe:1x*", BurnRequest::kProbe, 0},
    {kEndState1RunMode, "KL2-KR2-V2", "negative:probe:1x6:1/0", BurnRequest::kProbe, 0},
    {kEndState1WrongType, "KL2-KR2-V2", "negative:probe:1x6:2/1", BurnRequest::kProbe, 0},
    {kEndState1UnknownCode, "KL2-KR2-V2", "negative:probe:1x6:3/0", BurnRequest::kProbe, 0},
    {kEndHandedOverNoResponse, "QD", "silence:probe:2x*", BurnRequest::kProbe, 0},
    {kEndHandedOverRunMode, "QD", "negative:probe:2x6:1/0", BurnRequest::kProbe, 0},
    {kEndHandedOverWrongType, "QD", "negative:probe:2x6:2/2", BurnRequest::kProbe, 0},
    {kEndHandedOverUnknownCode, "QD", "negative:probe:2x6:4/0", BurnRequest::kProbe, 0},
    {kEndStuckInMonitorMode, "KL2-KR2-V2", "stay:erase:1x*", BurnRequest::kNone, 0},
    {kEndState2NoResponse, "KL2-KR2-V2", "silence:id:1x*", BurnRequest::kIdentity, 0},
    {kEndState2WrongType, "KL2-KR2-V2", "negative:id:1x6:2/3", BurnRequest::kIdentity, 0},
    {kEndState2UnknownCode, "KL2-KR2-V2", "negative:id:1x6:3/0", BurnRequest::kIdentity, 0},
    {kEndGateRegisterUnanswered, "PN32", "silence:d1148:1x*", BurnRequest::kD1148, 0},
    {kEndKl2krIsNotKl2g, "KL2-KR2-V2", nullptr, BurnRequest::kNone, 0, "KL2-G-V2@KL2-KR2-V2"},
    {kEndKl2gNoDowngrade, "KL2-G-V2", nullptr, BurnRequest::kNone, 0, "KL2-G-V4@KL2-G-V2"},
    {kEndKl2gNoUpgrade, "KL2-G-V4", nullptr, BurnRequest::kNone, 0, "KL2-G-V2@KL2-G-V4"},
    {kEndKl2krNoDowngrade, "KL2-KR2-V2", nullptr, BurnRequest::kNone, 0, "KL2-KR2-V4@KL2-KR2-V2"},
    {kEndKl2krNoUpgrade, "KL2-KR2-V4", nullptr, BurnRequest::kNone, 0, "KL2-KR2-V2@KL2-KR2-V4"},
    {kEndPn14IsNot32, "PN2", nullptr, BurnRequest::kNone, 0, "PN32@PN2"},
    {kEndPn32IsNot14, "PN32", nullptr, BurnRequest::kNone, 0, "PN2@PN32"},
    {kEndQd14IsNot24, "QD", nullptr, BurnRequest::kNone, 0, "QD24@QD"},
    {kEndQd24IsNot14, "QD24", nullptr, BurnRequest::kNone, 0, "QD@QD24"},
    {kEndPvNoDowngrade, "PV-V3", nullptr, BurnRequest::kNone, 0, "PV-V4@PV-V3"},
    {kEndPvNoUpgrade, "PV-V4", nullptr, BurnRequest::kNone, 0, "PV-V3@PV-V4"},
    {kEndBrtNoDowngrade, "BRT-KL2-V2", nullptr, BurnRequest::kNone, 0, "BRT-KL2-V4@BRT-KL2-V2"},
    {kEndBrtNoUpgrade, "BRT-KL2-V4", nullptr, BurnRequest::kNone, 0, "BRT-KL2-V2@BRT-KL2-V4"},
    {kEndLoaderV09Old, "MH500-AIO", nullptr, BurnRequest::kNone, 0, "MH500-AIO/loader-0.9"},
    {kEndLoaderV10Old, "KR3-AIO", nullptr, BurnRequest::kNone, 0, "KR3-AIO/loader-1.0"},
    {kEndLoaderUnknown, "MH500-AIO", nullptr, BurnRequest::kNone, 0, "MH500-AIO/loader-0.F"},
    {kEndLoaderVersionUnread, "MH500-AIO", "silence:loader-version:1x*",
     BurnRequest::kLoaderVersion, 0},
    {kEndState3NoResponse, "KL2-KR2-V2", "silence:erase:1x*", BurnRequest::kEraseRequest, 0},
    {kEndState3WrongType, "KL2-KR2-V2", "negative:erase:1x6:2/4", BurnRequest::kEraseRequest, 0},
    {kEndState3UnknownCode, "KL2-KR2-V2", "negative:erase:1x6:3/0", BurnRequest::kEraseRequest, 0},
    {kEndLoaderWrongType, "QD", "silence:loader-id:1x*", BurnRequest::kLoaderIdentity, 0},
    {kEndEraseNotAnswered, "KL2-KR2-V2", "silence:erase-unit:2x*", BurnRequest::kEraseUnit, 2},
    {kEndEraseNotAnswered, "KL2-KR2-V2", "silence:erase-end:1x*", BurnRequest::kClosingByte, 0},
    {kEndUpdateNotAnswered, "QD", "silence:update:1x*", BurnRequest::kUpdate, 0},
    {kEndFlashWriteError, "QD", "write-error:block:3", BurnRequest::kBlock, 3},
    {kEndUpdateFailed, "KL2-KR2-V2", "silence:block:5x*", BurnRequest::kBlock, 5},
    {kEndUpdateFailed, "QD", "silence:end:1x*", BurnRequest::kClosingByte, 0},
};

class EndingsTest : public BurnTest {
 protected:
  // Checks the recorded row and the failed request of the burn just run.
  void ExpectRecorded(EndingId ending, BurnRequest failed, uint32_t index) {
    reached.insert(RecordedEndingId());
    EXPECT_EQ(RecordedEndingId(), ending) << (Messages().empty() ? "" : Messages().back());
    EXPECT_STREQ(RequestName(burnDetail.failed.request), RequestName(failed));
    EXPECT_EQ(burnDetail.failed.index, index);
    if (failed == BurnRequest::kNone) return;
    EXPECT_GE(burnDetail.failed.attempts, 1u);
    EXPECT_NE(burnDetail.failed.lastReply, ReplyClass::kAccepted);
    if (index != 0) {
      EXPECT_GE(burnDetail.failed.of, index);
    }
  }

  std::set<EndingId> reached;
};

TEST_F(EndingsTest, EveryRowIsReachedByABurnAndRecordedWithWhatFailed) {
  for (const EndingCase& c : kCases) {
    SCOPED_TRACE(std::string(c.model) + (c.fault ? std::string(" ") + c.fault : ""));
    Restart();
    Prepare(c.model, c.profile);
    if (c.fault != nullptr) Fault(c.fault);
    Burn();
    ExpectRecorded(c.ending, c.failed, c.failedIndex);
    EXPECT_TRUE(burnDetail.anyByteReceived);
  }
  // The loader refuses a version its firmware gave as fitting.
  for (const auto& [model, version, ending] :
       {std::tuple{"MH500-AIO", 0x90, kEndLoaderV09OldInLoader},
        std::tuple{"MH500-AIO", 0x00, kEndLoaderUnknownInLoader},
        std::tuple{"KR3-AIO", 0x100, kEndLoaderV10OldInLoader}}) {
    SCOPED_TRACE(std::string(model) + " loader " + std::to_string(version));
    Restart();
    plcsim::Profile p = *plcsim::FindProfile(model);
    p.loaderVersion[0] = static_cast<uint8_t>(version >> 8);
    p.loaderVersion[1] = static_cast<uint8_t>(version);
    Prepare(model, p, kSmallImage);
    Burn();
    ExpectRecorded(ending, BurnRequest::kNone, 0);
    EXPECT_TRUE(burnDetail.identity.bootLoaderVersionRead);
  }
  // Ways out before the PLC: nothing sent, no byte received.
  const auto early = [&](const char* model, uint32_t length, EndingId ending) {
    SCOPED_TRACE(model);
    Prepare(model, nullptr, length);
    if (ending == kEndImageNotLoaded) platform.imageAvailable = false;
    if (ending == kEndLinkNotOpened) {
      platform.interfaces.clear();
      comPorts.clear();
    }
    Burn();
    ExpectRecorded(ending, BurnRequest::kNone, 0);
    EXPECT_FALSE(burnDetail.anyByteReceived);
    EXPECT_EQ(burnDetail.current.request, BurnRequest::kNone);
  };
  Restart();
  early("QD", kSmallImage, kEndImageNotLoaded);
  Restart();
  early("16KR2-AIO", kSmallImage, kEndImageTooLarge);
  Restart();
  early("MH700", 4000, kEndSectorImageTooSmall);
  Restart();
  early("KL2-KR2-V2", kSmallImage, kEndLinkNotOpened);

  // No PLC can give the state texts of a low nibble no request makes (the state text test
  // reaches them by the code alone).
  const std::set<EndingId> unreachable = {kEndState1UnknownMessage, kEndHandedOverUnknownMessage,
                                          kEndState2UnknownMessage, kEndState3UnknownMessage};
  for (int id = 0; id < kEndingCount; ++id) {
    if (unreachable.count(static_cast<EndingId>(id)) != 0) continue;
    EXPECT_EQ(reached.count(static_cast<EndingId>(id)), 1u) << "row " << id << " never reached";
  }
}

// A PLC that never sent a byte is told apart from one that answered in part; the identity of a
// whole burn is what the PLC gave.
TEST_F(EndingsTest, BytesReceivedAndTheIdentityAsRead) {
  Prepare("KL2-KR2-V2");
  Fault("silence:wakeup:*");
  Fault("silence:probe:1x*");
  Burn();
  EXPECT_EQ(RecordedEndingId(), kEndState1NoResponse);
  EXPECT_FALSE(burnDetail.anyByteReceived);
  EXPECT_EQ(burnDetail.failed.attempts, 6u);
  EXPECT_EQ(burnDetail.failed.lastReply, ReplyClass::kNoReply);
  EXPECT_EQ(burnDetail.identity.mode, PlcMode::kUnknown);
  EXPECT_FALSE(burnDetail.identity.modelIdRead);

  Restart();
  Prepare("KL2-KR2-V2");
  Fault("cut:probe:1x*");
  Burn();
  EXPECT_EQ(RecordedEndingId(), kEndState1NoResponse);
  EXPECT_TRUE(burnDetail.anyByteReceived);
  EXPECT_EQ(burnDetail.failed.lastReply, ReplyClass::kShort);

  Restart();
  Prepare("MH700");
  Burn();
  EXPECT_EQ(RecordedEndingId(), kEndUsbSuccess);
  const PlcIdentity& id = burnDetail.identity;
  EXPECT_EQ(id.mode, PlcMode::kLoader);  // the mode of the last probe
  EXPECT_TRUE(id.modelIdRead);
  EXPECT_EQ(id.modelId, selectedPLCID.load());
  EXPECT_TRUE(id.bootLoaderVersionRead);
  EXPECT_EQ(id.bootLoaderVersion, MH_fu_version);
  for (const RegisterRead& r : id.registers) EXPECT_FALSE(r.read);

  Restart();
  Prepare("KL2-KR2-V2", "KL2-KR2-V2/d1386=0/d1001=0x31");
  Burn();
  EXPECT_EQ(RecordedEndingId(), kEndComSuccess);
  EXPECT_TRUE(burnDetail.identity.registers[kD1386].answered);
  EXPECT_EQ(burnDetail.identity.registers[kD1386].value, 0);
  EXPECT_EQ(burnDetail.identity.registers[kD1001].value, 0x31);
  EXPECT_FALSE(burnDetail.identity.registers[kD1148].read);
}

// A second burn starts with nothing recorded of the first.
TEST_F(EndingsTest, EachBurnRecordsAfresh) {
  Prepare("KL2-KR2-V2");
  Fault("silence:id:1x*");
  Burn();
  ASSERT_EQ(RecordedEndingId(), kEndState2NoResponse);
  Restart();
  Prepare("KL2-KR2-V2");
  Burn();
  EXPECT_EQ(RecordedEndingId(), kEndComSuccess);
  EXPECT_EQ(burnDetail.failed.request, BurnRequest::kNone);
  EXPECT_EQ(burnDetail.failed.attempts, 0u);
}

}  // namespace
