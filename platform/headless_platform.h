// A platform with no window system and no devices to list: the base of the native platform and of
// the fuzz and benchmark programs, which supply only the link and the image.
#pragma once

#include "platform.h"

class HeadlessPlatform : public Platform {
 public:
  void SetLine(LinkHandle, const LineSettings&) override {}
  void SetTimeouts(LinkHandle, const LinkTimeouts&) override {}
  void PurgeInput(LinkHandle) override {}
  bool ListPresentDevices(std::vector<PresentDevice>&) override { return false; }
  bool ListDeviceInterfaces(const Guid&, std::vector<DeviceInterface>&) override { return false; }
  void ListAddString(WindowHandle, const char*) override {}
  void ListDeleteString(WindowHandle, int) override {}
  void ListSetCurSel(WindowHandle, int) override {}
  void FreeFirmwareImage(void*) override {}
  void ShowMessage(WindowHandle, const char*, const char*, MessageIcon) override {}
  void EnableControl(WindowHandle, bool) override {}
  void StopTimer(WindowHandle, int) override {}
  void SleepSeconds(unsigned) override {}
};
