#include "platform.h"

#include <atomic>

namespace {
std::atomic<Platform*> current{nullptr};
}

Platform& Plat() {
  Platform* p = current.load(std::memory_order_acquire);
  return p ? *p : DefaultPlatform();
}

void SetPlatform(Platform* platform) { current.store(platform, std::memory_order_release); }
