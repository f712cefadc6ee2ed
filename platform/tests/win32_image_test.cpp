// Runs under wine: the program's own "BIN"/8 resource is the image the build generated.
#include <gtest/gtest.h>

#include "core/image.h"
#include "firmware_digest.h"
#include "platform/platform.h"

namespace {

uint64_t Fnv1a64(const uint8_t* data, size_t n) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= data[i];
    h *= 0x100000001B3ull;
  }
  return h;
}

TEST(Win32Image, ResourceOfOwnModuleIsTheGeneratedImage) {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  void* handle = nullptr;
  ASSERT_TRUE(ThisSystem().LoadFirmwareImage(&data, &size, &handle));
  EXPECT_EQ(size, FIRMWARE_IMAGE_SIZE);
  EXPECT_EQ(Fnv1a64(data, size), FIRMWARE_IMAGE_FNV1A64);
  ThisSystem().FreeFirmwareImage(handle);
}

TEST(Win32Image, BurnLoadReadsFromTheFirstByteEveryTime) {
  ASSERT_TRUE(LoadFirmware());
  EXPECT_EQ(fileLength, FIRMWARE_IMAGE_SIZE);
  uint8_t first[16], again[16];
  ASSERT_EQ(FileRead(first, 16), 16u);
  ASSERT_TRUE(LoadFirmware());
  ASSERT_EQ(FileRead(again, 16), 16u);
  EXPECT_EQ(0, memcmp(first, again, 16));
  CloseFile();
}

}  // namespace
