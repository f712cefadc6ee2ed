// Fuzzes the decoding and judgement of PLC replies: the frame decoder directly, and every request
// against a link whose replies (and short writes) come from the fuzzer's input. Besides memory
// errors, a result outside a request's set of codes or a counter beyond the rule's limits is a
// crash.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "link/exchange.h"
#include "link/loader.h"
#include "link/monitor.h"
#include "link/transfer.h"
#include "platform/platform.h"

namespace {

// A link whose every read takes the next reply from the input: a length byte, then that many
// bytes (or what is left). Writes come up short when the flags say so.
class FuzzPlatform : public LinkPlatform {
 public:
  const uint8_t* in = nullptr;
  size_t left = 0;
  uint8_t shortWriteEvery = 0;  // 0: never
  unsigned writes = 0;

  LinkHandle OpenLink(const char*, OpenMode) override { return this; }
  void CloseLink(LinkHandle) override {}
  uint32_t WriteLink(LinkHandle, const uint8_t*, uint32_t count) override {
    ++writes;
    if (shortWriteEvery != 0 && writes % shortWriteEvery == 0) return count / 2;
    return count;
  }
  uint32_t ReadLink(LinkHandle, uint8_t* data, uint32_t count) override {
    if (left == 0) return 0;
    size_t n = *in++ % 24;
    --left;
    if (n > left) n = left;
    const size_t copied = n < count ? n : count;
    std::memcpy(data, in, copied);
    in += n;
    left -= n;
    return static_cast<uint32_t>(copied);
  }
  void SetLine(LinkHandle, const LineSettings&) override {}
  void SetTimeouts(LinkHandle, const LinkTimeouts&) override {}
  void PurgeInput(LinkHandle) override {}
};

void Require(bool condition) {
  if (!condition) std::abort();
}

bool OneOf(uint8_t value, std::initializer_list<uint8_t> set) {
  for (uint8_t v : set) {
    if (v == value) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  static FuzzPlatform platform;
  SetLinkPlatform(&platform);

  // The decoder on its own, over a copy of the input.
  {
    std::vector<char> text(data, data + size);
    const uint8_t count = static_cast<uint8_t>(size > 255 ? 255 : size);
    const uint8_t sum = CheckLRC(text.data(), count);
    (void)sum;
  }

  const uint8_t request = data[0];
  SelectPLCByName(plcList[data[1] % kModelCount]);
  platform.shortWriteEvery = data[2] % 5;
  const uint32_t imageLength = static_cast<uint32_t>(data[3]) * 23;
  platform.in = data + 4;
  platform.left = size - 4;
  platform.writes = 0;
  ResetBurnCounters();
  LinkHandle link = &platform;
  hSerial = link;

  switch (request % 11) {
    case 0:
      DummyComm(link);
      break;
    case 1:
      Require(OneOf(ConfirmComm(link), {5, 6, 17, 18, 21, 22, 23, 24}));
      break;
    case 2:
      Require(OneOf(CheckID_A(link), {0, 18, 19, 21, 23, 24}));
      break;
    case 3:
      Require(OneOf(SendErase_A(link), {0, 19, 20, 21, 23, 24}));
      break;
    case 4:
      READ_D1386(link);
      READ_D1001(link);
      READ_D1148(link);
      break;
    case 5:
      read_fu_version_A();
      break;
    case 6:
      Require(OneOf(CheckID_B(link), {0, 16}));
      break;
    case 7:
      Require(OneOf(read_fu_version_B(), {0, 16}));
      break;
    case 8:
    case 9:
    case 10: {
      Require(LoadFirmware());
      fileLength = imageLength;
      const uint8_t result = request % 11 == 8   ? SendErase_B(link)
                             : request % 11 == 9 ? SendUpdate(link)
                                                 : SendFW(link);
      Require(OneOf(result, {0, 16, 22}));
      Require(progress.load() >= 0 && progress.load() <= 100);
      CloseFile();
      break;
    }
  }
  Require(errCounter.load() >= 0 && errCounter.load() <= kMaxFailures);
  Require(totalErrCounter.load() >= 0);
  if (request % 11 >= 1 && request % 11 <= 7 && request % 11 != 4) {
    // One request: at most 11 attempts, the erase request's acknowledgements included.
    Require(platform.writes <= 2u * kMaxAttempts);
    Require(totalErrCounter.load() <= static_cast<int>(kMaxAttempts));
  }
  return 0;
}
