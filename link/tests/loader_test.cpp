// The loader-mode requests: identity rules, version byte, erase units and the line switch.
#include "link/loader.h"

#include "core/catalogue.h"
#include "core/image.h"
#include "link/tests/link_fixture.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::vector<uint8_t> IdReply(uint16_t id) {
  return Bytes({0x06, id >> 8, id & 0xFF});
}

class LoaderTest : public LinkTest {
 protected:
  // Acknowledges the next `n` commands.
  void Acks(int n) {
    for (int i = 0; i < n; ++i) link.Reply(Bytes({0x06}));
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (size_t i = 0; i < link.writes.size(); ++i) n += link.WriteText(i) == text;
    return n;
  }
};

// ---- Identity

TEST_F(LoaderTest, BitFifteenIsClearedForComModelsOnly) {
  struct {
    const char* model;
    uint16_t accepted, refused;
  } const cases[] = {{"BRT-KL2-V2", 0x2001, 0xA001},
                     {"BRT-KL2-V4", 0x2001, 0xA001},
                     {"PN2-R", 0x2003, 0xA003},
                     {"KR2-VAN", 0x2006, 0xA006},
                     {"QD-R", 0xA002, 0x2002},
                     {"VGT-Y", 0xA00B, 0x200B},
                     {"PT2", 14, 0x800E}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    SelectModelForTest(c.model);
    link.Reply(IdReply(c.accepted));
    EXPECT_EQ(CheckID_B(handle), 0);
    for (int i = 0; i < 6; ++i) link.Reply(IdReply(c.refused));
    EXPECT_EQ(CheckID_B(handle), kLoaderFailed);
  }
  EXPECT_EQ(link.WriteText(0), "ID");
  EXPECT_EQ(link.readSizes[0], 3u);
}

TEST_F(LoaderTest, TwelveOrThirteenAcceptanceLeavesTheCountShowing) {
  SelectModelForTest("KL2-G-V4");
  link.Reply(IdReply(14));
  link.Reply(Bytes({0x15, 0, 12}));  // right ID, not an acknowledge
  link.Reply(IdReply(13));
  EXPECT_EQ(CheckID_B(handle), 0);
  EXPECT_EQ(ErrCounter(), 2);
  EXPECT_EQ(TotalErrCounter(), 2);
  link.Reply(IdReply(12));
  EXPECT_EQ(CheckID_B(handle), 0);

  SelectModelForTest("QD");  // the USB set clears it
  link.Reply(IdReply(20));
  link.Reply(Bytes({0x06, 0}));  // short
  link.Reply(IdReply(21));
  EXPECT_EQ(CheckID_B(handle), 0);
  EXPECT_EQ(ErrCounter(), 0);
  EXPECT_EQ(TotalErrCounter(), 4);
}

// ---- Version

TEST_F(LoaderTest, VersionByteTakesLowNibbleOfV1AndHighNibbleOfV2) {
  hSerial = handle;
  struct {
    uint8_t v1, v2, version;
  } const cases[] = {
      {0x01, 0x00, 0x10}, {0x00, 0x90, 0x09}, {0x01, 0x25, 0x12}, {0xF3, 0x4F, 0x34}};
  for (const auto& c : cases) {
    link.Reply(Bytes({0x06, c.v1, c.v2}));
    EXPECT_EQ(read_fu_version_B(), 0);
    EXPECT_EQ(MH_fu_version, c.version);
  }
  EXPECT_EQ(link.WriteText(0), "VERSION");
  link.Silence(5);
  link.Reply(Bytes({0x15, 0x09, 0x00}));
  EXPECT_EQ(read_fu_version_B(), kLoaderFailed);
  EXPECT_EQ(MH_fu_version, 0x34);  // unchanged
  EXPECT_EQ(ErrCounter(), 6);
}

// ---- Erase

TEST(EraseUnits, EveryRowOfTheTable) {
  struct {
    const char* model;
    uint32_t length;
    uint16_t units;
  } const cases[] = {
      {"KL2-N", 262144, 3},
      {"KL2-N", 262143, 2},
      {"QD24", 0, 1},
      {"KL2-G-V2", 131071, 1},
      {"KR2-VAN", 917504, 8},
      {"PN32", 131072, 2},
      {"QD", 16384, 2},
      {"QD-R", 16383, 1},
      {"KL3-KR3", 2076672, 506},
      {"MH700", 8193, 2},
      {"VGT-Y", 8192, 1},
      {"MB3PV3", 4097, 1},
      {"MH400", 4096, 0},
      {"MH500", 100, 0},
      {"MH500-TO-MH700", 0, 0},
      {"MH500-AIO", 2048, 1},
      {"KR3-AIO", 2049, 2},
      {"PV3-AIO", 0, 0},
      {"16KR2-AIO", 0, 4},
      {"16KR2-AIO", 2076672, 4},
      {"KW3", 2048, 2},
      {"BRT-KL2-V4", 2047, 1},
      {"PV-V3", 0, 1},
      {"KL2-KR2-V2", 4095, 2},
      {"KL2-N", 0xFFFFFFFF, 32768},
      {"KW3", 0xFFFFFFFF, 0xFFFF},
  };
  for (const auto& c : cases) {
    SelectModelForTest(c.model);
    EXPECT_EQ(EraseUnitCount(c.length), c.units) << c.model << " " << c.length;
  }
}

class LoaderEraseTest : public LoaderTest {
 protected:
  void SetUp() override {
    LoaderTest::SetUp();
    ASSERT_TRUE(LoadFirmware());
  }
};

TEST_F(LoaderEraseTest, DefaultImageErases506UnitsWithProgress) {
  SelectModelForTest("KL3-KR3");
  link.ackUnscripted = true;
  progress = 77;
  EXPECT_EQ(SendErase_B(handle), 0);
  ASSERT_EQ(link.writes.size(), 507u);
  EXPECT_EQ(link.WriteText(505), "ERASE");
  EXPECT_EQ(link.writes[506], Bytes({0x04}));
  EXPECT_EQ(link.progressAtWrite[0], 0);
  EXPECT_EQ(link.progressAtWrite[2], 0);     // after unit 1: 100 / 506
  EXPECT_EQ(link.progressAtWrite[7], 1);     // after unit 6: 600 / 506
  EXPECT_EQ(link.progressAtWrite[506], 99);  // after the last unit
  EXPECT_EQ(progress.load(), 100);
  EXPECT_EQ(flashStatus.load(), kFlashErasing);
  EXPECT_EQ(platform.lastTimeouts.readTotalTimeoutConstant, 3000u);
}

TEST_F(LoaderEraseTest, SectorSetGivesUpAtTheFirstMissedUnit) {
  SelectModelForTest("KL3-KR3");
  Acks(2);
  link.Reply(Bytes({0x15}));
  EXPECT_EQ(SendErase_B(handle), kLoaderFailed);
  EXPECT_EQ(link.writes.size(), 3u);  // "ERASE" is never repeated, no closing byte
  EXPECT_EQ(ErrCounter(), 1);
  EXPECT_EQ(TotalErrCounter(), 1);
  EXPECT_EQ(flashStatus.load(), kFlashErasing);

  link.writes.clear();
  link.writeCounts = {4};  // a short write ends it too
  EXPECT_EQ(SendErase_B(handle), kLoaderFailed);
  EXPECT_EQ(link.writes.size(), 1u);
  EXPECT_EQ(ErrCounter(), 1);
}

TEST_F(LoaderEraseTest, OtherModelsRetryTheSameUnitWithFreshCounts) {
  SelectModelForTest("16KR2-AIO");
  Acks(1);
  link.Silence(5);  // unit 1: five misses, then the acknowledge
  Acks(1);
  link.Silence(3);  // unit 2: three misses
  Acks(2);
  link.Silence(2);  // the closing byte is retried too
  Acks(1);
  EXPECT_EQ(SendErase_B(handle), 0);
  EXPECT_EQ(Count("ERASE"), 1u + 6u + 4u + 1u);
  EXPECT_EQ(link.writes.size(), 12u + 3u);
  EXPECT_EQ(TotalErrCounter(), 10);
  EXPECT_EQ(ErrCounter(), 0);

  link.writes.clear();
  link.Silence(6);
  EXPECT_EQ(SendErase_B(handle), kLoaderFailed);
  EXPECT_EQ(link.writes.size(), 6u);
}

TEST_F(LoaderEraseTest, SectorImageOfOneSectorSendsOnlyTheClosingByte) {
  SelectModelForTest("MH700");
  platform.image.assign(4096, 0x55);
  ASSERT_TRUE(LoadFirmware());
  link.Silence();
  Acks(1);
  EXPECT_EQ(SendErase_B(handle), 0);
  ASSERT_EQ(link.writes.size(), 2u);
  EXPECT_EQ(link.writes[0], Bytes({0x04}));
  EXPECT_EQ(link.writes[1], Bytes({0x04}));
  EXPECT_EQ(progress.load(), 100);
}

// ---- Update

TEST_F(LoaderTest, LineSwitchesOnlyAfterTheAcknowledge) {
  SelectModelForTest("MH500");
  link.Reply(Bytes({0x15}));
  Acks(1);
  EXPECT_EQ(SendUpdate(handle), 0);
  EXPECT_EQ(link.WriteText(0), "UPDATE");
  ASSERT_EQ(link.lines.size(), 1u);
  EXPECT_EQ(link.lines[0].baudRate, 115200u);
  EXPECT_EQ(link.lines[0].byteSize, 8);
  EXPECT_EQ(link.lines[0].parity, kNoParity);
  EXPECT_EQ(link.lines[0].stopBits, kOneStopBit);
  EXPECT_EQ(link.lines[0].dtrControl, kDtrControlDisable);
  EXPECT_EQ(link.lines[0].rtsControl, kRtsControlDisable);
  EXPECT_EQ(ErrCounter(), 0);

  link.writeCounts = {5, 5, 5, 5, 5, 5};
  EXPECT_EQ(SendUpdate(handle), kLoaderFailed);
  EXPECT_EQ(link.lines.size(), 1u);
  EXPECT_EQ(ErrCounter(), 6);
}

}  // namespace
