// The frame decoder and the exchange rule's counting, seen through real requests.
#include "link/exchange.h"

#include <cctype>
#include <cstring>

#include "core/catalogue.h"
#include "link/monitor.h"
#include "link/tests/link_fixture.h"

namespace {

TEST(CheckLRC, DecodesTheProbeFrameInPlace) {
  char text[] = ":006401590141";
  EXPECT_EQ(CheckLRC(text + 1, 12), 0);
  const uint8_t expected[] = {0x00, 0x64, 0x01, 0x59, 0x01, 0x41};
  EXPECT_EQ(0, std::memcmp(text + 1, expected, sizeof expected));
  // The characters behind the decoded stretch stay as they were.
  EXPECT_EQ(std::string(text + 7), "590141");
}

TEST(CheckLRC, RejectsWhatIsNotUpperCaseHex) {
  char lower[] = "0064015b013f";  // the AIO probe, right LRC, lower-case digits
  EXPECT_EQ(CheckLRC(lower, 12), 1);
  // Decoding stops at the first bad pair: the bytes before it are decoded, the rest is raw.
  EXPECT_EQ(static_cast<uint8_t>(lower[0]), 0x00);
  EXPECT_EQ(static_cast<uint8_t>(lower[1]), 0x64);
  EXPECT_EQ(static_cast<uint8_t>(lower[2]), 0x01);
  EXPECT_EQ(std::string(lower + 3), "4015b013f");
  char bad[] = "00G4";
  EXPECT_EQ(CheckLRC(bad, 4), 1);
  char nul[] = "0\0";
  EXPECT_EQ(CheckLRC(nul, 2), 1);
}

TEST(CheckLRC, ReportsTheSumOfAFrameWithAWrongLrc) {
  char text[] = "006401590142";
  EXPECT_EQ(CheckLRC(text, 12), 1);  // one too many
  char other[] = "006401590140";
  EXPECT_EQ(CheckLRC(other, 12), 0xFF);
  char empty[] = "";
  EXPECT_EQ(CheckLRC(empty, 0), 0);
}

class ExchangeRuleTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    SelectModelForTest("KW3");
  }
};

TEST_F(ExchangeRuleTest, EveryWriteShortEndsAfterSixAttemptsWithoutARead) {
  link.writeCounts.assign(20, 14);  // the probe is 15 bytes
  totalErrCounter = 4;
  EXPECT_EQ(ConfirmComm(handle), kNoUsableReply);
  EXPECT_EQ(link.writes.size(), 6u);
  EXPECT_TRUE(link.readSizes.empty());
  EXPECT_EQ(ErrCounter(), 6);
  EXPECT_EQ(TotalErrCounter(), 10);
}

TEST_F(ExchangeRuleTest, AlternatingFailuresMakeElevenAttempts) {
  // Short write, then a full write whose reply never comes, and so on.
  for (int i = 0; i < 6; ++i) {
    link.writeCounts.push_back(0);
    link.writeCounts.push_back(17);
  }
  EXPECT_EQ(READ_D1386(handle), 0);
  EXPECT_EQ(link.writes.size(), 11u);
  EXPECT_EQ(link.readSizes.size(), 5u);
  EXPECT_EQ(ErrCounter(), 6);  // the sixth write failure ended it
  EXPECT_EQ(TotalErrCounter(), 11);
}

TEST_F(ExchangeRuleTest, SuccessAfterThreeReadFailuresKeepsOrClearsTheCount) {
  link.Silence();
  link.Reply(RegisterAnswer(0x1234).substr(0, 14));       // one byte short
  link.Reply(RegisterAnswer(0x1234).replace(1, 1, "1"));  // LRC fails
  link.Reply(RegisterAnswer(0x4137));
  EXPECT_EQ(READ_D1386(handle), 0x4137);
  EXPECT_EQ(ErrCounter(), 3);  // register reads leave the count showing
  EXPECT_EQ(TotalErrCounter(), 3);

  link.Silence(3);
  link.Reply(Answer(0x05));
  EXPECT_EQ(ConfirmComm(handle), kMonitorMode);
  EXPECT_EQ(ErrCounter(), 0);  // the mode probe clears it
  EXPECT_EQ(TotalErrCounter(), 6);
}

TEST_F(ExchangeRuleTest, ErrCounterShowsTheReadCountWhileAReadWaits) {
  // A write failure shows the write count; the next read shows the read count again.
  struct Watch : ScriptedLink {
    std::vector<int> seen;
    uint32_t Read(uint8_t* d, uint32_t n, const LinkTimeouts& t) override {
      seen.push_back(errCounter.load());
      return ScriptedLink::Read(d, n, t);
    }
  } watch;
  platform.opener = [&](const std::string&, OpenMode) { return &watch; };
  LinkHandle h = platform.OpenLink("x", OpenMode::ComPort);
  watch.writeCounts = {15, 0, 0, 15};
  watch.Silence(1);
  watch.Reply(RegisterAnswer(7));
  EXPECT_EQ(READ_D1386(h), 7);
  EXPECT_EQ(watch.seen, (std::vector<int>{0, 1}));
  platform.CloseLink(h);
}

TEST_F(ExchangeRuleTest, FramingCharactersAreNotExamined) {
  std::string reply = RegisterAnswer(0xBEEF);
  reply[0] = '#';
  reply[13] = 'x';
  reply[14] = 'y';
  link.Reply(reply);
  EXPECT_EQ(READ_D1386(handle), 0xBEEF);
  EXPECT_EQ(TotalErrCounter(), 0);
}

TEST_F(ExchangeRuleTest, LowerCaseDigitsAreARereadEvenWithTheRightLrc) {
  const std::string reply = RegisterAnswer(0x00AB);  // ":00030200AB50\r\n"
  std::string lower = reply;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  link.Reply(lower);
  link.Reply(reply);
  EXPECT_EQ(READ_D1386(handle), 0x00AB);
  EXPECT_EQ(TotalErrCounter(), 1);
  EXPECT_EQ(link.writes.size(), 2u);
}

TEST_F(ExchangeRuleTest, RequestsSetTheNormalTimeoutsAndTheMonitorLineOnlyOnCom) {
  link.Reply(Answer(0x05));
  ConfirmComm(handle);
  EXPECT_EQ(platform.lastTimeouts.readIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(platform.lastTimeouts.readTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(platform.lastTimeouts.readTotalTimeoutConstant, 3000u);
  EXPECT_EQ(platform.lastTimeouts.writeTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(platform.lastTimeouts.writeTotalTimeoutConstant, 3000u);
  ASSERT_EQ(link.lines.size(), 1u);
  EXPECT_EQ(link.lines[0].baudRate, 9600u);
  EXPECT_EQ(link.lines[0].byteSize, 7);
  EXPECT_EQ(link.lines[0].parity, kEvenParity);
  EXPECT_EQ(link.lines[0].stopBits, kOneStopBit);
  EXPECT_EQ(link.lines[0].dtrControl, kDtrControlDisable);
  EXPECT_EQ(link.lines[0].rtsControl, kRtsControlDisable);

  SelectModelForTest("QD");
  DummyComm(handle);
  link.Reply(Answer(0x05));
  ConfirmComm(handle);
  EXPECT_EQ(link.lines.size(), 1u);  // a USB link keeps its line
}

}  // namespace
