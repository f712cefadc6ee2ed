// The platform of a native (non-Windows) build: the POSIX serial link, lock files for the link
// holds, the image linked into the program, message boxes written to standard error, and no device
// enumeration.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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

  // A lock file per link in the temporary directory; the lock goes with the open file, so with
  // the process too. The hold carries the file descriptor plus one.
  LinkHold HoldLink(const char* name) override {
    const std::string path = std::string("/tmp/morvex-link-") + name + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return nullptr;
    }
    return reinterpret_cast<LinkHold>(static_cast<intptr_t>(fd) + 1);
  }
  void ReleaseLink(LinkHold hold) override {
    if (hold != nullptr) ::close(static_cast<int>(reinterpret_cast<intptr_t>(hold)) - 1);
  }

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
