// Finding the ports a PLC can be reached through, and opening the link to it.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/platform.h"

// The standard USB device interface class {A5DCBF10-6530-11D2-901F-00C04FB951ED}.
extern const Guid USB_DRIVER_GUID;

// Vendor and product part of the PLC's USB device path (matched case-sensitively).
extern const char kUsbMatch[];

// The order of the window's sorted lists, as the system compares words: letter case and hyphens
// aside. The window's port list sorts so; the console and the test platform sort by this.
bool SortedListOrder(const std::string& a, const std::string& b);

// The COM ports named in present devices' friendly names ("USB Serial Port (COM3)" gives COM3),
// in SortedListOrder. A device whose port name does not fit (more than 9 characters, or no ')'
// after "(COM") is skipped. Returns false, `ports` unchanged, when the device set cannot be
// obtained.
bool ListComPorts(std::vector<std::string>& ports);

// Cuts the port name out of a friendly name: from the C of the first "(COM" to just before the
// last ')' of the whole name. Returns false when there is no "(COM", no ')' after it, or the
// name would not fit 9 characters.
bool PortNameFromFriendlyName(const char* friendlyName, char out[10]);

// The link a burn holds, against every other burn of the program on this computer (a window or a
// console burn), from its first open to its end, while the link is closed for a replug or a power
// cycle too. Each open below first holds its link, and does not open one that another burn holds.
// A hold that an open took and whose link then did not open is given back at once; a hold taken
// before (the burn's own, before a hand-over) stays. Holding another link gives back the hold on
// the first: one link is held at a time, until ReleaseLinkHold.
void ReleaseLinkHold();

// The names links are held by. Burns of every version of the program on one computer must refuse
// each other a PLC, so every later version keeps these names as they are, and so does the object
// or file each platform makes of them (Platform::HoldLink):
// - the first USB PLC (the window, and a console burn of "USB"): kUsbHoldName, one hold for the
//   whole USB set. Such a burn takes the first device of the set it finds, and the replug prompt
//   cannot say which cable; a device without a serial number takes its path from the hub port, so
//   a PLC plugged back into another socket comes back under another path.
// - one USB PLC by its device path (UsbDeviceHoldName), with one of kUsbSlots slots
//   (UsbSlotHoldName) beside it: a set burn cannot see which devices are held, only which slots.
//   A device burn holds its device, then a free slot, then makes sure the set is not held; a set
//   burn holds the set, then makes sure no slot is held. Whatever the order in which two burns
//   take their holds, the later check of one of them sees the other's hold. A burn of an earlier
//   version knows only the set hold: a device burn does not start beside it, but it does not see
//   a device burn.
// - a COM port: ComHoldName, its name without a leading device namespace ("\\.\"), so that
//   "\\.\COM12" and "COM12" are one port; in lower case (Windows names ports without regard to
//   case; ASCII only, whatever the locale), every character but letters, digits and "-_.#&{}"
//   turned into '_'; a name longer than 160 characters keeps its first 143 and ends in '.' and 16
//   hexadecimal digits of the 64-bit FNV-1a hash of the whole. An empty name is the empty name,
//   which holds nothing: it names no port. No port's name holds the '@' of the USB holds'.
extern const char kUsbHoldName[];
std::string ComHoldName(const char* port);
// "@usb." and the device path as a COM port's name is made, without its "\\?\" and in lower case.
std::string UsbDeviceHoldName(const std::string& devicePath);
constexpr int kUsbSlots = 32;           // more USB PLCs burning at once than a PC has sockets for
std::string UsbSlotHoldName(int slot);  // "@usb#0" to "@usb#31"

// The holds one burn takes for one link name: the link's own, and for a USB device the slot.
struct LinkHolds {
  LinkHold link = nullptr;
  LinkHold slot = nullptr;
  std::string name;
};
enum class HoldTaken { kRefused, kHeldBefore, kNow };
// Takes the holds of `name` (kUsbHoldName, a UsbDeviceHoldName or a ComHoldName) into `holds`, as
// described above; refused when another burn holds any of them, or for an empty name. What
// `holds` held before is kept when refused, and given back when another name is taken.
HoldTaken TakeLinkHolds(const std::string& name, LinkHolds& holds);
void GiveBackLinkHolds(LinkHolds& holds);

// The USB PLC a burn takes: empty for the first present device (the window's way); otherwise the
// device path the burn opens, at its start and after the replug, and no other. Set before the burn
// starts.
extern std::string usbDevicePath;
// Set when a burn of one device path found it missing at an open and a USB PLC present under
// another path; that path in usbPathNotTaken, which the burn's own thread writes (read it once
// the burn has ended).
extern std::atomic<bool> usbOtherPathSeen;
extern std::string usbPathNotTaken;

// The paths of every present interface of `interfaceClass` that holds kUsbMatch, in enumeration
// order; false when the device set cannot be obtained.
bool ListUsbDevicePaths(const Guid& interfaceClass, std::vector<std::string>& paths);
// The short name of a device path: the part between the product ID ("pid_0001#") and the
// interface class ("#{"): a serial number, or the instance name of a device without one. The
// path after the product ID when it has no class part; empty when it has no product ID.
std::string UsbShortName(const std::string& devicePath);
// The paths among `paths` that hold `name`, letter case aside (an empty name matches none).
std::vector<std::string> UsbPathsNamed(const std::vector<std::string>& paths,
                                       const std::string& name);

// Opens the COM port `name` ("COM12", or "\\.\COM12") through the device namespace
// ("\\.\COM12"), exclusively. An empty name opens nothing.
LinkHandle OpenComLink(const char* name);

// Opens the PLC's USB link: finds the device (the first present one, or usbDevicePath when set),
// probes it by its bare path, then opens the path followed by a backslash and `pipeSuffix`.
LinkHandle OpenMyDevPipe(const char* pipeSuffix);

// Finds the first present interface of `interfaceClass` whose path holds kUsbMatch and opens;
// leaves its path in `devicePath`. Returns 1 when found (the probe handle is closed), else 0.
int GetUsbDeviceFileName(const Guid& interfaceClass, std::string& devicePath);

// Open handle of the first accepted interface of the class, or INVALID_LINK_HANDLE.
LinkHandle OpenUsbDevice(const Guid& interfaceClass, std::string& devicePath);
