#include "burn_state.h"

#include <cstring>
#include <mutex>

char selectedComPort[kPortNameSize];
int32_t ComSelidx = 0;
int32_t totalComPort = 0;
WindowHandle hComPortList = nullptr;
BurnParam paramStruct = {nullptr, nullptr};
LinkHandle hSerial = INVALID_LINK_HANDLE;

std::atomic<int32_t> flashStatus{0};
std::atomic<int32_t> progress{0};
std::atomic<int32_t> errCounter{0};
std::atomic<int32_t> totalErrCounter{0};
std::atomic<int32_t> elapsedTime{0};
uint8_t MH_fu_version = 0;
std::atomic<bool> burnRunning{false};

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
