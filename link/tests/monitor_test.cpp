// The monitor-mode requests: their frames, acceptance tests and results.
#include "link/monitor.h"

#include "core/catalogue.h"
#include "link/tests/link_fixture.h"

namespace {

class MonitorTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    SelectModelForTest("KW3");
  }
  void Repeat(const std::string& reply, int times = 6) {
    for (int i = 0; i < times; ++i) link.Reply(reply);
  }
};

// ---- Wake-up exchange

TEST_F(MonitorTest, WakeUpWritesFiveFramesAndReadsTenTimesWithoutCounting) {
  link.Reply(std::string(11, '\xFF'));
  link.Reply("junk");
  errCounter = 2;
  totalErrCounter = 5;
  DummyComm(handle);
  ASSERT_EQ(link.writes.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(link.WriteText(i), ":007F81\r\n");
  EXPECT_EQ(link.readSizes, std::vector<uint32_t>(10, 11));
  EXPECT_EQ(platform.lastTimeouts.readTotalTimeoutConstant, 200u);
  EXPECT_EQ(platform.lastTimeouts.writeTotalTimeoutConstant, 200u);
  EXPECT_EQ(link.lines.size(), 1u);
  EXPECT_EQ(ErrCounter(), 2);
  EXPECT_EQ(TotalErrCounter(), 5);
}

// ---- Mode probe

TEST_F(MonitorTest, ProbeNamesTheModeAndClearsTheCount) {
  link.Reply(Answer(0x05));
  EXPECT_EQ(ConfirmComm(handle), kMonitorMode);
  EXPECT_EQ(link.WriteText(0), ":006401590141\r\n");
  EXPECT_EQ(link.readSizes, std::vector<uint32_t>{19});
  EXPECT_EQ(ErrCounter(), 0);

  SelectModelForTest("PV3-AIO");
  link.Silence();
  link.Reply(Answer(0x06));
  EXPECT_EQ(ConfirmComm(handle), kLoaderMode);
  EXPECT_EQ(link.WriteText(1), ":0064015B013F\r\n");
  EXPECT_EQ(ErrCounter(), 0);
  EXPECT_EQ(TotalErrCounter(), 1);
}

TEST_F(MonitorTest, SilentPlcGives24AfterSixFullTimeouts) {
  EXPECT_EQ(ConfirmComm(handle), kNoUsableReply);
  EXPECT_EQ(link.writes.size(), 6u);
  EXPECT_EQ(link.waitedMs, 6u * 3000u);
  EXPECT_EQ(ErrCounter(), 6);
  EXPECT_EQ(TotalErrCounter(), 6);
}

TEST_F(MonitorTest, OnlyTheLastReplyIsClassified) {
  Repeat(Negative(1, 0), 5);
  link.Silence();  // the buffer is zero-filled before the last read
  EXPECT_EQ(ConfirmComm(handle), kNoUsableReply);
}

TEST_F(MonitorTest, ClassificationReadsTheBufferAsTheLastReadLeftIt) {
  // Decoding stops at the first pair ("x0"), so positions 5 to 7 keep the bytes as received.
  const std::string undecodable = std::string(":x000\x15\x02\x01", 8) + "000000000\r\n";
  ASSERT_EQ(undecodable.size(), 19u);
  Repeat(undecodable);
  EXPECT_EQ(ConfirmComm(handle), kNegClass2Code1);

  // A short read is never decoded either; what did not arrive stays zero.
  Repeat(std::string(":0000\x15\x01", 7));
  EXPECT_EQ(ConfirmComm(handle), kNegClass1);
}

struct ClassRow {
  uint8_t status, errorClass, code;
  uint8_t probe, identity, erase;
};

class ClassificationTest : public MonitorTest, public ::testing::WithParamInterface<ClassRow> {};

TEST_P(ClassificationTest, SixRepliesOfAKindGiveEachRequestsCode) {
  const ClassRow row = GetParam();
  const std::string reply = Answer(row.status, row.errorClass, row.code);
  struct {
    uint8_t (*request)(LinkHandle);
    uint8_t expected;
  } const requests[] = {
      {ConfirmComm, row.probe}, {CheckID_A, row.identity}, {SendErase_A, row.erase}};
  for (const auto& r : requests) {
    ResetBurnCounters();
    link.writes.clear();
    Repeat(reply);
    EXPECT_EQ(r.request(handle), r.expected);
    EXPECT_EQ(link.writes.size(), 6u);  // a negative reply is asked six times
    EXPECT_EQ(ErrCounter(), 6);
    EXPECT_EQ(TotalErrCounter(), 6);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, ClassificationTest,
    ::testing::Values(ClassRow{0x07, 2, 1, 24, 24, 24},  // not negative
                      ClassRow{0x15, 1, 0, 22, 23, 23}, ClassRow{0x15, 1, 3, 22, 23, 23},
                      ClassRow{0x15, 2, 1, 17, 21, 21}, ClassRow{0x15, 2, 2, 18, 18, 21},
                      ClassRow{0x15, 2, 3, 21, 19, 19}, ClassRow{0x15, 2, 4, 21, 21, 20},
                      ClassRow{0x15, 2, 5, 21, 21, 21}, ClassRow{0x15, 2, 0, 21, 21, 21},
                      ClassRow{0x15, 0, 1, 23, 23, 23}, ClassRow{0x15, 3, 2, 23, 23, 23},
                      ClassRow{0x15, 0xFF, 0xFF, 23, 23, 23}));

// ---- Identity check

TEST_F(MonitorTest, IdentityFramesAndTheTwelveOrThirteenRule) {
  SelectModelForTest("KL2-G-V4");  // ID 12
  link.Reply(Answer(0x06, 0x00, 13));
  EXPECT_EQ(CheckID_A(handle), kResultOk);
  EXPECT_EQ(link.WriteText(0), ":006401594944B5\r\n");
  link.Reply(Answer(0x06, 0x00, 12));
  EXPECT_EQ(CheckID_A(handle), kResultOk);

  SelectModelForTest("16KR2-AIO");  // ID 13: a PLC reporting 12 does not fit
  link.writes.clear();
  Repeat(Answer(0x06, 0x00, 12));
  EXPECT_EQ(CheckID_A(handle), kNoUsableReply);  // status 6 with a wrong ID is no code of 17-21
  EXPECT_EQ(link.WriteText(0), ":0064015B4944B3\r\n");
  EXPECT_EQ(link.writes.size(), 6u);
}

TEST_F(MonitorTest, IdentityComparesAllSixteenBitsAndKeepsTheCount) {
  SelectModelForTest("BRT-KL2-V2");  // 0xA001: monitor mode reports the ID with bit 15
  link.Reply(Answer(0x06, 0x20, 0x01));
  link.Reply(Answer(0x05, 0xA0, 0x01));  // right ID, wrong status
  link.Reply(Answer(0x06, 0xA0, 0x01));
  EXPECT_EQ(CheckID_A(handle), kResultOk);
  EXPECT_EQ(ErrCounter(), 2);
  EXPECT_EQ(TotalErrCounter(), 2);
}

// ---- Register reads and the version query

TEST_F(MonitorTest, RegisterReadsSendTheirFramesAndReturnTheValue) {
  struct {
    uint16_t (*read)(LinkHandle);
    const char* frame;
  } const registers[] = {{READ_D1386, ":0003156A00017D\r\n"},
                         {READ_D1001, ":000313E9000100\r\n"},
                         {READ_D1148, ":0003147C00016C\r\n"}};
  for (const auto& r : registers) {
    link.writes.clear();
    link.Reply(RegisterAnswer(0x4138));
    EXPECT_EQ(r.read(handle), 0x4138);
    EXPECT_EQ(link.WriteText(0), r.frame);
    EXPECT_EQ(link.readSizes.back(), 15u);
  }
}

TEST_F(MonitorTest, RegisterAnswerIsJudgedByItsLrcAlone) {
  link.Reply(Frame({0x01, 0x10, 0x07, 0x12, 0x34}));  // wrong station, function, byte count
  EXPECT_EQ(READ_D1001(handle), 0x1234);
  Repeat(RegisterAnswer(0x1234).substr(0, 14));
  EXPECT_EQ(READ_D1148(handle), 0);
  EXPECT_EQ(ErrCounter(), 6);
}

TEST_F(MonitorTest, VersionQueryUsesTheStandardGroupForEveryModel) {
  SelectModelForTest("KR3-AIO");
  hSerial = handle;
  link.Reply(Answer(0x10, 0xFF, 0xFF));
  EXPECT_EQ(read_fu_version_A(), 0x10);
  EXPECT_EQ(link.WriteText(0), ":00640159053D\r\n");
  EXPECT_EQ(link.readSizes.back(), 19u);
  EXPECT_EQ(read_fu_version_A(), 0);  // silence six times
  EXPECT_EQ(link.writes.size(), 7u);
}

// ---- Erase request

TEST_F(MonitorTest, AcceptedEraseIsAcknowledged) {
  link.Silence();
  link.Reply(Answer(0x06));
  EXPECT_EQ(SendErase_A(handle), kResultOk);
  ASSERT_EQ(link.writes.size(), 3u);
  EXPECT_EQ(link.WriteText(0), ":006401594552415345D2\r\n");
  EXPECT_EQ(link.WriteText(2), ":00640159063C\r\n");
  EXPECT_EQ(ErrCounter(), 0);
  EXPECT_EQ(TotalErrCounter(), 1);

  SelectModelForTest("MH500-AIO");
  link.writes.clear();
  link.Reply(Answer(0x06));
  EXPECT_EQ(SendErase_A(handle), kResultOk);
  ASSERT_EQ(link.writes.size(), 2u);
  EXPECT_EQ(link.WriteText(0), ":0064015B4552415345D0\r\n");
  EXPECT_EQ(link.WriteText(1), ":0064015B063A\r\n");
}

TEST_F(MonitorTest, ShortAcknowledgementStartsTheEraseAgain) {
  link.Reply(Answer(0x06));
  link.Reply(Answer(0x06));
  link.writeCounts = {23, 3};
  EXPECT_EQ(SendErase_A(handle), kResultOk);
  ASSERT_EQ(link.writes.size(), 4u);
  EXPECT_EQ(link.WriteText(2), ":006401594552415345D2\r\n");
  EXPECT_EQ(link.WriteText(3), ":00640159063C\r\n");
  EXPECT_EQ(TotalErrCounter(), 1);
}

TEST_F(MonitorTest, ModelsThatRestartSilentlySucceedWithoutAcknowledgement) {
  for (const char* model : {"KL2-G-V2", "KL2-G-V4", "KR2-VAN"}) {
    SCOPED_TRACE(model);
    SelectModelForTest(model);
    ResetBurnCounters();
    link.writes.clear();
    link.Reply(Answer(0x06).substr(0, 18));  // short counts as silence too
    EXPECT_EQ(SendErase_A(handle), kResultOk);
    EXPECT_EQ(link.writes.size(), 1u);
    EXPECT_EQ(TotalErrCounter(), 0);

    link.writes.clear();
    link.Reply(Answer(0x06));  // a full answer is acknowledged as for every model
    EXPECT_EQ(SendErase_A(handle), kResultOk);
    ASSERT_EQ(link.writes.size(), 2u);
    EXPECT_EQ(link.WriteText(1), ":00640159063C\r\n");

    link.writes.clear();
    link.Reply(Answer(0x06).replace(16, 1, "x"));  // a bad frame is no silence
    link.Silence();
    EXPECT_EQ(SendErase_A(handle), kResultOk);
    EXPECT_EQ(link.writes.size(), 2u);
    EXPECT_EQ(ErrCounter(), 0);
    EXPECT_EQ(TotalErrCounter(), 1);
  }
  SelectModelForTest("KL2-G-V2");
}

TEST_F(MonitorTest, SilenceEndsTheEraseOfOtherModelsWith24) {
  SelectModelForTest("KL2-KR2-V2");
  EXPECT_EQ(SendErase_A(handle), kNoUsableReply);
  EXPECT_EQ(link.writes.size(), 6u);
  EXPECT_EQ(ErrCounter(), 6);
}

}  // namespace

// A register answer that comes twice stays waiting on the line: the next register read must not
// take it for its own value.
TEST_F(LinkTest, StaleRegisterAnswerIsNotTakenForTheNextRegister) {
  SelectModelForTest("KL2-G-V4");
  link.Reply(RegisterAnswer(0x4138) + RegisterAnswer(0x4138));
  link.Reply(RegisterAnswer(0x0045));
  EXPECT_EQ(READ_D1386(handle), 0x4138);
  EXPECT_EQ(READ_D1001(handle), 0x0045);
  EXPECT_EQ(TotalErrCounter(), 0);
}
