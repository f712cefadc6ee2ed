// The serial link on POSIX systems (termios), for native builds of the logic and tests over a pty.
#pragma once

#include <cstdint>

#include "platform.h"

LinkHandle PosixOpenLink(const char* path);
void PosixCloseLink(LinkHandle link);
uint32_t PosixWriteLink(LinkHandle link, const uint8_t* data, uint32_t count);
// Reads up to count bytes; returns when they have all arrived or the total read time-out ran out.
uint32_t PosixReadLink(LinkHandle link, uint8_t* data, uint32_t count);
void PosixSetLine(LinkHandle link, const LineSettings& settings);
void PosixSetTimeouts(LinkHandle link, const LinkTimeouts& timeouts);
void PosixPurgeInput(LinkHandle link);
