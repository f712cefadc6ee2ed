#include "console/console_platform.h"

#include <cerrno>

#include "update/endings.h"

LinkHandle ConsolePlatform::OpenLink(const char* path, OpenMode mode) {
  const bool alias =
      mode == OpenMode::ComPort && !portAlias.empty() && path == "\\\\.\\" + portAlias;
  errno = 0;
  const LinkHandle link = ThisSystem().OpenLink(alias ? devicePath.c_str() : path, mode);
  if (link == INVALID_LINK_HANDLE && errno == EWOULDBLOCK) heldElsewhere = true;
  return link;
}

void ConsolePlatform::CloseLink(LinkHandle link) {
  ThisSystem().CloseLink(link);
}

uint32_t ConsolePlatform::WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) {
  const uint32_t n = ThisSystem().WriteLink(link, data, count);
  if (onExchange) onExchange(true, data, n);
  return n;
}

uint32_t ConsolePlatform::ReadLink(LinkHandle link, uint8_t* data, uint32_t count) {
  const uint32_t n = ThisSystem().ReadLink(link, data, count);
  if (onExchange) onExchange(false, data, n);
  return n;
}

void ConsolePlatform::SetLine(LinkHandle link, const LineSettings& settings) {
  ThisSystem().SetLine(link, settings);
}

void ConsolePlatform::SetTimeouts(LinkHandle link, const LinkTimeouts& timeouts) {
  ThisSystem().SetTimeouts(link, timeouts);
}

void ConsolePlatform::PurgeInput(LinkHandle link) {
  ThisSystem().PurgeInput(link);
}

bool ConsolePlatform::ListPresentDevices(std::vector<PresentDevice>& devices) {
  return ThisSystem().ListPresentDevices(devices);
}

bool ConsolePlatform::ListDeviceInterfaces(const Guid& interfaceClass,
                                           std::vector<DeviceInterface>& interfaces) {
  return ThisSystem().ListDeviceInterfaces(interfaceClass, interfaces);
}

LinkHold ConsolePlatform::HoldLink(const char* name) {
  const LinkHold hold = ThisSystem().HoldLink(name);
  if (hold == nullptr) holdRefused = true;
  return hold;
}

bool ConsolePlatform::LinkHeld(const char* name) {
  const bool held = ThisSystem().LinkHeld(name);
  if (held) holdRefused = true;
  return held;
}

void ConsolePlatform::ReleaseLink(LinkHold hold) {
  ThisSystem().ReleaseLink(hold);
}

bool ConsolePlatform::LoadFirmwareImage(const uint8_t** data, uint32_t* size, void** handle) {
  if (!imageFromFile) return ThisSystem().LoadFirmwareImage(data, size, handle);
  *data = fileImage.data();
  *size = static_cast<uint32_t>(fileImage.size());
  *handle = fileImage.data();
  return true;
}

void ConsolePlatform::FreeFirmwareImage(void* handle) {
  if (!imageFromFile) ThisSystem().FreeFirmwareImage(handle);
}

// Every box before the recorded ending is a prompt of the hand-over.
void ConsolePlatform::ShowMessage(WindowHandle, const char* text, const char*, MessageIcon) {
  const bool prompt = RecordedEnding() == nullptr;
  if (prompt && onPrompt) {
    onPrompt(text);
  } else if (!prompt && onFinal) {
    onFinal(text);
  }
}

void ConsolePlatform::EnableControl(WindowHandle, bool) {}

void ConsolePlatform::StopTimer(WindowHandle, int) {
  if (onTimerStopped) onTimerStopped();
}

void ConsolePlatform::SleepSeconds(unsigned seconds) {
  ThisSystem().SleepSeconds(seconds);
}
