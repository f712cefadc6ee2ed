// The firmware image linked into a native build (the product carries it as a resource instead).
#pragma once

#include <cstdint>

const uint8_t* EmbeddedFirmwareData();
uint32_t EmbeddedFirmwareSize();
