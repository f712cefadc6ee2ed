#include "embedded_image.h"

// The bytes come from the assembler's .incbin of the image file (firmware_blob.S).
extern "C" const uint8_t morvex_firmware_start[];
extern "C" const uint8_t morvex_firmware_end[];

const uint8_t* EmbeddedFirmwareData() {
  return morvex_firmware_start;
}

uint32_t EmbeddedFirmwareSize() {
  return static_cast<uint32_t>(morvex_firmware_end - morvex_firmware_start);
}
