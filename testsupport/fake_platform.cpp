#include "testsupport/fake_platform.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "platform/embedded_image.h"

uint32_t ScriptedLink::Write(const uint8_t* data, uint32_t count) {
  writes.emplace_back(data, data + count);
  if (writeCounts.empty()) return count;
  uint32_t n = std::min(writeCounts.front(), count);
  writeCounts.pop_front();
  return n;
}

uint32_t ScriptedLink::Read(uint8_t* data, uint32_t count, const LinkTimeouts& timeouts) {
  readSizes.push_back(count);
  if (waiting.empty() && !replies.empty()) {
    waiting = std::move(replies.front());
    replies.pop_front();
  }
  uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(waiting.size()));
  std::copy(waiting.begin(), waiting.begin() + n, data);
  waiting.erase(waiting.begin(), waiting.begin() + n);
  if (n < count) waitedMs += timeouts.readTotalTimeoutConstant;
  return n;
}

namespace {
LinkPlatform* previousLink = nullptr;
Platform* previousPlatform = nullptr;
BurnWindow* previousWindow = nullptr;
const char* IconName(MessageIcon icon) {
  return icon == MessageIcon::Error ? "Error" : "Information";
}
}  // namespace

FakePlatform::FakePlatform() {
  UseEmbeddedImage();
}
FakePlatform::~FakePlatform() {
  for (const auto& h : holds_) ADD_FAILURE() << "hold of " << h.second << " never given back";
}

void FakePlatform::UseEmbeddedImage() {
  image.assign(EmbeddedFirmwareData(), EmbeddedFirmwareData() + EmbeddedFirmwareSize());
}

void FakePlatform::Record(std::string event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<std::string> FakePlatform::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void FakePlatform::ClearEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

std::vector<std::string> FakePlatform::Messages() const {
  std::vector<std::string> out;
  for (const std::string& e : Events()) {
    if (e.rfind("message ", 0) == 0) out.push_back(e.substr(8));
  }
  return out;
}

int FakePlatform::OpenLinkCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& l : links_) n += l->open ? 1 : 0;
  return n;
}

FakePlatform::OpenLinkState* FakePlatform::Find(LinkHandle link) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& l : links_) {
    if (static_cast<void*>(l.get()) == link) return l->open ? l.get() : nullptr;
  }
  return nullptr;
}

LinkHandle FakePlatform::OpenLink(const char* path, OpenMode mode) {
  LinkEndpoint* endpoint = opener ? opener(path, mode) : nullptr;
  const char* kind = mode == OpenMode::ComPort ? "COM" : "USB";
  if (endpoint == nullptr) {
    Record(std::string("open failed ") + kind + " " + path);
    return INVALID_LINK_HANDLE;
  }
  Record(std::string("open ") + kind + " " + path);
  auto state = std::make_unique<OpenLinkState>(OpenLinkState{endpoint, LinkTimeouts{}, true});
  LinkHandle handle = state.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    links_.push_back(std::move(state));
  }
  endpoint->Opened();
  return handle;
}

void FakePlatform::CloseLink(LinkHandle link) {
  OpenLinkState* s = Find(link);
  Record("close");
  if (s == nullptr) return;
  s->open = false;
  s->endpoint->Closed();
}

uint32_t FakePlatform::WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) {
  OpenLinkState* s = Find(link);
  return s == nullptr ? 0 : s->endpoint->Write(data, count);
}

uint32_t FakePlatform::ReadLink(LinkHandle link, uint8_t* data, uint32_t count) {
  OpenLinkState* s = Find(link);
  return s == nullptr ? 0 : s->endpoint->Read(data, count, s->timeouts);
}

void FakePlatform::SetLine(LinkHandle link, const LineSettings& settings) {
  if (OpenLinkState* s = Find(link)) s->endpoint->SetLine(settings);
}

void FakePlatform::SetTimeouts(LinkHandle link, const LinkTimeouts& timeouts) {
  lastTimeouts = timeouts;
  if (OpenLinkState* s = Find(link)) s->timeouts = timeouts;
}

void FakePlatform::PurgeInput(LinkHandle link) {
  if (OpenLinkState* s = Find(link)) s->endpoint->PurgeInput();
}

bool FakePlatform::ListPresentDevices(std::vector<PresentDevice>& out) {
  if (!devicesAvailable) return false;
  out = devices;
  return true;
}

bool FakePlatform::ListDeviceInterfaces(const Guid&, std::vector<DeviceInterface>& out) {
  if (!interfacesAvailable) return false;
  out = interfaces;
  return true;
}

LinkHold FakePlatform::HoldLink(const char* name) {
  static std::atomic<uintptr_t> lastHold{0};
  LinkHold system = nullptr;
  if (!systemHoldPrefix.empty()) {
    system = ThisSystem().HoldLink((systemHoldPrefix + name).c_str());
    if (system == nullptr) return nullptr;
  }
  uintptr_t hold = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool held = system == nullptr && heldElsewhere.count(name) != 0;
    for (const auto& h : holds_) held = held || h.second == name;
    if (held) return nullptr;
    hold = ++lastHold;
    holds_[hold] = name;
    if (system != nullptr) systemHolds_[hold] = system;
  }
  if (onHoldStep) onHoldStep(name);
  return reinterpret_cast<LinkHold>(hold);
}

void FakePlatform::ReleaseLink(LinkHold hold) {
  std::string name;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto at = holds_.find(reinterpret_cast<uintptr_t>(hold));
    // On Windows a second CloseHandle may close whatever reused the handle; natively, a
    // descriptor.
    if (at == holds_.end()) {
      ADD_FAILURE() << "a hold given back that is not held: released twice, or never taken";
      return;
    }
    name = at->second;
    holds_.erase(at);
    const auto system = systemHolds_.find(reinterpret_cast<uintptr_t>(hold));
    if (system != systemHolds_.end()) {
      ThisSystem().ReleaseLink(system->second);
      systemHolds_.erase(system);
    }
  }
  if (onHoldStep) onHoldStep(name);
}

bool FakePlatform::LinkHeld(const char* name) {
  bool held = false;
  if (!systemHoldPrefix.empty()) {
    held = ThisSystem().LinkHeld((systemHoldPrefix + name).c_str());
  } else {
    std::lock_guard<std::mutex> lock(mutex_);
    held = heldElsewhere.count(name) != 0;
    for (const auto& h : holds_) held = held || h.second == name;
  }
  if (onHoldStep) onHoldStep(name);
  return held;
}

std::set<std::string> FakePlatform::HeldLinks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<std::string> names;
  for (const auto& h : holds_) names.insert(h.second);
  return names;
}

bool FakePlatform::LoadFirmwareImage(const uint8_t** data, uint32_t* size, void** handle) {
  Record("image load");
  if (!imageAvailable) return false;
  *data = image.data();
  *size = static_cast<uint32_t>(image.size());
  *handle = &image;
  std::lock_guard<std::mutex> lock(mutex_);
  ++imageLoadsOutstanding_;
  return true;
}

void FakePlatform::FreeFirmwareImage(void*) {
  Record("image free");
  std::lock_guard<std::mutex> lock(mutex_);
  --imageLoadsOutstanding_;
}

void FakePlatform::ShowMessage(WindowHandle, const char* text, const char* caption,
                               MessageIcon icon) {
  Record(std::string("message ") + caption + "|" + IconName(icon) + "|" + text);
  if (onMessage) onMessage(text, caption, icon);
}

void FakePlatform::EnableControl(WindowHandle, bool enable) {
  Record(enable ? "enable 1" : "enable 0");
}

void FakePlatform::StopTimer(WindowHandle, int timerId) {
  Record("kill timer " + std::to_string(timerId));
}

void FakePlatform::SleepSeconds(unsigned seconds) {
  Record("sleep " + std::to_string(seconds));
}

ScopedPlatform::ScopedPlatform(FakePlatform& p) {
  previousLink = &LinkPlat();
  previousPlatform = &Plat();
  previousWindow = TheBurnWindow();
  SetLinkPlatform(&p);
  SetPlatform(&p);
  SetBurnWindow(&p);
}

ScopedPlatform::~ScopedPlatform() {
  SetLinkPlatform(previousLink);
  SetPlatform(previousPlatform);
  SetBurnWindow(previousWindow);
}

void SelectModelForTest(const char* name) {
  if (!SelectPLCByName(name)) {
    std::fprintf(stderr, "unknown model %s\n", name);
    std::abort();
  }
  std::memset(selectedPLC, 0, sizeof selectedPLC);
  std::strncpy(selectedPLC, name, sizeof selectedPLC - 1);
}

void ResetBurnStateForTest() {
  CloseFile();
  fileLength = 0;
  selectedPLCIdx = 0;
  selectedPLCID = 0;
  std::memset(selectedPLC, 0, sizeof selectedPLC);
  SetSelectedComPort("");
  hSerial = INVALID_LINK_HANDLE;
  ResetBurnCounters();
  MH_fu_version = 0;
  burnRunning = false;
}
