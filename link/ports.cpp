#include "link/ports.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/burn_state.h"

const Guid USB_DRIVER_GUID = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

const char kUsbMatch[] = "vid_fff0&pid_0001";

namespace {

constexpr size_t kMaxPortName = kPortNameSize - 1;

// The key the window's sorted lists compare by: hyphens left out, letters in upper case.
std::string WordKey(const std::string& s) {
  std::string key;
  for (const char c : s) {
    if (c == '-') continue;
    key += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return key;
}

constexpr size_t kMaxHoldName = 160;

// The hold of the running burn and the name it holds; only the worker thread touches them.
LinkHold linkHold = nullptr;
std::string heldLink;

enum class HoldTaken { kRefused, kHeldBefore, kNow };

// Holds `name` unless it is held here already. Refused when another window holds it, or for an
// empty name; what was held here before is then kept.
HoldTaken TakeLinkHold(const std::string& name) {
  if (name.empty()) return HoldTaken::kRefused;
  if (linkHold != nullptr && name == heldLink) return HoldTaken::kHeldBefore;
  const LinkHold hold = Plat().HoldLink(name.c_str());
  if (hold == nullptr) return HoldTaken::kRefused;
  ReleaseLinkHold();
  linkHold = hold;
  heldLink = name;
  return HoldTaken::kNow;
}

// Opens a link under the hold `name`: `open` runs only once it is held, and a hold taken here
// for a link that does not open is given back.
template <typename Open>
LinkHandle OpenHeld(const std::string& name, Open open) {
  const HoldTaken taken = TakeLinkHold(name);
  if (taken == HoldTaken::kRefused) return INVALID_LINK_HANDLE;
  const LinkHandle link = open();
  if (link == INVALID_LINK_HANDLE && taken == HoldTaken::kNow) ReleaseLinkHold();
  return link;
}

// A COM port name without the device namespace it may come in.
const char* BarePortName(const char* name) {
  return std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
}

// Accepts one interface: copies its path into `devicePath`, and opens it when the path holds
// kUsbMatch.
LinkHandle OpenOneDevice(const DeviceInterface& device, std::string& devicePath) {
  if (!device.hasPath) return INVALID_LINK_HANDLE;
  devicePath = device.path;
  if (devicePath.find(kUsbMatch) == std::string::npos) return INVALID_LINK_HANDLE;
  return LinkPlat().OpenLink(devicePath.c_str(), OpenMode::UsbDevice);
}

}  // namespace

void ReleaseLinkHold() {
  if (linkHold != nullptr) Plat().ReleaseLink(linkHold);
  linkHold = nullptr;
  heldLink.clear();
}

// The hold names are kept by every later version of the program (see link/ports.h): windows of
// two versions must refuse each other a PLC.
const char kUsbHoldName[] = "@usb";

std::string ComHoldName(const char* port) {
  std::string name;
  for (const char* c = BarePortName(port); *c != '\0'; ++c) {
    const char lower = *c >= 'A' && *c <= 'Z' ? static_cast<char>(*c - 'A' + 'a') : *c;
    const bool kept = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') ||
                      std::strchr("-_.#&{}", lower) != nullptr;
    name += kept ? lower : '_';
  }
  if (name.size() <= kMaxHoldName) return name;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char tail[18];
  std::snprintf(tail, sizeof tail, ".%016llx", static_cast<unsigned long long>(hash));
  return name.substr(0, kMaxHoldName - 17) + tail;
}

bool PortNameFromFriendlyName(const char* friendlyName, char out[10]) {
  std::memset(out, 0, kPortNameSize);
  const char* open = std::strstr(friendlyName, "(COM");
  if (open == nullptr) return false;
  const char* start = open + 1;
  const char* close = std::strrchr(friendlyName, ')');
  if (close == nullptr || close < start) return false;
  const size_t length = static_cast<size_t>(close - start);
  if (length > kMaxPortName) return false;
  std::memcpy(out, start, length);
  return true;
}

bool SortedListOrder(const std::string& a, const std::string& b) {
  return WordKey(a) < WordKey(b);
}

bool ListComPorts(std::vector<std::string>& ports) {
  std::vector<PresentDevice> devices;
  if (!Plat().ListPresentDevices(devices)) return false;
  ports.clear();
  char name[kPortNameSize];
  for (const PresentDevice& device : devices) {
    if (!device.hasFriendlyName || !PortNameFromFriendlyName(device.friendlyName.c_str(), name)) {
      continue;
    }
    ports.push_back(name);
  }
  // Stable: names of one key keep the order they were found in, as the sorted list keeps them.
  std::stable_sort(ports.begin(), ports.end(), SortedListOrder);
  return true;
}

LinkHandle OpenComLink(const char* name) {
  return OpenHeld(ComHoldName(name), [name] {
    // COM10 and above open only through the device namespace; COM1 to COM9 open either way.
    const std::string path = std::string("\\\\.\\") + BarePortName(name);
    return LinkPlat().OpenLink(path.c_str(), OpenMode::ComPort);
  });
}

LinkHandle OpenMyDevPipe(const char* pipeSuffix) {
  return OpenHeld(kUsbHoldName, [pipeSuffix] {
    std::string path;
    if (GetUsbDeviceFileName(USB_DRIVER_GUID, path) == 0) return INVALID_LINK_HANDLE;
    path += '\\';
    path += pipeSuffix;
    return LinkPlat().OpenLink(path.c_str(), OpenMode::UsbDevice);
  });
}

int GetUsbDeviceFileName(const Guid& interfaceClass, std::string& devicePath) {
  const LinkHandle probe = OpenUsbDevice(interfaceClass, devicePath);
  if (probe == INVALID_LINK_HANDLE) return 0;
  LinkPlat().CloseLink(probe);
  return 1;
}

LinkHandle OpenUsbDevice(const Guid& interfaceClass, std::string& devicePath) {
  return OpenHeld(kUsbHoldName, [&interfaceClass, &devicePath] {
    std::vector<DeviceInterface> interfaces;
    if (!Plat().ListDeviceInterfaces(interfaceClass, interfaces)) return INVALID_LINK_HANDLE;
    for (const DeviceInterface& device : interfaces) {
      const LinkHandle handle = OpenOneDevice(device, devicePath);
      if (handle != INVALID_LINK_HANDLE) return handle;
    }
    return INVALID_LINK_HANDLE;
  });
}
