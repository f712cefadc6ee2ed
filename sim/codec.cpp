#include "sim/codec.h"

#include <array>
#include <cstring>

namespace plcsim {

namespace {
const char kDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

uint8_t Lrc(const uint8_t* data, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return static_cast<uint8_t>(-sum);
}

std::string EncodeFrame(const std::vector<uint8_t>& bytes) {
  std::string out = ":";
  auto put = [&out](uint8_t b) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  };
  for (uint8_t b : bytes) put(b);
  put(Lrc(bytes.data(), bytes.size()));
  out += "\r\n";
  return out;
}

const char* FrameErrorText(FrameError e) {
  switch (e) {
    case FrameError::kNone:
      return "sound";
    case FrameError::kNoStart:
      return "no start character";
    case FrameError::kNoEnd:
      return "no CR LF at the end";
    case FrameError::kOddLength:
      return "odd number of hex digits";
    case FrameError::kLowerCase:
      return "lower-case hex digit";
    case FrameError::kBadCharacter:
      return "character that is no hex digit";
    case FrameError::kBadLrc:
      return "LRC does not match";
    case FrameError::kTooShort:
      return "too short";
  }
  return "?";
}

FrameError DecodeFrame(const std::string& text, std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (text.empty() || text[0] != ':') return FrameError::kNoStart;
  if (text.size() < 3 || text.compare(text.size() - 2, 2, "\r\n") != 0) return FrameError::kNoEnd;
  const size_t digits = text.size() - 3;
  if (digits % 2 != 0) return FrameError::kOddLength;
  for (size_t i = 1; i <= digits; ++i) {
    const char c = text[i];
    if (c >= 'a' && c <= 'f') return FrameError::kLowerCase;
    if (HexValue(c) < 0) return FrameError::kBadCharacter;
  }
  if (digits / 2 < 3) return FrameError::kTooShort;
  uint8_t sum = 0;
  for (size_t i = 1; i <= digits; i += 2) {
    const uint8_t b = static_cast<uint8_t>(HexValue(text[i]) << 4 | HexValue(text[i + 1]));
    bytes.push_back(b);
    sum = static_cast<uint8_t>(sum + b);
  }
  if (sum != 0) {
    bytes.clear();
    return FrameError::kBadLrc;
  }
  bytes.pop_back();  // the LRC
  return FrameError::kNone;
}

uint16_t Crc16Xmodem(const uint8_t* data, size_t n) {
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000u) ? (crc << 1) ^ 0x1021u : crc << 1;
    }
  }
  return static_cast<uint16_t>(crc);
}

namespace {
const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

void Compress(std::array<uint32_t, 8>& h, const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = static_cast<uint32_t>(block[4 * i]) << 24 |
           static_cast<uint32_t>(block[4 * i + 1]) << 16 |
           static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                        kRoundConstants[i] + w[i];
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += k;
}
}  // namespace

std::string Sha256Hex(const uint8_t* data, size_t n) {
  std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  size_t whole = n - n % 64;
  for (size_t i = 0; i < whole; i += 64) Compress(h, data + i);
  uint8_t tail[128] = {};
  const size_t rest = n - whole;
  if (rest > 0) std::memcpy(tail, data + whole, rest);
  tail[rest] = 0x80;
  const size_t tailLen = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(n) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLen - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t i = 0; i < tailLen; i += 64) Compress(h, tail + i);
  std::string out;
  static const char kLower[] = "0123456789abcdef";
  for (uint32_t word : h) {
    for (int shift = 28; shift >= 0; shift -= 4) out += kLower[(word >> shift) & 0xF];
  }
  return out;
}

std::string HexByte(uint8_t b) {
  std::string s = "0x";
  s += kDigits[b >> 4];
  s += kDigits[b & 0x0F];
  return s;
}

}  // namespace plcsim
