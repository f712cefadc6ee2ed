#include "link/transfer.h"

#include <array>
#include <cstring>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "link/exchange.h"
#include "link/loader.h"

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kWriteError = 0x16;
constexpr uint8_t kFill = 0x1A;

constexpr int kHeaderSize = 3;  // STX, number, complement
constexpr int kCrcSize = 2;

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint16_t r = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
    }
    table[i] = r;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x1021 && kCrcTable[255] == 0x1EF0, "CRC-16/XMODEM table");

// One block or the closing byte under the exchange rule, with fresh counts; errCounter starts at 0.
template <typename Judge>
ExchangeEnd SendUnit(LinkHandle link, const uint8_t* bytes, uint32_t length, Judge&& judge) {
  uint8_t reply[1] = {};
  FailureCounts counts;
  errCounter.store(0, std::memory_order_relaxed);
  return RunExchange(Exchange{link, bytes, length, reply, sizeof reply, false, false}, counts,
                     judge);
}

}  // namespace

int CRC(const uint8_t* data, int length) {
  uint16_t crc = 0;
  for (int i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>(crc << 8 ^ kCrcTable[(crc >> 8 ^ data[i]) & 0xFF]);
  }
  return crc;
}

uint32_t CeilDiv(uint32_t n, uint32_t d) {
  return n / d + (n % d != 0 ? 1 : 0);
}

uint32_t ImageBytesSent(uint32_t imageLength) {
  if (!InSectorSet()) return imageLength;
  return imageLength > kKeptBackBytes ? imageLength - kKeptBackBytes : 0;
}

int32_t BlockCount(uint32_t imageLength) {
  // At most 2^32 / 128 blocks: always a positive int32_t.
  return static_cast<int32_t>(CeilDiv(ImageBytesSent(imageLength), SelectedModel().blockSize));
}

uint8_t SendFW(LinkHandle link) {
  SetNormalTimeouts(link);
  const int dataSize = SelectedModel().blockSize;
  const uint32_t bytesSent = ImageBytesSent(fileLength);
  const int32_t count = BlockCount(fileLength);
  const uint32_t lastBlockBytes = bytesSent % static_cast<uint32_t>(dataSize);
  flashStatus.store(kFlashProgramming, std::memory_order_relaxed);
  progress.store(0, std::memory_order_relaxed);

  uint8_t block[kHeaderSize + kLargestBlock + kCrcSize];
  uint8_t* const data = block + kHeaderSize;
  const uint32_t blockLength = static_cast<uint32_t>(kHeaderSize + dataSize + kCrcSize);
  uint8_t number = 1;
  int32_t acknowledged = 0;
  for (int32_t b = 0; b < count; ++b) {
    block[0] = kStx;
    block[1] = number;
    block[2] = static_cast<uint8_t>(~number);
    const uint32_t wanted =
        b == count - 1 && lastBlockBytes != 0 ? lastBlockBytes : static_cast<uint32_t>(dataSize);
    // FileRead stops at the image's end; whatever it could not give is fill, like a short last
    // block.
    const uint32_t got = FileRead(data, wanted);
    std::memset(data + got, kFill, static_cast<size_t>(dataSize) - got);
    const int crc = CRC(data, dataSize);
    data[dataSize] = static_cast<uint8_t>(crc >> 8);
    data[dataSize + 1] = static_cast<uint8_t>(crc);

    BeginRequest(BurnRequest::kBlock, static_cast<uint32_t>(b) + 1, static_cast<uint32_t>(count));
    const ExchangeEnd end = SendUnit(link, block, blockLength, [](const uint8_t* r) {
      return r[0] == kWriteError ? Verdict::Stop : AcceptIf(r[0] == kAck);
    });
    if (end == ExchangeEnd::Stopped) return kFlashWriteError;
    if (end == ExchangeEnd::Exhausted) return kLoaderFailed;
    ++number;
    ++acknowledged;
    progress.store(static_cast<int32_t>(int64_t{acknowledged} * 100 / (int64_t{count} + 1)),
                   std::memory_order_relaxed);
  }

  // After the last block a flash write error has no meaning: 0x16 is just not an acknowledge.
  static constexpr uint8_t kClose[] = {kEot};
  BeginRequest(BurnRequest::kClosingByte);
  if (SendUnit(link, kClose, 1, [](const uint8_t* r) { return AcceptIf(r[0] == kAck); }) !=
      ExchangeEnd::Accepted) {
    return kLoaderFailed;
  }
  progress.store(100, std::memory_order_relaxed);
  errCounter.store(0, std::memory_order_relaxed);
  return kLoaderOk;
}
