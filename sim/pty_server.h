// plcsim over a real line: a pseudo-terminal pair whose far end the tool opens, served with the
// simulated PLC, optionally at the pace of the line rate in force.
#pragma once

#include <cstdint>
#include <string>

#include "sim/plc.h"

namespace plcsim {

enum class HandoverOption { kAuto, kClose, kImmediate, kGap };

struct ServerOptions {
  HandoverOption handover = HandoverOption::kAuto;
  uint32_t gapMs = 500;
  bool pace = false;       // 960 B/s until UPDATE is acknowledged, then 11,520 B/s
  std::string reportPath;  // empty or "-": standard output
  std::string flashOut;    // file for the flash bytes, or empty
  enum class ExitAfter { kEnd, kNever, kSeconds } exitAfter = ExitAfter::kEnd;
  double seconds = 0;
  std::string linkPath;  // symlink to the far end, or empty
  bool quiet = false;
};

// The hand-over the option asks for, given the profile.
HandoverPolicy PolicyFor(HandoverOption option, uint32_t gapMs, const Profile& profile);

// Serves until a signal, the configured end or the deadline; returns the exit status.
int Serve(Plc& plc, const ServerOptions& options);

}  // namespace plcsim
