#include "link/loader.h"

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "link/exchange.h"
#include "link/transfer.h"

namespace {

// Command words go out bare: no terminator, no frame.
constexpr char kId[] = "ID";
constexpr char kVersion[] = "VERSION";
constexpr char kErase[] = "ERASE";
constexpr char kUpdate[] = "UPDATE";

constexpr char kClose[] = {kEot, '\0'};

Verdict AcceptAck(const uint8_t* reply) {
  return AcceptIf(reply[0] == kAck);
}

// A command word under the exchange rule, with failure counts of its own: true when acknowledged.
template <size_t N>
bool Acknowledged(LinkHandle link, const char* word, uint8_t (&reply)[N],
                  unsigned attempts = kMaxAttempts) {
  return Accepted(TextExchange(link, word, reply, N, false), AcceptAck, attempts);
}

void ClearErrCounter() {
  errCounter.store(0, std::memory_order_relaxed);
}

}  // namespace

uint8_t CheckID_B(LinkHandle link) {
  SetNormalTimeouts(link);
  BeginRequest(BurnRequest::kLoaderIdentity);
  const uint16_t selected = selectedPLCID.load(std::memory_order_relaxed);
  const bool usb = InUsbSet();
  // The COM models with ID 12 accept a loader reporting 12 or 13; that acceptance leaves
  // errCounter showing the refused replies before it.
  const bool twelveOrThirteen = !usb && selected == 12;
  uint8_t reply[3] = {};
  if (!Accepted(TextExchange(link, kId, reply, sizeof reply, false), [&](const uint8_t* r) {
        const uint16_t id = static_cast<uint16_t>(r[1] << 8 | r[2]);
        if (r[0] == kAck) {
          burnDetail.identity.modelIdRead = true;
          burnDetail.identity.modelId = id;
        }
        // COM loaders report the ID without the variant bit 15.
        const bool fits = usb                ? id == selected
                          : twelveOrThirteen ? id == 12 || id == 13
                                             : id == (selected & 0x7FFF);
        return AcceptIf(r[0] == kAck && fits);
      })) {
    return kLoaderFailed;
  }
  if (!twelveOrThirteen) ClearErrCounter();
  return kLoaderOk;
}

uint8_t read_fu_version_B() {
  const LinkHandle link = hSerial;
  SetNormalTimeouts(link);
  BeginRequest(BurnRequest::kLoaderVersion);
  uint8_t reply[3] = {};
  if (!Acknowledged(link, kVersion, reply)) return kLoaderFailed;
  // The low nibble of V1 is the major version, the high nibble of V2 the minor.
  MH_fu_version = static_cast<uint8_t>(reply[1] << 4 | reply[2] >> 4);
  burnDetail.identity.bootLoaderVersionRead = true;
  burnDetail.identity.bootLoaderVersion = MH_fu_version;
  ClearErrCounter();
  return kLoaderOk;
}

uint16_t EraseUnitCount(uint32_t imageLength) {
  const EraseUnits& units = SelectedModel().erase;
  // A sector kept back is never erased either; an image no longer than it leaves nothing to erase.
  const uint32_t n = ImageBytesSent(imageLength);
  uint32_t count = units.size;
  if (units.rule == kPlusOne) count = n / units.size + 1;
  if (units.rule == kRoundUp) count = CeilDiv(n, units.size);
  // Only an image far beyond every size limit gets here; a count cut short would leave part of
  // the flash unerased without notice, so the erase runs as far as the counter reaches.
  return count > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(count);
}

uint8_t SendErase_B(LinkHandle link) {
  SetNormalTimeouts(link);
  const uint16_t count = EraseUnitCount(fileLength);
  // The sector set has one attempt per unit: a missed acknowledge ends the erase instead of
  // sending "ERASE" for the same unit again.
  const unsigned attemptsPerUnit = InSectorSet() ? 1 : kMaxAttempts;
  flashStatus.store(kFlashErasing, std::memory_order_relaxed);
  progress.store(0, std::memory_order_relaxed);
  uint8_t reply[1] = {};
  for (uint16_t unit = 0; unit < count; ++unit) {
    BeginRequest(BurnRequest::kEraseUnit, unit + 1u, count);
    if (!Acknowledged(link, kErase, reply, attemptsPerUnit)) return kLoaderFailed;
    ClearErrCounter();
    progress.store(static_cast<int32_t>(uint32_t{unit} * 100 / count), std::memory_order_relaxed);
  }
  BeginRequest(BurnRequest::kClosingByte);
  if (!Acknowledged(link, kClose, reply)) return kLoaderFailed;
  ClearErrCounter();
  progress.store(100, std::memory_order_relaxed);
  return kLoaderOk;
}

uint8_t SendUpdate(LinkHandle link) {
  SetNormalTimeouts(link);
  BeginRequest(BurnRequest::kUpdate);
  uint8_t reply[1] = {};
  if (!Acknowledged(link, kUpdate, reply)) return kLoaderFailed;
  LinkPlat().SetLine(link, kLoaderLine);
  ClearErrCounter();
  return kLoaderOk;
}
