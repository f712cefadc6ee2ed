// The simulator's own codings, checked against published values: a mistake here would make every
// test of the tool that runs against the simulator lie.
#include "sim/codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plcsim {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

TEST(Frame, ProbeFrameDecodesWithZeroSum) {
  std::vector<uint8_t> bytes;
  ASSERT_EQ(DecodeFrame(":006401590141\r\n", bytes), FrameError::kNone);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0x64, 0x01, 0x59, 0x01}));
  EXPECT_EQ(Lrc(bytes.data(), bytes.size()), 0x41);
}

TEST(Frame, EncodesEveryRequestOfTheTableExactly) {
  EXPECT_EQ(EncodeFrame({0x00, 0x7F}), ":007F81\r\n");
  EXPECT_EQ(EncodeFrame({0x00, 0x64, 0x01, 0x5B, 0x01}), ":0064015B013F\r\n");
  EXPECT_EQ(EncodeFrame({0x00, 0x03, 0x13, 0xE9, 0x00, 0x01}), ":000313E9000100\r\n");
  EXPECT_EQ(EncodeFrame({0x00, 0x64, 0x01, 0x5B, 'E', 'R', 'A', 'S', 'E'}),
            ":0064015B4552415345D0\r\n");
  EXPECT_EQ(EncodeFrame({0x00, 0x64, 0x01, 0x59, 0x06}), ":00640159063C\r\n");
}

TEST(Frame, RefusesWhatARealPlcWouldDrop) {
  std::vector<uint8_t> bytes;
  EXPECT_EQ(DecodeFrame(":006401590142\r\n", bytes), FrameError::kBadLrc);
  EXPECT_EQ(DecodeFrame(":0064015b013F\r\n", bytes), FrameError::kLowerCase);
  EXPECT_EQ(DecodeFrame(":00640159014G\r\n", bytes), FrameError::kBadCharacter);
  EXPECT_EQ(DecodeFrame(":00640159014\r\n", bytes), FrameError::kOddLength);
  EXPECT_EQ(DecodeFrame(":006401590141\n", bytes), FrameError::kNoEnd);
  EXPECT_EQ(DecodeFrame("006401590141\r\n", bytes), FrameError::kNoStart);
  EXPECT_EQ(DecodeFrame(":0000\r\n", bytes), FrameError::kTooShort);
  EXPECT_EQ(DecodeFrame("", bytes), FrameError::kNoStart);
  EXPECT_EQ(DecodeFrame(":", bytes), FrameError::kNoEnd);
}

TEST(Crc, MatchesTheCheckValueAndTheTableEntries) {
  const std::vector<uint8_t> digits = Bytes("123456789");
  EXPECT_EQ(Crc16Xmodem(digits.data(), digits.size()), 0x31C3);
  EXPECT_EQ(Crc16Xmodem(nullptr, 0), 0x0000);
  // A single byte b from a zero register gives table entry b.
  const uint8_t one = 0x01, last = 0xFF;
  EXPECT_EQ(Crc16Xmodem(&one, 1), 0x1021);
  EXPECT_EQ(Crc16Xmodem(&last, 1), 0x1EF0);
}

TEST(Sha256, MatchesPublishedDigests) {
  EXPECT_EQ(Sha256Hex(nullptr, 0),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::vector<uint8_t> abc = Bytes("abc");
  EXPECT_EQ(Sha256Hex(abc.data(), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first padding block.
  const std::vector<uint8_t> two =
      Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq");
  EXPECT_EQ(Sha256Hex(two.data(), two.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::vector<uint8_t> million(1000000, 'a');
  EXPECT_EQ(Sha256Hex(million.data(), million.size()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace plcsim
