// The firmware image the program carries, read out in order by a burn.
#pragma once

#include <cstdint>

extern const uint8_t* fin;   // next unread byte
extern uint32_t fileLength;  // image size in bytes
extern void* hGLOBAL;        // the loaded image, for CloseFile

// Loads the embedded image afresh: fin at its first byte, fileLength its size. Returns false (and
// leaves nothing loaded) when the image cannot be found or loaded.
bool LoadFirmware();

// Copies the next `count` image bytes into `buffer` and advances fin. Never reads past the end of
// the image: returns the number of bytes copied, and leaves the rest of `buffer` untouched.
uint32_t FileRead(uint8_t* buffer, uint32_t count);

// Releases the loaded image; harmless when nothing is loaded.
void CloseFile();
