#include "catalogue.h"

#include <cstring>

const char plcList[kModelCount][kModelNameSize] = {
    "KL2-KR2-V2", "PT2",        "PV2",        "PN2",           "KL2-G-V2",   "QD",
    "KW3",        "16KR2-AIO",  "PV-V3",      "BRT-KL2-V2",    "QD-R",       "PN2-R",
    "MH700",      "KL-KR-KW2",  "KR2-VAN",    "PN32",          "KL2-N",      "MH500",
    "MH500-AIO",  "QD24",       "KL3-KR3",    "VGT-Y",         "MH400",      "KR3-AIO",
    "KL2-KR2-V4", "PV-V4",      "BRT-KL2-V4", "KL3-PACKAGE",   "KL2-G-V4",   "MB3PV3",
    "PV3-AIO",    "MH500-TO-MH700",
};

const uint16_t plcID[kModelCount] = {
    12,    14,    15,    19,    12,    21,    0,     13,    8,     40961, 40962,
    40963, 12288, 3,     40966, 19,    23,    12304, 12304, 21,    32,    40971,
    12320, 32,    12,    8,     40961, 32,    12,    34,    34,    12304,
};

std::atomic<int32_t> selectedPLCIdx{0};
std::atomic<uint16_t> selectedPLCID{0};
char selectedPLC[kModelNameSize];

namespace {

const char* const kUsbSet[] = {"QD",      "QD-R",        "MH700", "MH500",   "MH500-AIO",
                               "QD24",    "KL3-KR3",     "KL3-PACKAGE", "VGT-Y", "MH400",
                               "KR3-AIO", "MB3PV3",      "PV3-AIO", "MH500-TO-MH700"};
const char* const kAioSet[] = {"16KR2-AIO", "MH500-AIO", "KR3-AIO", "PV3-AIO"};
const char* const kSectorSet[] = {"MH700", "MH500",  "KL3-KR3", "KL3-PACKAGE",
                                  "VGT-Y", "MH400",  "MB3PV3",  "MH500-TO-MH700"};

template <size_t N>
bool Contains(const char* const (&set)[N], const char* name) {
  for (const char* member : set) {
    if (std::strcmp(member, name) == 0) return true;
  }
  return false;
}

const char* SelectedName() {
  int32_t idx = selectedPLCIdx.load(std::memory_order_relaxed);
  if (idx < 0 || idx >= kModelCount) return "";
  return plcList[idx];
}

}  // namespace

bool IsModel(const char* name) { return std::strcmp(SelectedName(), name) == 0; }

bool IsOneOf(const char* const* names, int count) {
  for (int i = 0; i < count; ++i) {
    if (IsModel(names[i])) return true;
  }
  return false;
}

bool InUsbSet() { return Contains(kUsbSet, SelectedName()); }
bool InAioSet() { return Contains(kAioSet, SelectedName()); }
bool InSectorSet() { return Contains(kSectorSet, SelectedName()); }
bool NameInUsbSet(const char* name) { return Contains(kUsbSet, name); }

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
