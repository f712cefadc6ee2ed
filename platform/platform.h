// The operating-system services the portable code needs, behind two small interfaces: the link to
// the PLC, and the rest.
//
// The protocol, the burn driver and the port discovery logic never call the operating system
// directly: they call LinkPlat() and Plat(), which are the Win32 implementation in the product and
// test doubles (or the POSIX serial link) in native builds; a double that only plays a line
// implements only the link. Only platform/win32_platform.cpp, console/os_win32.cpp and ui/
// include windows.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A link handle has the representation of a Win32 HANDLE; all bits set is the only failure value.
typedef void* LinkHandle;
#define INVALID_LINK_HANDLE (reinterpret_cast<LinkHandle>(static_cast<intptr_t>(-1)))

// A window or control (an HWND in the product).
typedef void* WindowHandle;

// A hold on a link (see Platform::HoldLink); null is no hold.
typedef void* LinkHold;

// Line parameters, with the values of the Win32 DCB fields.
enum : uint8_t { kNoParity = 0, kOddParity = 1, kEvenParity = 2 };
enum : uint8_t { kOneStopBit = 0 };
enum : uint8_t { kDtrControlDisable = 0, kRtsControlDisable = 0 };
struct LineSettings {
  uint32_t baudRate;
  uint8_t byteSize;
  uint8_t parity;
  uint8_t stopBits;
  uint8_t dtrControl;
  uint8_t rtsControl;
};

// Read and write time-outs, with the meaning of the Win32 COMMTIMEOUTS fields (milliseconds).
struct LinkTimeouts {
  uint32_t readIntervalTimeout;
  uint32_t readTotalTimeoutMultiplier;
  uint32_t readTotalTimeoutConstant;
  uint32_t writeTotalTimeoutMultiplier;
  uint32_t writeTotalTimeoutConstant;
};

// How a path is opened: a COM port exclusively with FILE_ATTRIBUTE_NORMAL, a USB device path
// shared for reading and writing with no flags.
enum class OpenMode { ComPort, UsbDevice };

enum class MessageIcon { Error, Information };

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// One present device of the all-classes listing: its friendly name, when it could be read.
struct PresentDevice {
  bool hasFriendlyName;
  std::string friendlyName;
};

// One interface of a device interface class, in enumeration order: its device path, when the
// detail record could be fetched.
struct DeviceInterface {
  bool hasPath;
  std::string path;
};

// The link: a COM port or the USB device. Only the byte counts of writes and reads decide anything.
class LinkPlatform {
 public:
  virtual ~LinkPlatform() = default;

  virtual LinkHandle OpenLink(const char* path, OpenMode mode) = 0;
  virtual void CloseLink(LinkHandle link) = 0;
  virtual uint32_t WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) = 0;
  // Reads up to count bytes within the read time-out in force; returns how many arrived.
  virtual uint32_t ReadLink(LinkHandle link, uint8_t* data, uint32_t count) = 0;
  // Reads the current settings, changes the given fields, writes them back; results ignored.
  virtual void SetLine(LinkHandle link, const LineSettings& settings) = 0;
  virtual void SetTimeouts(LinkHandle link, const LinkTimeouts& timeouts) = 0;
  // Discards what has arrived and not been read: it cannot answer a request not yet written.
  virtual void PurgeInput(LinkHandle link) = 0;
};

// The rest of the system's services: the devices present, the link holds, the image, the message
// box and the wait.
class Platform {
 public:
  virtual ~Platform() = default;

  // Device enumeration. Each returns false when the device set cannot be obtained.
  virtual bool ListPresentDevices(std::vector<PresentDevice>& devices) = 0;
  virtual bool ListDeviceInterfaces(const Guid& interfaceClass,
                                    std::vector<DeviceInterface>& interfaces) = 0;

  // A hold on the link `name` against every other hold of that name on this computer, so that
  // two windows of the program never burn one PLC. The name is kUsbHoldName or one of ComHoldName
  // (link/ports.h): lower-case letters, digits and "-_.#&{}@", at most 160 characters; the object
  // or file a platform makes of it is as much a contract between versions as the name. Returns
  // null when it is held already, and when the hold cannot be made (then with the reason where a
  // support engineer finds it: the debugger output on Windows, standard error elsewhere).
  // Release gives back a hold HoldLink gave, once; a process that ends gives back its holds.
  virtual LinkHold HoldLink(const char* name) = 0;
  virtual void ReleaseLink(LinkHold hold) = 0;
  // Whether a hold of `name` exists on this computer (this process's own included), found
  // without taking one: two burns that look at once do not refuse each other. True also when
  // that cannot be told.
  virtual bool LinkHeld(const char* name) = 0;

  // The firmware image embedded in the program. Load gives its bytes, size and a handle that
  // Free releases; it returns false when the image cannot be found or loaded.
  virtual bool LoadFirmwareImage(const uint8_t** data, uint32_t* size, void** handle) = 0;
  virtual void FreeFirmwareImage(void* handle) = 0;

  // A message box has only an OK button and blocks the calling thread until the operator closes
  // it.
  virtual void ShowMessage(WindowHandle owner, const char* text, const char* caption,
                           MessageIcon icon) = 0;

  // A wait of whole seconds.
  virtual void SleepSeconds(unsigned seconds) = 0;
};

// What a burn asks of the window that started it: its "Start Burn" button and its timer of the
// elapsed seconds. The main window (ui/) is one; a front end without a window may install its
// own, or none.
class BurnWindow {
 public:
  virtual ~BurnWindow() = default;
  virtual void EnableControl(WindowHandle control, bool enable) = 0;
  virtual void StopTimer(WindowHandle window, int timerId) = 0;
};

// The burn's window in use, or null for none.
BurnWindow* TheBurnWindow();
void SetBurnWindow(BurnWindow* window);

// The link and the platform in use: those of this build unless a test installs its own (null puts
// back those of this build).
LinkPlatform& LinkPlat();
Platform& Plat();
void SetLinkPlatform(LinkPlatform* link);
void SetPlatform(Platform* platform);

// Both of this build in one: Win32 on Windows; on other systems the POSIX serial link, with the
// image linked into the program and message boxes printed on standard error.
class SystemPlatform : public LinkPlatform, public Platform {};
SystemPlatform& ThisSystem();
