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

// The holds of the running burn; only the worker thread touches them.
LinkHolds burnHolds;

bool IsUsbDeviceHold(const std::string& name) {
  return name.rfind(std::string(kUsbHoldName) + ".", 0) == 0;
}

bool FreeNow(const std::string& name) {
  return !Plat().LinkHeld(name.c_str());
}

// The holds of the USB set (`isDevice` false) or of one device beside it. Each burn first makes
// its own hold seen, then checks for the other kind's: see link/ports.h.
bool TakeUsbHolds(const std::string& name, bool isDevice, LinkHolds& taken) {
  taken.link = Plat().HoldLink(name.c_str());
  if (taken.link == nullptr) return false;
  bool clear = true;
  if (isDevice) {
    for (int slot = 0; slot < kUsbSlots && taken.slot == nullptr; ++slot) {
      taken.slot = Plat().HoldLink(UsbSlotHoldName(slot).c_str());
    }
    clear = taken.slot != nullptr && FreeNow(kUsbHoldName);
  } else {
    for (int slot = 0; slot < kUsbSlots && clear; ++slot) clear = FreeNow(UsbSlotHoldName(slot));
  }
  if (!clear) GiveBackLinkHolds(taken);
  return clear;
}

// Opens a link under the hold `name`: `open` runs only once it is held, and a hold taken here
// for a link that does not open is given back.
template <typename Open>
LinkHandle OpenHeld(const std::string& name, Open open) {
  const HoldTaken taken = TakeLinkHolds(name, burnHolds);
  if (taken == HoldTaken::kRefused) return INVALID_LINK_HANDLE;
  const LinkHandle link = open();
  if (link == INVALID_LINK_HANDLE && taken == HoldTaken::kNow) ReleaseLinkHold();
  return link;
}

// The name a hold is made of: lower case, only the characters a hold name may hold, cut with a
// hash when too long.
std::string HoldNameOf(const std::string& prefix, const char* text) {
  std::string name = prefix;
  for (const char* c = text; *c != '\0'; ++c) {
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

std::string Lower(std::string s) {
  for (char& c : s) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return s;
}

// A COM port name without the device namespace it may come in.
const char* BarePortName(const char* name) {
  return std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
}

// The device of usbDevicePath opened by its bare path, when it is present (Windows names paths
// without regard to case). A PLC present under another path only is noted, never opened.
LinkHandle OpenChosenUsbDevice() {
  std::vector<std::string> paths;
  if (!ListUsbDevicePaths(USB_DRIVER_GUID, paths)) return INVALID_LINK_HANDLE;
  for (const std::string& path : paths) {
    if (Lower(path) == Lower(usbDevicePath)) {
      return LinkPlat().OpenLink(usbDevicePath.c_str(), OpenMode::UsbDevice);
    }
  }
  if (!paths.empty()) {
    usbPathNotTaken = paths.front();
    usbOtherPathSeen.store(true);
  }
  return INVALID_LINK_HANDLE;
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
  GiveBackLinkHolds(burnHolds);
}

void GiveBackLinkHolds(LinkHolds& holds) {
  if (holds.slot != nullptr) Plat().ReleaseLink(holds.slot);
  if (holds.link != nullptr) Plat().ReleaseLink(holds.link);
  holds = LinkHolds();
}

HoldTaken TakeLinkHolds(const std::string& name, LinkHolds& holds) {
  if (name.empty()) return HoldTaken::kRefused;
  if (holds.link != nullptr && name == holds.name) return HoldTaken::kHeldBefore;
  LinkHolds taken;
  const bool isDevice = IsUsbDeviceHold(name);
  if (isDevice || name == kUsbHoldName) {
    if (!TakeUsbHolds(name, isDevice, taken)) return HoldTaken::kRefused;
  } else {
    taken.link = Plat().HoldLink(name.c_str());
    if (taken.link == nullptr) return HoldTaken::kRefused;
  }
  GiveBackLinkHolds(holds);
  holds = taken;
  holds.name = name;
  return HoldTaken::kNow;
}

// The hold names are kept by every later version of the program (see link/ports.h): burns of two
// versions must refuse each other a PLC.
const char kUsbHoldName[] = "@usb";

std::string ComHoldName(const char* port) {
  return HoldNameOf("", BarePortName(port));
}

std::string UsbDeviceHoldName(const std::string& devicePath) {
  const char* path = devicePath.c_str();
  if (devicePath.rfind("\\\\?\\", 0) == 0) path += 4;
  return HoldNameOf(std::string(kUsbHoldName) + ".", path);
}

std::string UsbSlotHoldName(int slot) {
  return std::string(kUsbHoldName) + "#" + std::to_string(slot);
}

std::string usbDevicePath;
std::atomic<bool> usbOtherPathSeen{false};
std::string usbPathNotTaken;

bool ListUsbDevicePaths(const Guid& interfaceClass, std::vector<std::string>& paths) {
  std::vector<DeviceInterface> interfaces;
  if (!Plat().ListDeviceInterfaces(interfaceClass, interfaces)) return false;
  for (const DeviceInterface& device : interfaces) {
    if (device.hasPath && device.path.find(kUsbMatch) != std::string::npos) {
      paths.push_back(device.path);
    }
  }
  return true;
}

std::string UsbShortName(const std::string& devicePath) {
  const std::string product = std::string(kUsbMatch) + "#";
  const size_t at = devicePath.find(product);
  if (at == std::string::npos) return "";
  const size_t start = at + product.size();
  const size_t end = devicePath.find("#{", start);
  return devicePath.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::vector<std::string> UsbPathsNamed(const std::vector<std::string>& paths,
                                       const std::string& name) {
  std::vector<std::string> named;
  if (name.empty()) return named;
  for (const std::string& path : paths) {
    if (Lower(path).find(Lower(name)) != std::string::npos) named.push_back(path);
  }
  return named;
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
  if (!usbDevicePath.empty()) {
    return OpenHeld(UsbDeviceHoldName(usbDevicePath), [pipeSuffix] {
      const LinkHandle probe = OpenChosenUsbDevice();
      if (probe == INVALID_LINK_HANDLE) return INVALID_LINK_HANDLE;
      LinkPlat().CloseLink(probe);
      return LinkPlat().OpenLink((usbDevicePath + "\\" + pipeSuffix).c_str(), OpenMode::UsbDevice);
    });
  }
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
