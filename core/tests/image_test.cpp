#include "core/image.h"

#include <gtest/gtest.h>

#include <vector>

#include "firmware_digest.h"
#include "testsupport/fake_platform.h"

namespace {

uint64_t Fnv1a64(const uint8_t* data, size_t n) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= data[i];
    h *= 0x100000001B3ull;
  }
  return h;
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetBurnStateForTest(); }
  void TearDown() override { ResetBurnStateForTest(); }
  FakePlatform platform;
  ScopedPlatform scoped{platform};
};

TEST_F(ImageTest, EmbeddedImageIsTheGeneratedOne) {
  ASSERT_TRUE(LoadFirmware());
  EXPECT_EQ(fileLength, FIRMWARE_IMAGE_SIZE);
  std::vector<uint8_t> all(fileLength);
  EXPECT_EQ(FileRead(all.data(), fileLength), fileLength);
  EXPECT_EQ(Fnv1a64(all.data(), all.size()), FIRMWARE_IMAGE_FNV1A64);
  // Not a run of zeros anywhere near the size of a block: a misplaced byte shows.
  size_t longestZeroRun = 0, run = 0;
  for (uint8_t b : all) {
    run = b == 0 ? run + 1 : 0;
    longestZeroRun = std::max(longestZeroRun, run);
  }
  EXPECT_LT(longestZeroRun, 8u);
  CloseFile();
}

TEST_F(ImageTest, SequentialReadsAndReloadStartFromTheFirstByte) {
  platform.image = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_TRUE(LoadFirmware());
  EXPECT_EQ(fileLength, 10u);
  uint8_t a[4] = {}, b[4] = {};
  EXPECT_EQ(FileRead(a, 4), 4u);
  EXPECT_EQ(FileRead(b, 4), 4u);
  EXPECT_EQ(std::vector<uint8_t>(a, a + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{5, 6, 7, 8}));

  ASSERT_TRUE(LoadFirmware());  // a second burn reads from the first byte again
  EXPECT_EQ(FileRead(a, 4), 4u);
  EXPECT_EQ(a[0], 1);
  CloseFile();
  // Each load was released exactly once.
  int loads = 0, frees = 0;
  for (const auto& e : platform.Events()) {
    loads += e == "image load";
    frees += e == "image free";
  }
  EXPECT_EQ(loads, 2);
  EXPECT_EQ(frees, 2);
}

TEST_F(ImageTest, ReadingNeverGoesPastTheEnd) {
  platform.image = {1, 2, 3, 4, 5};
  ASSERT_TRUE(LoadFirmware());
  uint8_t buf[8];
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  EXPECT_EQ(FileRead(buf, 8), 5u);
  EXPECT_EQ(buf[4], 5);
  EXPECT_EQ(buf[5], 0xEE);  // untouched beyond the image
  EXPECT_EQ(FileRead(buf, 8), 0u);
  EXPECT_EQ(FileRead(buf, 0xFFFFFFFFu), 0u);
  CloseFile();
  EXPECT_EQ(FileRead(buf, 1), 0u);  // nothing loaded: nothing read
}

TEST_F(ImageTest, MissingImageIsRefusedWithNoCursor) {
  platform.imageAvailable = false;
  EXPECT_FALSE(LoadFirmware());
  EXPECT_EQ(fin, nullptr);
  uint8_t buf[4];
  EXPECT_EQ(FileRead(buf, 4), 0u);
  CloseFile();  // harmless
}

}  // namespace
