// The platform of a native (non-Windows) build: the POSIX serial link, the image linked into the
// program, message boxes written to standard error, and no device enumeration.
#include <unistd.h>

#include <cstdio>

#include "embedded_image.h"
#include "platform.h"
#include "posix_serial.h"

namespace {

class PosixPlatform : public SystemPlatform {
 public:
  LinkHandle OpenLink(const char* path, OpenMode) override {
    // A Windows device-namespace name ("\\.\COM3") has no meaning here; open the rest as a path.
    if (path[0] == '\\' && path[1] == '\\' && path[2] == '.' && path[3] == '\\') path += 4;
    return PosixOpenLink(path);
  }
  void CloseLink(LinkHandle link) override { PosixCloseLink(link); }
  uint32_t WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) override {
    return PosixWriteLink(link, data, count);
  }
  uint32_t ReadLink(LinkHandle link, uint8_t* data, uint32_t count) override {
    return PosixReadLink(link, data, count);
  }
  void SetLine(LinkHandle link, const LineSettings& s) override { PosixSetLine(link, s); }
  void SetTimeouts(LinkHandle link, const LinkTimeouts& t) override { PosixSetTimeouts(link, t); }
  void PurgeInput(LinkHandle link) override { PosixPurgeInput(link); }

  bool LoadFirmwareImage(const uint8_t** data, uint32_t* size, void** handle) override {
    *data = EmbeddedFirmwareData();
    *size = EmbeddedFirmwareSize();
    *handle = const_cast<uint8_t*>(*data);
    return true;
  }

  void FreeFirmwareImage(void*) override {}

  bool ListPresentDevices(std::vector<PresentDevice>&) override { return false; }
  bool ListDeviceInterfaces(const Guid&, std::vector<DeviceInterface>&) override { return false; }
  void ListAddString(WindowHandle, const char*) override {}
  void ListDeleteString(WindowHandle, int) override {}
  void ListSetCurSel(WindowHandle, int) override {}
  void EnableControl(WindowHandle, bool) override {}
  void StopTimer(WindowHandle, int) override {}
  void ShowMessage(WindowHandle, const char* text, const char* caption, MessageIcon) override {
    std::fprintf(stderr, "[%s] %s\n", caption, text);
  }
  void SleepSeconds(unsigned seconds) override { ::sleep(seconds); }
};

}  // namespace

SystemPlatform& ThisSystem() {
  static PosixPlatform platform;
  return platform;
}
