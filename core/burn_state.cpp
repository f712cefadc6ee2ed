#include "burn_state.h"

#include <cstring>
#include <mutex>

char selectedComPort[kPortNameSize];
LinkHandle hSerial = INVALID_LINK_HANDLE;

std::atomic<int32_t> flashStatus{0};
std::atomic<int32_t> progress{0};
std::atomic<int32_t> errCounter{0};
std::atomic<int32_t> totalErrCounter{0};
std::atomic<int32_t> elapsedTime{0};
uint8_t MH_fu_version = 0;
std::atomic<bool> burnRunning{false};
BurnDetail burnDetail = {};
std::atomic<int32_t> burnEnding{-1};

namespace {
std::mutex comPortMutex;
}

void SetSelectedComPort(const char* name) {
  std::lock_guard<std::mutex> lock(comPortMutex);
  std::memset(selectedComPort, 0, sizeof selectedComPort);
  std::strncpy(selectedComPort, name, kPortNameSize - 1);
}

void GetSelectedComPort(char out[kPortNameSize]) {
  std::lock_guard<std::mutex> lock(comPortMutex);
  std::memcpy(out, selectedComPort, kPortNameSize);
  out[kPortNameSize - 1] = '\0';
}

void ResetBurnCounters() {
  elapsedTime.store(0, std::memory_order_relaxed);
  flashStatus.store(0, std::memory_order_relaxed);
  progress.store(0, std::memory_order_relaxed);
  errCounter.store(0, std::memory_order_relaxed);
  totalErrCounter.store(0, std::memory_order_relaxed);
}

namespace {

template <typename E, size_t N>
const char* NameIn(const char* const (&names)[N], E value) {
  const auto at = static_cast<size_t>(value);
  return at < N ? names[at] : "";
}

}  // namespace

const char* RequestName(BurnRequest request) {
  static const char* const kNames[] = {
      "",           "probe",   "identity",      "d1386",           "d1001",
      "d1148",      "version", "erase-request", "loader-identity", "loader-version",
      "erase-unit", "update",  "block",         "closing-byte"};
  return NameIn(kNames, request);
}

const char* ReplyClassName(ReplyClass reply) {
  static const char* const kNames[] = {
      "none",           "not-written", "no-reply",         "short",
      "undecodable",    "refused",     "negative-class-1", "negative-class-2",
      "negative-other", "write-error", "accepted"};
  return NameIn(kNames, reply);
}

const char* PlcModeName(PlcMode mode) {
  static const char* const kNames[] = {"unknown", "monitor", "loader"};
  return NameIn(kNames, mode);
}

const char* GateRegisterName(GateRegister r) {
  static const char* const kNames[] = {"D1386", "D1001", "D1148"};
  return NameIn(kNames, r);
}

const char* PlcLeftName(PlcLeft left) {
  static const char* const kNames[] = {"untouched", "firmware",     "boot-loader",
                                       "erased",    "new-firmware", "unknown"};
  return NameIn(kNames, left);
}

void ClearBurnDetail() {
  burnDetail = {};
  burnEnding.store(-1);
}

void BeginRequest(BurnRequest request, uint32_t index, uint32_t of) {
  burnDetail.current = {request, index, of, 0, ReplyClass::kNone};
}
