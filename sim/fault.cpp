#include "sim/fault.h"

#include <cstdlib>
#include <vector>

namespace plcsim {

namespace {

const char* const kRequestNames[] = {
    "wakeup",    "probe",  "id",        "d1386",     "d1001",          "d1148",
    "version",   "erase",  "erase-ack", "loader-id", "loader-version", "erase-unit",
    "erase-end", "update", "block",     "end"};
static_assert(sizeof(kRequestNames) / sizeof(kRequestNames[0]) ==
                  static_cast<size_t>(Request::kCount),
              "a name for every request");

const char* const kKindNames[] = {"silence", "cut",   "bad-lrc", "lowercase",   "stray", "negative",
                                  "status",  "delay", "nak",     "write-error", "stay",  "gone"};

bool IsFrameRequest(Request r) {
  return r <= Request::kEraseAck;
}
bool IsFunction64(Request r) {
  return r == Request::kProbe || r == Request::kId || r == Request::kVersion ||
         r == Request::kErase;
}
bool IsJudgedFrame(Request r) {
  return IsFrameRequest(r) && r != Request::kWakeup && r != Request::kEraseAck;
}

bool ParseNumber(const std::string& s, uint32_t max, uint32_t& out) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end != '\0' || v > max) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t pos = s.find(sep, start);
    parts.push_back(s.substr(start, pos == std::string::npos ? pos : pos - start));
    if (pos == std::string::npos) return parts;
    start = pos + 1;
  }
}

// Whether a kind of fault means anything for a request.
bool Applies(FaultKind k, Request r) {
  switch (k) {
    case FaultKind::kSilence:
    case FaultKind::kCut:
    case FaultKind::kStray:
    case FaultKind::kDelay:
      return r != Request::kEraseAck;
    case FaultKind::kBadLrc:
    case FaultKind::kLowercase:
      return IsJudgedFrame(r);
    case FaultKind::kNegative:
      return IsFunction64(r);
    case FaultKind::kStatus:
      return IsFunction64(r) || !IsFrameRequest(r);
    case FaultKind::kNak:
      return !IsFrameRequest(r);
    case FaultKind::kWriteError:
      return r == Request::kBlock;
    case FaultKind::kStay:
      return r == Request::kErase;
    case FaultKind::kGone:
      return true;
  }
  return false;
}

}  // namespace

const char* RequestName(Request r) {
  return kRequestNames[static_cast<int>(r)];
}

bool RequestIsIndexed(Request r) {
  return r == Request::kEraseUnit || r == Request::kBlock;
}

const char* FaultKindName(FaultKind k) {
  return kKindNames[static_cast<int>(k)];
}

bool ParseFault(const std::string& text, FaultSpec& out, std::string& error) {
  FaultSpec f;
  f.text = text;
  const std::vector<std::string> parts = Split(text, ':');
  if (parts.size() < 2 || parts.size() > 4) {
    error = "expected KIND:REQUEST[:AT[:ARG]]";
    return false;
  }
  bool known = false;
  for (size_t i = 0; i < sizeof(kKindNames) / sizeof(kKindNames[0]); ++i) {
    if (parts[0] == kKindNames[i]) {
      f.kind = static_cast<FaultKind>(i);
      known = true;
    }
  }
  if (!known) {
    error = "unknown fault kind '" + parts[0] + "'";
    return false;
  }
  known = false;
  for (int i = 0; i < static_cast<int>(Request::kCount); ++i) {
    if (parts[1] == kRequestNames[i]) {
      f.request = static_cast<Request>(i);
      known = true;
    }
  }
  if (!known) {
    error = "unknown request '" + parts[1] + "'";
    return false;
  }
  if (!Applies(f.kind, f.request)) {
    error = std::string("a ") + kKindNames[static_cast<int>(f.kind)] + " fault cannot apply to " +
            RequestName(f.request);
    return false;
  }
  if (parts.size() >= 3) {
    const std::string& at = parts[2];
    const size_t x = at.find('x');
    const std::string first = at.substr(0, x);
    if (first == "*") {
      f.at = 0;
    } else if (!ParseNumber(first, 0xFFFFFFFFu, f.at) || f.at == 0) {
      error = "position must be a number from 1, or *";
      return false;
    }
    if (x != std::string::npos) {
      const std::string times = at.substr(x + 1);
      if (times == "*") {
        f.times = 0;
      } else if (!ParseNumber(times, 0xFFFFFFFFu, f.times) || f.times == 0) {
        error = "repeat count must be a number from 1, or *";
        return false;
      }
    }
  }
  if (parts.size() == 4) {
    const std::string& arg = parts[3];
    f.hasValue = true;
    switch (f.kind) {
      case FaultKind::kNegative: {
        const std::vector<std::string> cc = Split(arg, '/');
        uint32_t c = 0, e = 0;
        if (cc.size() != 2 || !ParseNumber(cc[0], 255, c) || !ParseNumber(cc[1], 255, e)) {
          error = "negative needs CLASS/CODE, e.g. 2/3";
          return false;
        }
        f.errClass = static_cast<uint8_t>(c);
        f.errCode = static_cast<uint8_t>(e);
        break;
      }
      case FaultKind::kDelay:
      case FaultKind::kCut:
        if (!ParseNumber(arg, 3600000, f.value)) {
          error = "expected a number";
          return false;
        }
        break;
      case FaultKind::kStray:
      case FaultKind::kStatus:
      case FaultKind::kNak:
        if (!ParseNumber(arg, 255, f.value)) {
          error = "expected a byte value";
          return false;
        }
        break;
      default:
        error =
            std::string("a ") + kKindNames[static_cast<int>(f.kind)] + " fault takes no argument";
        return false;
    }
  } else {
    if (f.kind == FaultKind::kNegative || f.kind == FaultKind::kStatus ||
        f.kind == FaultKind::kDelay) {
      error = std::string("a ") + kKindNames[static_cast<int>(f.kind)] +
              " fault needs its argument: KIND:REQUEST:AT:ARG";
      return false;
    }
    if (f.kind == FaultKind::kNak) f.value = 0x15;
    if (f.kind == FaultKind::kWriteError) f.value = 0x16;
  }
  out = f;
  return true;
}

const char* FaultHelp() {
  return "Faults (--fault KIND:REQUEST[:AT[:ARG]], repeatable; the first that matches applies):\n"
         "  REQUEST  wakeup probe id d1386 d1001 d1148 version erase erase-ack (monitor mode)\n"
         "           loader-id loader-version erase-unit erase-end update block end (loader)\n"
         "           probe counts the probes answered by either mode.\n"
         "  AT       N: the N-th request of that kind (default 1). For erase-unit and block, the\n"
         "           N-th unit or block of the current erase or transfer, whatever its attempts.\n"
         "           NxT: T times (requests N..N+T-1, or the first T attempts at unit/block N);\n"
         "           Nx*: for ever; *: every request (every unit/block, its first attempt).\n"
         "  KIND     silence          no answer; the request is not carried out\n"
         "           cut[:BYTES]      answer cut to BYTES (default one short); carried out\n"
         "           bad-lrc          the answer's LRC off by one (frames)\n"
         "           lowercase        the answer's hex digits in lower case (frames)\n"
         "           stray[:BYTE]     a stray byte (default 0x00) ahead of the answer\n"
         "           negative:C/E     status 0x15 with error class C and code E\n"
         "                            (probe, id, version, erase)\n"
         "           status:BYTE      the status byte, or a loader answer's first byte, replaced\n"
         "           delay:MS         the answer held back MS milliseconds\n"
         "           nak[:BYTE]       a loader answer of BYTE (default 0x15); not carried out\n"
         "           write-error      a block answered 0x16 (flash write error), not written\n"
         "           stay             the accepted erase request does not hand over\n"
         "           gone             the line goes away when the request arrives\n"
         "  Examples: silence:probe:1x6  negative:probe:1x6:1/0  silence:erase-unit:3\n"
         "            nak:block:5x2  write-error:block:7  silence:end:*  stay:erase:1\n"
         "            gone:block:100  delay:id:1:3500  lowercase:probe\n";
}

}  // namespace plcsim
