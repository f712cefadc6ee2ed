// The product's platform: Win32 serial communications, SetupAPI device enumeration, the combo
// box, the module's own resources and the message box.
#include <windows.h>
// setupapi.h needs windows.h before it.
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"

namespace {

HANDLE H(LinkHandle link) {
  return static_cast<HANDLE>(link);
}

GUID ToGUID(const Guid& g) {
  GUID out = {g.data1, g.data2, g.data3, {}};
  std::memcpy(out.Data4, g.data4, sizeof out.Data4);
  return out;
}

class Win32Platform : public SystemPlatform {
 public:
  LinkHandle OpenLink(const char* path, OpenMode mode) override {
    const bool com = mode == OpenMode::ComPort;
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                       com ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       com ? FILE_ATTRIBUTE_NORMAL : 0, nullptr);
  }

  void CloseLink(LinkHandle link) override {
    if (link != INVALID_LINK_HANDLE && link != nullptr) CloseHandle(H(link));
  }

  uint32_t WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) override {
    DWORD written = 0;
    WriteFile(H(link), data, count, &written, nullptr);
    return written;
  }

  uint32_t ReadLink(LinkHandle link, uint8_t* data, uint32_t count) override {
    DWORD got = 0;
    ReadFile(H(link), data, count, &got, nullptr);
    return got > count ? count : got;
  }

  void SetLine(LinkHandle link, const LineSettings& s) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(H(link), &dcb);
    dcb.BaudRate = s.baudRate;
    dcb.ByteSize = s.byteSize;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stopBits;
    dcb.fDtrControl = s.dtrControl;
    dcb.fRtsControl = s.rtsControl;
    SetCommState(H(link), &dcb);
  }

  void SetTimeouts(LinkHandle link, const LinkTimeouts& t) override {
    COMMTIMEOUTS ct = {t.readIntervalTimeout, t.readTotalTimeoutMultiplier,
                       t.readTotalTimeoutConstant, t.writeTotalTimeoutMultiplier,
                       t.writeTotalTimeoutConstant};
    SetCommTimeouts(H(link), &ct);
  }

  void PurgeInput(LinkHandle link) override { PurgeComm(H(link), PURGE_RXCLEAR); }

  bool ListPresentDevices(std::vector<PresentDevice>& devices) override {
    HDEVINFO set =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    char name[1024];
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
      std::memset(name, 0, sizeof name);
      PresentDevice d;
      d.hasFriendlyName = SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                                            reinterpret_cast<PBYTE>(name),
                                                            sizeof name - 1, nullptr) != FALSE;
      if (d.hasFriendlyName) d.friendlyName.assign(name, strnlen(name, sizeof name));
      devices.push_back(std::move(d));
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
  }

  bool ListDeviceInterfaces(const Guid& interfaceClass,
                            std::vector<DeviceInterface>& interfaces) override {
    GUID guid = ToGUID(interfaceClass);
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; i < 0x7FFFFFFF; ++i) {
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) {
        if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
        continue;
      }
      DeviceInterface entry{false, std::string()};
      DWORD required = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
      if (required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        std::vector<char> buffer(required + 1, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
          size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
          entry.hasPath = true;
          entry.path.assign(detail->DevicePath, strnlen(detail->DevicePath, required - offset));
        }
      }
      interfaces.push_back(std::move(entry));
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
  }

  // A named mutex per link, Global\MorvexPlcLink.NAME: its existence is the hold, and closing
  // the last handle, or the end of the process that holds it, gives it back. Global\ rather than
  // Local\: the PLC hangs on the computer, not on a logon session, and a window in another
  // session (a user switched in, a remote desktop) reaches the same port or device. A mutex needs
  // no privilege to be created there. Any other failure than an existing mutex (another user's,
  // which may deny this one access; an object of another kind by that name) refuses too, and
  // tells a debugger why.
  LinkHold HoldLink(const char* name) override {
    const std::string objectName = std::string("Global\\MorvexPlcLink.") + name;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, objectName.c_str());
    const DWORD error = GetLastError();
    if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) return mutex;
    if (mutex != nullptr) {
      CloseHandle(mutex);
      return nullptr;
    }
    char text[300];
    std::snprintf(text, sizeof text, "MorvexFirmwareUpdate: link hold %s refused, error %lu\n",
                  objectName.c_str(), static_cast<unsigned long>(error));
    OutputDebugStringA(text);
    return nullptr;
  }
  void ReleaseLink(LinkHold hold) override {
    if (hold != nullptr) CloseHandle(static_cast<HANDLE>(hold));
  }
  // The mutex opened, never created: only a name that no object has is free.
  bool LinkHeld(const char* name) override {
    const std::string objectName = std::string("Global\\MorvexPlcLink.") + name;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, objectName.c_str());
    if (mutex == nullptr) return GetLastError() != ERROR_FILE_NOT_FOUND;
    CloseHandle(mutex);
    return true;
  }

  bool LoadFirmwareImage(const uint8_t** data, uint32_t* size, void** handle) override {
    HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(8), "BIN");
    if (res == nullptr) return false;
    HGLOBAL global = LoadResource(nullptr, res);
    if (global == nullptr) return false;
    const void* bytes = LockResource(global);
    if (bytes == nullptr) {
      FreeResource(global);
      return false;
    }
    *data = static_cast<const uint8_t*>(bytes);
    *size = SizeofResource(nullptr, res);
    *handle = global;
    return true;
  }
  void FreeFirmwareImage(void* handle) override { FreeResource(static_cast<HGLOBAL>(handle)); }

  void ShowMessage(WindowHandle owner, const char* text, const char* caption,
                   MessageIcon icon) override {
    UINT type = MB_OK | (icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONINFORMATION);
    MessageBoxA(static_cast<HWND>(owner), text, caption, type);
  }
  void SleepSeconds(unsigned seconds) override { Sleep(seconds * 1000u); }
};

}  // namespace

SystemPlatform& ThisSystem() {
  static Win32Platform platform;
  return platform;
}
