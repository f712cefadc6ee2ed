// Finding the ports a PLC can be reached through, and opening the link to it.
#pragma once

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

// The link a burn holds, against every other window of the program on this computer, from its
// first open to its end, while the link is closed for a replug or a power cycle too. Each open
// below first holds its link, and does not open one that another window holds. A hold that an
// open took and whose link then did not open is given back at once; a hold taken before (the
// burn's own, before a hand-over) stays. Holding another link gives back the hold on the first:
// one link is held at a time, until ReleaseLinkHold.
void ReleaseLinkHold();

// The names links are held by. Windows of every version of the program on one computer must
// refuse each other a PLC, so every later version keeps these names as they are, and so does the
// object or file each platform makes of them (Platform::HoldLink):
// - every USB PLC: kUsbHoldName, one hold for the whole USB set. A burn takes the first device of
//   the set it finds, and the replug prompt cannot say which cable; a device without a serial
//   number takes its path from the hub port, so a PLC plugged back into another socket comes back
//   under another path.
// - a COM port: ComHoldName, its name without a leading device namespace ("\\.\"), so that
//   "\\.\COM12" and "COM12" are one port; in lower case (Windows names ports without regard to
//   case; ASCII only, whatever the locale), every character but letters, digits and "-_.#&{}"
//   turned into '_'; a name longer than 160 characters keeps its first 143 and ends in '.' and 16
//   hexadecimal digits of the 64-bit FNV-1a hash of the whole. An empty name is the empty name,
//   which holds nothing: it names no port. No port's name holds the '@' of the USB set's.
extern const char kUsbHoldName[];
std::string ComHoldName(const char* port);

// Opens the COM port `name` ("COM12", or "\\.\COM12") through the device namespace
// ("\\.\COM12"), exclusively. An empty name opens nothing.
LinkHandle OpenComLink(const char* name);

// Opens the PLC's USB link: finds the device, probes it by its bare path, then opens the path
// followed by a backslash and `pipeSuffix`.
LinkHandle OpenMyDevPipe(const char* pipeSuffix);

// Finds the first present interface of `interfaceClass` whose path holds kUsbMatch and opens;
// leaves its path in `devicePath`. Returns 1 when found (the probe handle is closed), else 0.
int GetUsbDeviceFileName(const Guid& interfaceClass, std::string& devicePath);

// Open handle of the first accepted interface of the class, or INVALID_LINK_HANDLE.
LinkHandle OpenUsbDevice(const Guid& interfaceClass, std::string& devicePath);
