// Faults the simulated PLC injects, one per request kind and place. Text form (also the
// --fault option of plcsim):  KIND:REQUEST[:AT[:ARG]]
//   AT   N      the N-th request of that kind (1-based); for erase-unit and block, the N-th unit
//              or block of the current erase or transfer, whatever its attempts
//        NxT    the same, T times: requests N to N+T-1, or the first T attempts at unit/block N
//        Nx*    from N on for ever (for erase-unit and block: every attempt at N)
//        *      every request of that kind (for erase-unit and block: the first attempt at each)
//   ARG  per kind, see FaultHelp().
#pragma once

#include <cstdint>
#include <string>

namespace plcsim {

enum class Request {
  kWakeup,  // ":007F81"
  kProbe,   // mode probe (answered by the firmware and by the boot loader)
  kId,      // identity check in monitor mode
  kD1386,
  kD1001,
  kD1148,
  kVersion,        // version query in monitor mode
  kErase,          // erase request in monitor mode
  kEraseAck,       // erase acknowledgement in monitor mode (not answered)
  kLoaderId,       // "ID"
  kLoaderVersion,  // "VERSION"
  kEraseUnit,      // "ERASE"
  kEraseEnd,       // 0x04 closing the erase
  kUpdate,         // "UPDATE"
  kBlock,          // an image block
  kEnd,            // 0x04 closing the transfer
  kCount
};
const char* RequestName(Request r);
bool RequestIsIndexed(Request r);  // erase-unit and block: placed by unit/block, not by request

enum class FaultKind {
  kSilence,     // no answer; the request is not carried out
  kCut,         // the answer cut to ARG bytes (default: one byte short); the request is carried out
  kBadLrc,      // the answer's LRC off by one
  kLowercase,   // the answer's hex digits in lower case
  kStray,       // a stray byte ARG (default 0x00) ahead of the answer
  kNegative,    // a negative answer (status 0x15) with class/code ARG, e.g. 2/3
  kStatus,      // the status byte (or a loader's first answer byte) replaced by ARG
  kDelay,       // the answer held back ARG ms
  kNak,         // a loader answer of ARG (default 0x15) instead of 0x06; not carried out
  kWriteError,  // a block answered with 0x16 (flash write error) and not written
  kStay,        // an accepted erase does not hand over: the firmware stays in monitor mode
  kGone,        // the line goes away when the request arrives
};
const char* FaultKindName(FaultKind k);

struct FaultSpec {
  FaultKind kind = FaultKind::kSilence;
  Request request = Request::kProbe;
  uint32_t at = 1;     // 0: every request (or unit/block)
  uint32_t times = 1;  // 0: for ever
  uint32_t value = 0;  // delay (ms), bytes kept, stray or status byte
  uint8_t errClass = 0;
  uint8_t errCode = 0;
  bool hasValue = false;
  std::string text;  // as given
};

bool ParseFault(const std::string& text, FaultSpec& out, std::string& error);

// Multi-line description of the fault syntax for --help.
const char* FaultHelp();

}  // namespace plcsim
