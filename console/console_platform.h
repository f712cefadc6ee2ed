// The console program's platform: the port list, the holds and the link of this system, the image
// from the program or from a file, and the message boxes turned into calls back to the program.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

class ConsolePlatform : public LinkPlatform, public Platform, public BurnWindow {
 public:
  // The ports the window's port list would show, in its order.
  std::vector<std::string> ports;

  // The image burned instead of the program's own, when one is given.
  bool imageFromFile = false;
  std::vector<uint8_t> fileImage;

  // A port name the burn opens ("\\.\<alias>") and the device path it stands for: a device path
  // does not fit the burn's port name (9 characters).
  std::string portAlias;
  std::string devicePath;

  // True once a hold was refused: another burn holds the link; or another program holds the
  // device (its exclusive lock).
  bool holdRefused = false;
  bool heldElsewhere = false;

  // Called on the burn's thread after every write and read of the link, with what went out or
  // came back (`sent` false: read; `count` 0: nothing came within the time-out).
  std::function<void(bool sent, const uint8_t* data, uint32_t count)> onExchange;

  // Called for a hand-over prompt (it returns when the prompt is answered, or ends the process),
  // and for the burn's final message, whose ending the burn has recorded before it shows it.
  std::function<void(const char* text)> onPrompt;
  std::function<void(const char* text)> onFinal;
  // Called when the burn stops its elapsed-seconds timer.
  std::function<void()> onTimerStopped;

  LinkHandle OpenLink(const char* path, OpenMode mode) override;
  void CloseLink(LinkHandle link) override;
  uint32_t WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) override;
  uint32_t ReadLink(LinkHandle link, uint8_t* data, uint32_t count) override;
  void SetLine(LinkHandle link, const LineSettings& settings) override;
  void SetTimeouts(LinkHandle link, const LinkTimeouts& timeouts) override;
  void PurgeInput(LinkHandle link) override;

  bool ListPresentDevices(std::vector<PresentDevice>& devices) override;
  bool ListDeviceInterfaces(const Guid& interfaceClass,
                            std::vector<DeviceInterface>& interfaces) override;
  LinkHold HoldLink(const char* name) override;
  void ReleaseLink(LinkHold hold) override;
  bool LinkHeld(const char* name) override;
  bool LoadFirmwareImage(const uint8_t** data, uint32_t* size, void** handle) override;
  void FreeFirmwareImage(void* handle) override;
  void ShowMessage(WindowHandle owner, const char* text, const char* caption,
                   MessageIcon icon) override;
  void EnableControl(WindowHandle control, bool enable) override;
  void StopTimer(WindowHandle window, int timerId) override;
  void SleepSeconds(unsigned seconds) override;
};
