// The block transfer: block layout, numbering, fill, progress and the results 0, 16 and 22.
#include "link/transfer.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "core/catalogue.h"
#include "core/image.h"
#include "link/loader.h"
#include "link/tests/link_fixture.h"

namespace {

// The CRC the slow way, bit by bit, to hold the table-driven one against.
uint16_t BitwiseCrc(const uint8_t* data, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
  }
  return crc;
}

TEST(Crc, CheckValuesAndAgreementWithTheBitwiseForm) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CRC(digits, 9), 0x31C3);
  EXPECT_EQ(CRC(digits, 0), 0);
  std::mt19937 random(7);
  std::vector<uint8_t> data(4096);
  for (uint8_t& b : data) b = static_cast<uint8_t>(random());
  for (size_t n : {1u, 2u, 255u, 256u, 4096u})
    EXPECT_EQ(CRC(data.data(), int(n)), BitwiseCrc(data.data(), n));
}

class TransferTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    link.ackUnscripted = true;
  }
  void UseImage(uint32_t size) {
    platform.image.resize(size);
    for (uint32_t i = 0; i < size; ++i) platform.image[i] = static_cast<uint8_t>(i * 7 + i / 256);
    ASSERT_TRUE(LoadFirmware());
  }
  std::vector<uint8_t> Data(size_t block) const {
    const auto& w = link.writes[block];
    return std::vector<uint8_t>(w.begin() + 3, w.end() - 2);
  }
};

TEST_F(TransferTest, DefaultImageGoesOverIn8096BlocksOf261Bytes) {
  SelectModelForTest("KL3-KR3");
  ASSERT_TRUE(LoadFirmware());
  const uint8_t* image = platform.image.data();
  ASSERT_EQ(fileLength, 2076672u);
  EXPECT_EQ(SendFW(handle), 0);
  ASSERT_EQ(link.writes.size(), 8097u);
  std::vector<uint8_t> sent;
  for (size_t b = 0; b < 8096; ++b) {
    const auto& w = link.writes[b];
    ASSERT_EQ(w.size(), 261u);
    ASSERT_EQ(w[0], 0x02);
    ASSERT_EQ(w[1], static_cast<uint8_t>(b + 1));
    ASSERT_EQ(w[2], static_cast<uint8_t>(0xFF - w[1]));
    ASSERT_EQ(w[259] << 8 | w[260], BitwiseCrc(w.data() + 3, 256));
    sent.insert(sent.end(), w.begin() + 3, w.begin() + 259);
  }
  EXPECT_EQ(link.writes[8095][1], 0xA0);
  EXPECT_EQ(link.writes[8095][2], 0x5F);
  EXPECT_EQ(link.writes[255][1], 0x00);  // 255 wraps to 0
  EXPECT_EQ(link.writes[255][2], 0xFF);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), image));  // the first 2,072,576 bytes, no fill
  EXPECT_EQ(sent.size(), 2072576u);
  EXPECT_EQ(link.writes[8096], std::vector<uint8_t>{0x04});
  EXPECT_EQ(link.progressAtWrite[8096], 99);
  EXPECT_EQ(progress.load(), 100);
  EXPECT_EQ(flashStatus.load(), kFlashProgramming);
  EXPECT_EQ(fin, image + 2072576);
}

TEST_F(TransferTest, LastBlockIsFilledWith1A) {
  SelectModelForTest("QD");
  UseImage(1000);
  EXPECT_EQ(SendFW(handle), 0);
  ASSERT_EQ(link.writes.size(), 5u);
  const std::vector<uint8_t> last = Data(3);
  ASSERT_EQ(last.size(), 256u);
  EXPECT_TRUE(std::equal(last.begin(), last.begin() + 232, platform.image.begin() + 768));
  EXPECT_EQ(std::count(last.begin() + 232, last.end(), 0x1A), 24);
  EXPECT_EQ(link.writes[3][259] << 8 | link.writes[3][260], BitwiseCrc(last.data(), 256));

  // A multiple of the block size, after the sector kept back, ends in a full block: no fill.
  SelectModelForTest("MB3PV3");
  UseImage(4096 + 512);
  link.writes.clear();
  EXPECT_EQ(SendFW(handle), 0);
  ASSERT_EQ(link.writes.size(), 3u);
  EXPECT_TRUE(
      std::equal(platform.image.begin() + 256, platform.image.begin() + 512, Data(1).begin()));
}

TEST_F(TransferTest, BlockSizeFollowsTheModel) {
  struct {
    const char* model;
    uint32_t length;
    size_t blockSize;
    size_t blocks;
  } const cases[] = {{"QD24", 1024, 133, 8},         {"16KR2-AIO", 1024, 261, 4},
                     {"KW3", 129, 133, 2},           {"MH500-AIO", 257, 261, 2},
                     {"MB3PV3", 4096 + 512, 261, 2}, {"VGT-Y", 4096 + 513, 261, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model);
    SelectModelForTest(c.model);
    UseImage(c.length);
    link.writes.clear();
    EXPECT_EQ(SendFW(handle), 0);
    ASSERT_EQ(link.writes.size(), c.blocks + 1);
    for (size_t b = 0; b < c.blocks; ++b) EXPECT_EQ(link.writes[b].size(), c.blockSize);
    EXPECT_EQ(BlockCount(c.length), static_cast<int32_t>(c.blocks));
  }
}

TEST_F(TransferTest, NoBlocksWithoutImageBytes) {
  SelectModelForTest("MH400");
  for (uint32_t length : {4096u, 100u, 0u}) {
    UseImage(length);
    link.writes.clear();
    EXPECT_EQ(BlockCount(length), 0);
    EXPECT_EQ(ImageBytesSent(length), 0u);
    EXPECT_EQ(SendFW(handle), 0);
    ASSERT_EQ(link.writes.size(), 1u);  // only the closing byte
    EXPECT_EQ(link.writes[0], std::vector<uint8_t>{0x04});
  }
  SelectModelForTest("KW3");
  EXPECT_EQ(BlockCount(0xFFFFFFFFu), 33554432);
}

TEST_F(TransferTest, ImageShorterThanItsLengthIsFilledNotOverread) {
  SelectModelForTest("QD");
  UseImage(300);
  fileLength = 1000;  // a length the image does not have
  EXPECT_EQ(SendFW(handle), 0);
  ASSERT_EQ(link.writes.size(), 5u);
  EXPECT_EQ(std::count(link.writes[1].begin() + 3 + 44, link.writes[1].end() - 2, 0x1A), 212);
  EXPECT_EQ(Data(2), std::vector<uint8_t>(256, 0x1A));
}

TEST_F(TransferTest, ResentBlockIsTheSameAndKeepsItsNumber) {
  SelectModelForTest("KW3");
  UseImage(300);
  link.Answers({0x06, 0x15, -1, 0x06, 0x06});
  link.writeCounts = {133, 133, 133, 100};
  EXPECT_EQ(SendFW(handle), 0);
  ASSERT_EQ(link.writes.size(), 7u);  // block 1, block 2 four times, block 3, close
  for (size_t i = 2; i <= 4; ++i) EXPECT_EQ(link.writes[i], link.writes[1]);
  EXPECT_EQ(link.writes[1][1], 2);
  EXPECT_EQ(link.writes[5][1], 3);
  EXPECT_EQ(TotalErrCounter(), 3);
  EXPECT_EQ(ErrCounter(), 0);
  EXPECT_EQ(link.progressAtWrite[5], 50);  // 2 of 3 + 1
}

TEST_F(TransferTest, CountsStartAfreshForEveryBlock) {
  SelectModelForTest("KW3");
  UseImage(256);
  link.Answers({-1, -1, -1, -1, -1, 0x06, -1, -1, -1, -1, -1, 0x06});
  EXPECT_EQ(SendFW(handle), 0);
  EXPECT_EQ(TotalErrCounter(), 10);

  UseImage(256);
  link.Answers({0x06, -1, -1, -1, -1, -1, -1});
  EXPECT_EQ(SendFW(handle), kLoaderFailed);
  EXPECT_EQ(ErrCounter(), 6);
}

TEST_F(TransferTest, FlashWriteErrorEndsAtOnceButNotOnTheClosingByte) {
  SelectModelForTest("QD");
  UseImage(1024);
  link.Answers({-1, 0x16});
  totalErrCounter = 3;
  EXPECT_EQ(SendFW(handle), kFlashWriteError);
  EXPECT_EQ(link.writes.size(), 2u);  // no retry after 0x16
  EXPECT_EQ(ErrCounter(), 1);         // the read failure before it
  EXPECT_EQ(TotalErrCounter(), 4);    // 0x16 itself is not counted
  EXPECT_EQ(flashStatus.load(), kFlashProgramming);

  UseImage(256);
  link.writes.clear();
  link.Answers({0x06, 0x16, 0x16, 0x06});
  EXPECT_EQ(SendFW(handle), 0);
  EXPECT_EQ(link.writes.size(), 4u);  // the closing byte three times

  UseImage(256);
  link.Answers({0x06, 0x16, 0x16, 0x16, 0x16, 0x16, 0x16});
  EXPECT_EQ(SendFW(handle), kLoaderFailed);
  EXPECT_EQ(progress.load(), 50);
}

}  // namespace

// An acknowledge that comes twice (or late) stays waiting on the line; it must not pass for the
// answer to the next block or to the closing byte.
TEST_F(TransferTest, StaleAcknowledgeIsNotTakenForTheNextAnswer) {
  SelectModelForTest("KW3");
  UseImage(128);
  link.ackUnscripted = false;
  link.Reply(std::vector<uint8_t>{0x06, 0x06});  // the block's answer, and a stale one behind it
  link.Silence(6);                               // the closing byte is never acknowledged
  EXPECT_EQ(SendFW(handle), kLoaderFailed);
  EXPECT_EQ(link.writes.size(), 7u);  // the block, then the closing byte six times
  EXPECT_LT(progress.load(), 100);
}
