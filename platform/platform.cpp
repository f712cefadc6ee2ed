#include "platform.h"

#include <atomic>

namespace {
std::atomic<LinkPlatform*> currentLink{nullptr};
std::atomic<Platform*> current{nullptr};
std::atomic<BurnWindow*> burnWindow{nullptr};
}  // namespace

LinkPlatform& LinkPlat() {
  LinkPlatform* p = currentLink.load(std::memory_order_acquire);
  return p ? *p : ThisSystem();
}

Platform& Plat() {
  Platform* p = current.load(std::memory_order_acquire);
  return p ? *p : ThisSystem();
}

void SetLinkPlatform(LinkPlatform* link) {
  currentLink.store(link, std::memory_order_release);
}
void SetPlatform(Platform* platform) {
  current.store(platform, std::memory_order_release);
}

BurnWindow* TheBurnWindow() {
  return burnWindow.load(std::memory_order_acquire);
}
void SetBurnWindow(BurnWindow* window) {
  burnWindow.store(window, std::memory_order_release);
}
