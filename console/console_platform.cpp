#include "console/console_platform.h"

#include <algorithm>
#include <cstring>

#include "update/endings.h"

namespace {

std::string WordKey(const std::string& s) {
  std::string key;
  for (const char c : s) {
    if (c == '-') continue;
    key += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return key;
}

}  // namespace

bool ListOrder(const std::string& a, const std::string& b) {
  return WordKey(a) < WordKey(b);
}

LinkHandle ConsolePlatform::OpenLink(const char* path, OpenMode mode) {
  if (mode == OpenMode::ComPort && !portAlias.empty() && path == "\\\\.\\" + portAlias) {
    return ThisSystem().OpenLink(devicePath.c_str(), mode);
  }
  return ThisSystem().OpenLink(path, mode);
}

void ConsolePlatform::CloseLink(LinkHandle link) {
  ThisSystem().CloseLink(link);
}

uint32_t ConsolePlatform::WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) {
  return ThisSystem().WriteLink(link, data, count);
}

uint32_t ConsolePlatform::ReadLink(LinkHandle link, uint8_t* data, uint32_t count) {
  return ThisSystem().ReadLink(link, data, count);
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

void ConsolePlatform::ListAddString(WindowHandle, const char* text) {
  const std::string entry = text;
  ports.insert(std::upper_bound(ports.begin(), ports.end(), entry, ListOrder), entry);
}

void ConsolePlatform::ListDeleteString(WindowHandle, int index) {
  if (index >= 0 && index < static_cast<int>(ports.size())) ports.erase(ports.begin() + index);
}

// The port the burn opens is chosen by the program, not by a selection in the list.
void ConsolePlatform::ListSetCurSel(WindowHandle, int) {}

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
