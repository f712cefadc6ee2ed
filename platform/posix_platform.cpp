// The platform of a native (non-Windows) build: the POSIX serial link, lock files for the link
// holds, the image linked into the program, message boxes written to standard error, and no device
// enumeration.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

  // A lock file per link, /tmp/morvex-link-NAME.lock, one for every user of the computer: its
  // lock is the hold, and goes with the open file, so with the process too. The file is opened
  // for reading only, never through a symbolic link, and created only where there is none: a
  // file of another user is locked as it stands, never written or taken over (a sticky directory
  // may refuse to create-open it anyway). One created here is readable by everyone whatever the
  // umask, so that it refuses no other user once its lock is given back; the files stay, since
  // removing one would race with another's open of it. The hold carries the file descriptor
  // plus one.
  LinkHold HoldLink(const char* name) override {
    const std::string path = LockPath(name);
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0444);
      if (fd >= 0 && ::fchmod(fd, 0444) != 0) return Refuse(fd, path, "cannot be made readable");
      // Made by another meanwhile: open it as theirs.
      if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), flags);
    }
    if (fd < 0) return Refuse(fd, path, std::strerror(errno));
    if (!IsFile(fd)) return Refuse(fd, path, "not a file");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      // Another window's hold; anything else is worth telling.
      return errno == EWOULDBLOCK ? Refuse(fd, "", "") : Refuse(fd, path, std::strerror(errno));
    }
    return reinterpret_cast<LinkHold>(static_cast<intptr_t>(fd) + 1);
  }
  // A shared lock taken and given back at once: shared locks do not refuse each other, so
  // burns that look at once see only the holds.
  bool LinkHeld(const char* name) override {
    const std::string path = LockPath(name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno != ENOENT;
    const bool held = !IsFile(fd) || ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
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
  void ShowMessage(WindowHandle, const char* text, const char* caption, MessageIcon) override {
    std::fprintf(stderr, "[%s] %s\n", caption, text);
  }
  void SleepSeconds(unsigned seconds) override { ::sleep(seconds); }

 private:
  static std::string LockPath(const char* name) {
    return std::string("/tmp/morvex-link-") + name + ".lock";
  }
  static bool IsFile(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  }
  // No hold: closes what was opened, and tells why on standard error unless `why` is empty.
  static LinkHold Refuse(int fd, const std::string& path, const char* why) {
    if (*why != '\0') std::fprintf(stderr, "link hold %s refused: %s\n", path.c_str(), why);
    if (fd >= 0) ::close(fd);
    return nullptr;
  }
};

}  // namespace

SystemPlatform& ThisSystem() {
  static PosixPlatform platform;
  return platform;
}
