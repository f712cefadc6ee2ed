#include "image.h"

#include <cstring>

#include "platform/platform.h"

const uint8_t* fin = nullptr;
uint32_t fileLength = 0;
void* hGLOBAL = nullptr;

namespace {
const uint8_t* imageEnd = nullptr;
}

bool LoadFirmware() {
  CloseFile();
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  void* handle = nullptr;
  if (!Plat().LoadFirmwareImage(&data, &size, &handle) || (data == nullptr && size != 0)) {
    if (handle != nullptr) Plat().FreeFirmwareImage(handle);
    return false;
  }
  hGLOBAL = handle;
  fin = data;
  imageEnd = data + size;
  fileLength = size;
  return true;
}

uint32_t FileRead(uint8_t* buffer, uint32_t count) {
  if (fin == nullptr || fin >= imageEnd) return 0;
  uint32_t left = static_cast<uint32_t>(imageEnd - fin);
  uint32_t n = count < left ? count : left;
  std::memcpy(buffer, fin, n);
  fin += n;
  return n;
}

void CloseFile() {
  if (hGLOBAL != nullptr) Plat().FreeFirmwareImage(hGLOBAL);
  hGLOBAL = nullptr;
  fin = nullptr;
  imageEnd = nullptr;
}
