#include "catalogue.h"

#include <cstring>

namespace {

constexpr SizeLimit k512K = {0x80000, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)"};
constexpr SizeLimit k896K = {0xE0000, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)"};
constexpr SizeLimit k4K = {4096, "The file size EXCEEDS the MAXIMUM size (4 * 1024)"};
constexpr SizeLimit k40K = {0xA000, "The file size EXCEEDS the MAXIMUM size (40 * 1024)"};
constexpr SizeLimit k2028K = {0x1FB000, "The file size EXCEEDS the MAXIMUM size (2028 * 1024)"};
constexpr SizeLimit k480K = {0x78000, "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)"};

constexpr auto Plus1 = [](uint32_t size) { return EraseUnits{kPlusOne, size}; };
constexpr auto RoundUp = [](uint32_t size) { return EraseUnits{kRoundUp, size}; };
constexpr auto Fixed = [](uint32_t count) { return EraseUnits{kFixed, count}; };

}  // namespace

// One row per model, in catalogue order. s: the seconds of the hand-over's wait; q: an unanswered
// erase request counts as accepted (silentErase); k: keeps back the last sector (keepsLastSector).
// clang-format off
constexpr ModelRow kModels[kModelCount] = {
//  name             ID     link  hand-over s  group q  erase units    block k  size    gate
  {"KL2-KR2-V2",     12,    kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kId12},
  {"PT2",            14,    kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kNoGate},
  {"PV2",            15,    kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kNoGate},
  {"PN2",            19,    kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kId19},
  {"KL2-G-V2",       12,    kCom, kRepower, 2, 0x59, 1, Plus1(131072), 128, 0, k512K,  kId12},
  {"QD",             21,    kUsb, kReplug,  2, 0x59, 0, Plus1(16384),  256, 0, k480K,  kId21},
  {"KW3",            0,     kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kNoGate},
  {"16KR2-AIO",      13,    kCom, kWait,    1, 0x5B, 0, Fixed(4),      256, 0, k4K,    kNoGate},
  {"PV-V3",          8,     kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kId8},
  {"BRT-KL2-V2",     40961, kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kIdA001},
  {"QD-R",           40962, kUsb, kReplug,  2, 0x59, 0, Plus1(16384),  256, 0, k480K,  kNoGate},
  {"PN2-R",          40963, kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kNoGate},
  {"MH700",          12288, kUsb, kReplug,  5, 0x59, 0, RoundUp(4096), 256, 1, k2028K, kAnyLoader},
  {"KL-KR-KW2",      3,     kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kNoGate},
  {"KR2-VAN",        40966, kCom, kRepower, 2, 0x59, 1, Plus1(131072), 128, 0, k512K,  kNoGate},
  {"PN32",           19,    kCom, kWait,    1, 0x59, 0, Plus1(131072), 128, 0, k512K,  kId19},
  {"KL2-N",          23,    kCom, kWait,    1, 0x59, 0, Plus1(131072), 128, 0, k896K,  kNoGate},
  {"MH500",          12304, kUsb, kReplug,  5, 0x59, 0, RoundUp(4096), 256, 1, k2028K, kAnyLoader},
  {"MH500-AIO",      12304, kUsb, kReplug,  5, 0x5B, 0, RoundUp(2048), 256, 0, k40K,   kLoaderV10},
  {"QD24",           21,    kUsb, kReplug,  2, 0x59, 0, Plus1(131072), 128, 0, k896K,  kId21},
  {"KL3-KR3",        32,    kUsb, kReplug,  5, 0x59, 0, RoundUp(4096), 256, 1, k2028K, kAnyLoader},
  {"VGT-Y",          40971, kUsb, kReplug,  5, 0x59, 0, RoundUp(4096), 256, 1, k2028K, kAnyLoader},
  {"MH400",          12320, kUsb, kReplug,  5, 0x59, 0, RoundUp(4096), 256, 1, k2028K, kAnyLoader},
  {"KR3-AIO",        32,    kUsb, kReplug,  5, 0x5B, 0, RoundUp(2048), 256, 0, k40K,   kLoaderV12},
  {"KL2-KR2-V4",     12,    kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kId12},
  {"PV-V4",          8,     kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kId8},
  {"BRT-KL2-V4",     40961, kCom, kWait,    1, 0x59, 0, Plus1(2048),   128, 0, k480K,  kIdA001},
  {"KL3-PACKAGE",    32,    kUsb, kReplug,  5, 0x59, 0, RoundUp(4096), 256, 1, k2028K, kAnyLoader},
  {"KL2-G-V4",       12,    kCom, kRepower, 2, 0x59, 1, Plus1(131072), 128, 0, k512K,  kId12},
  {"MB3PV3",         34,    kUsb, kReplug,  5, 0x59, 0, RoundUp(4096), 256, 1, k2028K, kAnyLoader},
  {"PV3-AIO",        34,    kUsb, kReplug,  5, 0x5B, 0, RoundUp(2048), 256, 0, k40K,   kLoaderV10},
  {"MH500-TO-MH700", 12304, kUsb, kReplug,  5, 0x59, 0, RoundUp(4096), 256, 1, k2028K, kAnyLoader},
};
// clang-format on

namespace {

// The facts the requests and the driver take for granted of every row, checked as it compiles.
template <typename Rule>
constexpr bool EveryRow(Rule rule) {
  for (const ModelRow& m : kModels) {
    if (!rule(m)) return false;
  }
  return true;
}
static_assert(EveryRow([](const ModelRow& m) {
                return (m.link == kUsb) == (m.handOver == kReplug);
              }),
              "a replug prompt for every model reached over USB, and for no other");
static_assert(EveryRow([](const ModelRow& m) { return m.handOver != kRepower || m.link == kCom; }),
              "a power prompt only for a model on a COM port");
static_assert(EveryRow([](const ModelRow& m) {
                return m.blockSize > 0 && m.blockSize <= kLargestBlock;
              }),
              "a block size the transfer's block buffer holds");
static_assert(EveryRow([](const ModelRow& m) {
                return m.group == kPlainGroup || m.group == kAioGroup;
              }),
              "a group byte of the monitor-mode requests: 0x59, or 0x5B for the AIO set");
static_assert(EveryRow([](const ModelRow& m) {
                return !m.keepsLastSector ||
                       (m.erase.rule == kRoundUp && m.erase.size == kKeptBackBytes &&
                        m.sizeLimit.bytes == 2028 * 1024);
              }),
              "a model that keeps back its last sector erases 4,096-byte sectors, rounded up, "
              "and takes at most 2,028 KB");

struct NamesAndIds {
  char names[kModelCount][kModelNameSize];
  uint16_t ids[kModelCount];
};

constexpr NamesAndIds MakeNamesAndIds() {
  NamesAndIds t{};
  for (int i = 0; i < kModelCount; ++i) {
    int k = 0;
    for (; kModels[i].name[k] != '\0'; ++k) t.names[i][k] = kModels[i].name[k];
    t.names[i][k] = '\0';  // a name too long for its entry does not compile
    t.ids[i] = kModels[i].id;
  }
  return t;
}

constexpr NamesAndIds kNamesAndIds = MakeNamesAndIds();

}  // namespace

const char (&plcList)[kModelCount][kModelNameSize] = kNamesAndIds.names;
const uint16_t (&plcID)[kModelCount] = kNamesAndIds.ids;

std::atomic<int32_t> selectedPLCIdx{0};
std::atomic<uint16_t> selectedPLCID{0};
char selectedPLC[kModelNameSize];

const ModelRow& SelectedModel() {
  const int32_t idx = selectedPLCIdx.load(std::memory_order_relaxed);
  return kModels[idx >= 0 && idx < kModelCount ? idx : 0];
}

bool IsModel(const char* name) {
  return std::strcmp(SelectedModel().name, name) == 0;
}

bool IsOneOf(const char* const* names, int count) {
  for (int i = 0; i < count; ++i) {
    if (IsModel(names[i])) return true;
  }
  return false;
}

bool InUsbSet() {
  return SelectedModel().link == kUsb;
}
bool InAioSet() {
  return SelectedModel().group == kAioGroup;
}
bool InSectorSet() {
  return SelectedModel().keepsLastSector;
}

bool NameInUsbSet(const char* name) {
  for (const ModelRow& row : kModels) {
    if (std::strcmp(row.name, name) == 0) return row.link == kUsb;
  }
  return false;
}

bool SelectPLCByName(const char* name) {
  bool found = false;
  for (int i = 0; i < kModelCount; ++i) {
    if (std::strcmp(plcList[i], name) == 0) {
      selectedPLCIdx.store(i, std::memory_order_relaxed);
      selectedPLCID.store(plcID[i], std::memory_order_relaxed);
      found = true;
    }
  }
  return found;
}

void ModelPartOfImageName(const char* imageName, char out[kModelNameSize]) {
  std::memset(out, 0, kModelNameSize);
  const char* underscore = std::strchr(imageName, '_');
  if (underscore == nullptr) return;
  size_t length = static_cast<size_t>(underscore - imageName);
  if (length > kModelNameSize - 1) return;
  std::memcpy(out, imageName, length);
}
