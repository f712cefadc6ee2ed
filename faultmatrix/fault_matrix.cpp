// The fault matrix: whole burns, driver and link as the product runs them, against the simulated
// PLC with a fault injected at each place that matters, for a representative model of every group,
// plus random faults from seeds and a chaos run of random answers. For every burn it checks that
//   - the burn ends (no hang), within a bound computed from the time-outs it waited;
//   - it reports success only when the simulated flash holds the image byte for byte;
//   - a failure shows exactly one error message, one of the phase the fault was injected in;
//   - afterwards the five counters are 0, the button is enabled, the link closed and the image
//     released;
//   - after a failure, what the operator's guide says to do after its message (faultmatrix/
//     recovery.h: the cause mended, and the PLC switched off and on where the guide says so) and a
//     second burn in the same window against the same PLC bring the image into its flash.
// It prints a table and exits non-zero on any false success, hang, unclean end or failure that
// the second burn did not recover, but for a boot loader too old for the firmware, which the
// guide says no burn recovers.
//
//   fault_matrix [--reduced] [--seeds N] [--chaos N] [--verbose]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "faultmatrix/recovery.h"
#include "sim/plc.h"
#include "sim/sim_link.h"
#include "testsupport/fake_platform.h"
#include "testsupport/recording_platform.h"
#include "testsupport/sim_endpoint.h"
#include "update/driver.h"
#include "update/endings.h"

namespace {

const char kUsbPath[] =
    "\\\\?\\usb#vid_fff0&pid_0001#7&1f00&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const char kPort[] = "COM5";
const WindowHandle kMainWindow = reinterpret_cast<WindowHandle>(0x7001);
const WindowHandle kButton = reinterpret_cast<WindowHandle>(0x7002);

// Wall-clock limit of one burn before it counts as hung. The simulated link never really waits,
// so a healthy burn takes milliseconds; the limit only has to separate "slow" from "never".
constexpr auto kHangLimit = std::chrono::seconds(30);
constexpr uint64_t kTimeoutMs = 3000;     // read time-out of every request
constexpr uint64_t kWakeTimeoutMs = 200;  // read time-out of the wake-up exchange
constexpr uint64_t kAttempts = 11;        // most attempts of one request

// A representative model of each group, with an image that needs more than 256 blocks where the
// model's size limit allows it (so that the block number wraps).
struct Group {
  const char* name;
  const char* model;
  uint32_t imageLength;
};
const Group kGroups[] = {
    {"USB sector set", "KL3-KR3", 4096 + 300 * 256},  // 300 blocks of 256
    {"QD (replug)", "QD", 280 * 256 + 100},           // 281 blocks, the last one filled
    {"AIO", "MH500-AIO", 40960},                      // 160 blocks, the size limit
    {"COM power cycle", "KL2-G-V4", 300 * 128 + 77},  // 301 blocks of 128
    {"plain COM", "PN2", 270 * 128},                  // 270 blocks, no fill
};

struct Scenario {
  std::string group;
  std::string model;
  uint32_t imageLength;
  std::vector<std::string> faults;  // in the simulator's syntax
  std::string phase;                // the phase the first fault strikes; empty: any
  std::string plc;                  // the simulated PLC's profile; empty: one of the model
};

// PLCs whose boot loader is too old for the model's firmware: the guide says no burn of this
// copy recovers them.
const char* const kOldLoaders[] = {"MH500-AIO/loader-0.9", "PV3-AIO/loader-0.9",
                                   "MH500-AIO/loader-0.F", "KR3-AIO/loader-1.0",
                                   "KR3-AIO/loader-1.1"};

bool reportOne = false;  // print the events and the simulator's report of each burn

struct Outcome {
  bool ended = true;
  bool success = false;
  bool falseSuccess = false;
  bool missedSuccess = false;  // a failure although the PLC holds the whole image (allowed, noted)
  std::string message;         // the final message's text
  EndingId ending = kEndingCount;  // the row the burn recorded
  std::vector<std::string> problems;
  uint64_t virtualMs = 0;
  // After a failure: whether the second burn brought the image into the flash, and whether the
  // guide says no burn can (a boot loader too old for the firmware).
  bool recovered = false;
  bool beyondRecovery = false;
};

// The endings of a failure in each phase.
const std::map<std::string, std::set<EndingId>> kPhaseEndings = {
    {"probe",
     {kEndState1WrongType, kEndState1RunMode, kEndState1UnknownCode, kEndState1NoResponse,
      kEndState1UnknownMessage}},
    {"id",
     {kEndState2WrongType, kEndState2UnknownCode, kEndState2NoResponse, kEndState2UnknownMessage}},
    // An erase request that goes unanswered counts as accepted for the models whose firmware
    // restarts without answering; the PLC then never reaches its boot loader.
    {"erase",
     {kEndState3WrongType, kEndState3UnknownCode, kEndState3NoResponse, kEndState3UnknownMessage,
      kEndStuckInMonitorMode}},
    {"gate",
     {kEndGateRegisterUnanswered, kEndKl2krIsNotKl2g, kEndKl2gNoDowngrade, kEndKl2gNoUpgrade,
      kEndKl2krNoDowngrade, kEndKl2krNoUpgrade, kEndPn14IsNot32, kEndPn32IsNot14, kEndQd14IsNot24,
      kEndQd24IsNot14, kEndLoaderV09Old, kEndLoaderV10Old, kEndLoaderUnknown}},
    {"loader-id", {kEndLoaderWrongType}},
    {"loader-version", {kEndLoaderVersionUnread, kEndLoaderUnknownInLoader}},
    {"erasing", {kEndEraseNotAnswered}},
    {"update", {kEndUpdateNotAnswered}},
    {"transfer", {kEndUpdateFailed, kEndFlashWriteError}},
};

// The request of the burn that a fault of the simulator's request strikes.
BurnRequest RequestOfFault(plcsim::Request r) {
  const std::string name = plcsim::RequestName(r);
  // clang-format off
  static const std::map<std::string, BurnRequest> requests = {
      {"probe", BurnRequest::kProbe},                {"id", BurnRequest::kIdentity},
      {"d1386", BurnRequest::kD1386},                {"d1001", BurnRequest::kD1001},
      {"d1148", BurnRequest::kD1148},                {"version", BurnRequest::kVersion},
      {"erase", BurnRequest::kEraseRequest},         {"loader-id", BurnRequest::kLoaderIdentity},
      {"loader-version", BurnRequest::kLoaderVersion}, {"erase-unit", BurnRequest::kEraseUnit},
      {"erase-end", BurnRequest::kClosingByte},      {"update", BurnRequest::kUpdate},
      {"block", BurnRequest::kBlock},                {"end", BurnRequest::kClosingByte}};
  // clang-format on
  auto it = requests.find(name);
  return it == requests.end() ? BurnRequest::kNone : it->second;
}

std::string PhaseOfRequest(const std::string& request) {
  // clang-format off
  static const std::map<std::string, std::string> phases = {
      {"wakeup", "probe"},         {"probe", "probe"},          {"id", "id"},
      {"d1386", "gate"},           {"d1001", "gate"},           {"d1148", "gate"},
      {"version", "gate"},         {"erase", "erase"},          {"erase-ack", "erase"},
      {"loader-id", "loader-id"},  {"loader-version", "loader-version"},
      {"erase-unit", "erasing"},   {"erase-end", "erasing"},    {"update", "update"},
      {"block", "transfer"},       {"end", "transfer"}};
  // clang-format on
  auto it = phases.find(request);
  return it == phases.end() ? "" : it->second;
}

std::vector<uint8_t> ImageBytes(uint32_t length, uint32_t salt) {
  std::vector<uint8_t> image(length);
  uint32_t x = 0x9E3779B9u ^ salt;
  for (uint32_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    image[i] = static_cast<uint8_t>(x >> 24);
  }
  return image;
}

// What answers the probe open of the USB device's bare path: nothing is exchanged on it.
class NullLink : public LinkEndpoint {
 public:
  uint32_t Write(const uint8_t*, uint32_t count) override { return count; }
  uint32_t Read(uint8_t*, uint32_t, const LinkTimeouts&) override { return 0; }
};

// A PLC that answers everything with random bytes after random delays, seeded.
class ChaosLink : public LinkEndpoint {
 public:
  explicit ChaosLink(uint32_t seed) : rng_(seed) {}
  uint32_t Write(const uint8_t*, uint32_t count) override {
    // Now and then a write comes up short.
    return Pick(40) == 0 ? static_cast<uint32_t>(Pick(count + 1)) : count;
  }
  uint32_t Read(uint8_t* data, uint32_t count, const LinkTimeouts& t) override {
    uint32_t delay =
        Pick(8) == 0 ? t.readTotalTimeoutConstant + 1 : static_cast<uint32_t>(Pick(50));
    waitedMs += std::min<uint64_t>(delay, t.readTotalTimeoutConstant);
    if (delay > t.readTotalTimeoutConstant) return 0;
    uint32_t n = Pick(4) == 0 ? static_cast<uint32_t>(Pick(count + 1)) : count;
    for (uint32_t i = 0; i < n; ++i) {
      // Bytes the protocol uses turn up often, to reach deep into the burn.
      static const uint8_t kLikely[] = {0x06, 0x15, 0x16, ':', '0', '5', '6', 'F', '\r', '\n'};
      data[i] = Pick(2) == 0 ? kLikely[Pick(sizeof kLikely)] : static_cast<uint8_t>(Pick(256));
    }
    return n;
  }
  uint64_t waitedMs = 0;

 private:
  uint64_t Pick(uint64_t n) { return n == 0 ? 0 : rng_() % n; }
  std::mt19937_64 rng_;
};

// The burn tests' platform, on the matrix's windows.
struct MatrixPlatform : RecordingPlatform {
  MatrixPlatform() {
    mainWindow = kMainWindow;
    button = kButton;
  }
};

// Runs StartBurn on a worker thread; false when it did not end within the hang limit (the thread
// is then left running and the caller must stop the process).
bool RunBurn(BurnParam* param) {
  struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  std::thread worker([param, done] {
    StartBurn(param);
    std::lock_guard<std::mutex> lock(done->m);
    done->done = true;
    done->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->m);
  if (!done->cv.wait_for(lock, kHangLimit, [&] { return done->done; })) {
    worker.detach();
    return false;
  }
  lock.unlock();
  worker.join();
  return true;
}

// The checks every way out must pass, whatever the outcome.
void CheckCleanEnd(const MatrixPlatform& platform, Outcome& out) {
  auto problem = [&](const std::string& p) { out.problems.push_back(p); };
  if (elapsedTime != 0 || flashStatus != 0 || progress != 0 || errCounter != 0 ||
      totalErrCounter != 0) {
    problem("counters not reset");
  }
  if (burnRunning) problem("burn still marked running");
  if (platform.OpenLinkCount() != 0) problem("link left open");
  if (hGLOBAL != nullptr) problem("image not released");
  std::vector<std::string> events = platform.Events();
  int loads = 0, frees = 0, kills = 0;
  int lastEnable = -1, lastDisable = -1;
  for (size_t i = 0; i < events.size(); ++i) {
    loads += events[i] == "image load";
    frees += events[i] == "image free";
    kills += events[i] == "kill timer 5";
    if (events[i] == "enable 1") lastEnable = static_cast<int>(i);
    if (events[i] == "enable 0") lastDisable = static_cast<int>(i);
  }
  if (loads != frees) problem("image loads and releases differ");
  if (kills != 1) problem("timer 5 stopped " + std::to_string(kills) + " times");
  if (lastEnable < lastDisable || lastEnable < 0) problem("button not enabled at the end");
  if (platform.wrongWindow != 0) problem("a window operation on the wrong window");
}

// The messages of a burn, without the operator prompts of the hand-over.
// The ending is the recorded row; the boxes shown must be that row's, once.
void Judge(const MatrixPlatform& platform, Outcome& out) {
  out.ending = RecordedEndingId();
  const Ending* row = RecordedEnding();
  const bool success = row != nullptr && row->exitCode == kExitSuccess;
  std::string rowBox;
  if (row != nullptr) {
    rowBox = std::string(row->caption) +
             (row->icon == MessageIcon::Error ? "|Error|" : "|Information|") +
             EndingText(out.ending);
  }
  std::vector<std::string> errors;
  int rowBoxes = 0;
  for (const std::string& m : platform.Messages()) {
    if (m.rfind("ERROR|Error|", 0) == 0) errors.push_back(m.substr(12));
    rowBoxes += m == rowBox;
  }
  if (row == nullptr) out.problems.push_back("no ending recorded");
  if (row != nullptr && rowBoxes != 1)
    out.problems.push_back("the box of the recorded ending shown " + std::to_string(rowBoxes) +
                           " times");
  if (success && !errors.empty()) out.problems.push_back("success and failure shown");
  if (errors.size() > 1) out.problems.push_back("more than one error message");
  out.success = success && errors.empty();
  out.message = out.success ? "SUCCESS" : (errors.empty() ? "(none)" : errors.front());
}

// After a failed burn: what the guide tells the operator to do after its message, then "Start
// Burn" again in the same window, against the same PLC.
void BurnAgain(MatrixPlatform& platform, plcsim::Plc& plc, const std::vector<uint8_t>& expected,
               Outcome& out) {
  const Ending* row = RecordedEnding();
  if (row == nullptr) return;  // a problem already
  if (row->remedy == Remedy::kOtherCopy) {
    // The PLC is the one the copy is made for: the guide would send the operator to a wrong one.
    out.problems.push_back("a fault of the line gave a message that asks for another copy");
    return;
  }
  plc.ClearFaults();
  if (row->remedy == Remedy::kPowerCycle) plc.Restart();
  platform.ClearEvents();
  BurnParam param{kMainWindow, kButton};
  elapsedTime = 9;
  if (!RunBurn(&param)) {
    out.ended = false;
    return;
  }
  Outcome again;
  Judge(platform, again);
  CheckCleanEnd(platform, again);
  for (const std::string& p : again.problems) out.problems.push_back("second burn: " + p);
  out.recovered = again.success && plc.complete() && plc.WrittenImage() == expected;
  if (!out.recovered && reportOne) {
    for (const std::string& e : platform.Events()) std::printf("  %s\n", e.c_str());
    std::printf("%s\n", plc.ReportJson().c_str());
  }
}

// A failure in the phase the fault struck names the request it struck; a fault that strikes one
// erase unit or block for good, that unit or block.
void CheckFailedRequest(const Scenario& s, Outcome& out) {
  plcsim::FaultSpec spec;
  std::string error;
  if (!kEndings[out.ending].requestFailed || !plcsim::ParseFault(s.faults.front(), spec, error)) {
    return;
  }
  const BurnRequest struck = RequestOfFault(spec.request);
  const RequestRecord& failed = burnDetail.failed;
  if (struck != BurnRequest::kNone && failed.request != struck) {
    out.problems.push_back(std::string("the failed request recorded is \"") +
                           RequestName(failed.request) + "\", the fault struck \"" +
                           RequestName(struck) + "\"");
  }
  if (failed.attempts == 0 || failed.attempts > kAttempts) {
    out.problems.push_back("the failed request made " + std::to_string(failed.attempts) +
                           " attempts");
  }
  const bool counted =
      failed.request == BurnRequest::kBlock || failed.request == BurnRequest::kEraseUnit;
  if (counted != (failed.index != 0) || failed.index > failed.of) {
    out.problems.push_back("the failed request is numbered " + std::to_string(failed.index) +
                           " of " + std::to_string(failed.of));
  }
  if (counted && struck == failed.request && spec.at != 0 && spec.times == 0 &&
      failed.index != spec.at) {
    out.problems.push_back("the fault struck number " + std::to_string(spec.at) +
                           ", the burn recorded " + std::to_string(failed.index));
  }
}

Outcome RunScenario(const Scenario& s, uint32_t salt) {
  Outcome out;
  ResetBurnStateForTest();
  MatrixPlatform platform;
  ScopedPlatform scoped(platform);
  SelectModelForTest(s.model.c_str());
  SetSelectedComPort(kPort);
  platform.image = ImageBytes(s.imageLength, salt);

  const plcsim::Profile* profile = plcsim::FindProfile(s.plc.empty() ? s.model : s.plc);
  if (profile == nullptr) {
    out.problems.push_back("no simulator profile");
    return out;
  }
  plcsim::Plc plc(*profile);
  plc.SetImageLength(s.imageLength);
  for (const std::string& f : s.faults) {
    plcsim::FaultSpec spec;
    std::string error;
    if (!plcsim::ParseFault(f, spec, error)) {
      out.problems.push_back("bad fault " + f + ": " + error);
      return out;
    }
    plc.AddFault(spec);
  }
  plcsim::SimLink simLink(plc);
  SimEndpoint endpoint(simLink);
  NullLink probe;
  platform.interfaces = {DeviceInterface{true, kUsbPath}};
  platform.opener = [&](const std::string& path, OpenMode mode) -> LinkEndpoint* {
    if (mode == OpenMode::UsbDevice) {
      if (path == kUsbPath) return &probe;
      return path == std::string(kUsbPath) + "\\" ? &endpoint : nullptr;
    }
    return path == std::string("\\\\.\\") + kPort ? &endpoint : nullptr;
  };

  BurnParam param{kMainWindow, kButton};
  elapsedTime = 9;
  if (!RunBurn(&param)) {
    out.ended = false;
    return out;
  }
  out.virtualMs = simLink.NowMs();
  if (reportOne) {
    for (const std::string& e : platform.Events()) std::printf("  %s\n", e.c_str());
    std::printf("%s\n", plc.ReportJson().c_str());
  }
  Judge(platform, out);
  CheckCleanEnd(platform, out);

  std::vector<uint8_t> expected = platform.image;
  if (profile->sectorSet) expected.resize(expected.size() > 4096 ? expected.size() - 4096 : 0);
  bool flashHoldsImage = plc.complete() && plc.WrittenImage() == expected;
  if (out.success && !flashHoldsImage) out.falseSuccess = true;
  if (!out.success && flashHoldsImage) out.missedSuccess = true;

  // A failure's message belongs to the phase the fault struck (when the fault reached it).
  if (!out.success && !s.phase.empty() && out.problems.empty()) {
    auto endings = kPhaseEndings.find(s.phase);
    bool fits = endings != kPhaseEndings.end() && endings->second.count(out.ending) != 0;
    // A line that went away, or answers held back past the time-out, may strike the next
    // request first; and a PLC stuck in monitor mode shows up at the hand-over.
    bool anyPhase =
        s.faults.front().rfind("gone:", 0) == 0 || s.faults.front().rfind("delay:", 0) == 0 ||
        s.faults.front().rfind("stay:", 0) == 0 || s.faults.front().rfind("stray:", 0) == 0 ||
        s.faults.front().rfind("cut:", 0) == 0;
    if (!fits && !anyPhase) out.problems.push_back("message not of phase " + s.phase);
    if (fits && !anyPhase) CheckFailedRequest(s, out);
  }

  // The bound: the wake-ups of three cycles, plus every attempt a fault can cost, each waiting at
  // most a time-out plus the delay it was held back.
  uint64_t bound = 3 * 15 * kWakeTimeoutMs;
  for (const std::string& f : s.faults) {
    plcsim::FaultSpec spec;
    std::string error;
    plcsim::ParseFault(f, spec, error);
    // Each hit costs an attempt; and the request a fault derails (an answer carried out but not
    // seen, a shifted reply) may then use up all of its own attempts.
    uint64_t hits = (spec.at == 0 ? plc.RequestCount(spec.request) + 1
                                  : (spec.times == 0 ? kAttempts : spec.times)) +
                    kAttempts;
    uint64_t perHit = kTimeoutMs + (spec.kind == plcsim::FaultKind::kDelay ? spec.value : 0);
    bound += hits * perHit * (spec.request == plcsim::Request::kWakeup ? 10 : 1);
  }
  if (out.virtualMs > bound) {
    out.problems.push_back("took " + std::to_string(out.virtualMs) + " ms, bound " +
                           std::to_string(bound) + " ms");
  }
  if (!out.success) {
    out.beyondRecovery =
        std::find(std::begin(kOldLoaders), std::end(kOldLoaders), s.plc) != std::end(kOldLoaders);
    BurnAgain(platform, plc, expected, out);
  }
  return out;
}

// Blocks and erase units of a group's burn, for the positions of the faults.
uint32_t BlocksOf(const Group& g) {
  const plcsim::Profile* p = plcsim::FindProfile(g.model);
  return p ? plcsim::ExpectedBlocks(*p, g.imageLength) : 0;
}
uint32_t UnitsOf(const Group& g) {
  const plcsim::Profile* p = plcsim::FindProfile(g.model);
  return p ? plcsim::ExpectedEraseUnits(*p, g.imageLength) : 0;
}

// The requests each group's burn makes, with the positions worth a fault.
std::vector<std::pair<std::string, std::vector<std::string>>> Places(const Group& g, bool reduced) {
  const uint32_t blocks = BlocksOf(g);
  const uint32_t units = UnitsOf(g);
  std::vector<std::string> blockAt = {"1", std::to_string(std::max(1u, blocks / 2)),
                                      std::to_string(blocks)};
  if (blocks >= 256) blockAt.push_back("256");
  if (reduced) blockAt = {"1", std::to_string(blocks)};
  std::vector<std::string> unitAt = {"1"};
  if (units > 2) unitAt.push_back(std::to_string(units / 2));

  std::vector<std::pair<std::string, std::vector<std::string>>> places = {
      {"probe", {"1"}},     {"id", {"1"}},          {"erase", {"1"}},
      {"loader-id", {"1"}}, {"erase-unit", unitAt}, {"erase-end", {"1"}},
      {"update", {"1"}},    {"block", blockAt},     {"end", {"1"}},
  };
  const plcsim::Profile* p = plcsim::FindProfile(g.model);
  if (p != nullptr) {
    for (uint16_t reg : {1386, 1001, 1148}) {
      if (plcsim::GateReadsRegister(*p, reg)) places.push_back({"d" + std::to_string(reg), {"1"}});
    }
    if (plcsim::ReadsLoaderVersion(*p)) {
      places.push_back({"version", {"1"}});
      places.push_back({"loader-version", {"1"}});
    }
  }
  return places;
}

bool IsFrameRequest(const std::string& r) {
  return r == "probe" || r == "id" || r == "erase" || r == "version" || r[0] == 'd';
}
bool IsLoaderRequest(const std::string& r) {
  return !IsFrameRequest(r) && r != "wakeup";
}

// Every fault of the simulator at every place, in the counts that matter: once (recovered), five
// times (the sixth attempt recovers), six times (the request gives up) and for ever.
std::vector<Scenario> BuildMatrix(bool reduced) {
  std::vector<Scenario> out;
  for (const Group& g : kGroups) {
    for (const auto& [request, positions] : Places(g, reduced)) {
      std::vector<std::string> kinds = {"silence", "cut", "stray", "delay:3500", "gone"};
      if (IsFrameRequest(request)) {
        kinds.insert(kinds.end(), {"bad-lrc", "lowercase", "status:07"});
        if (request == "probe" || request == "id" || request == "erase" || request == "version") {
          kinds.insert(kinds.end(), {"negative:2/3", "negative:1/1"});
        }
        if (request == "erase") kinds.push_back("stay");
      }
      if (IsLoaderRequest(request)) kinds.insert(kinds.end(), {"nak", "status:15"});
      if (request == "block") kinds.push_back("write-error");
      std::vector<std::string> repeats = {"", "x5", "x6", "x*"};
      if (reduced) repeats = {"", "x6"};
      for (const std::string& at : positions) {
        for (const std::string& kind : kinds) {
          std::string name = kind.substr(0, kind.find(':'));
          std::string arg = kind.find(':') == std::string::npos ? "" : kind.substr(kind.find(':'));
          for (const std::string& rep : repeats) {
            if ((name == "gone" || name == "stay" || name == "write-error") && !rep.empty()) {
              continue;  // these need no repetition
            }
            Scenario s{g.name, g.model, g.imageLength, {}, PhaseOfRequest(request)};
            s.faults.push_back(name + ":" + request + ":" + at + rep + arg);
            plcsim::FaultSpec spec;
            std::string error;
            if (plcsim::ParseFault(s.faults.back(), spec, error)) out.push_back(s);
          }
        }
      }
    }
  }
  // An answer that comes after its time-out arrives for the next read: the exchanges after it
  // must not take stale bytes for their own answers, least of all the closing byte's.
  for (const Group& g : kGroups) {
    const std::string mid = std::to_string(std::max(1u, BlocksOf(g) / 2));
    for (const char* late : {"delay:block:2:3500", "delay:erase-unit:1:3500", "delay:update:1:3500",
                             "stray:loader-id:1x4"}) {
      for (const char* refusal : {"nak:end:1x6", "silence:end:1x6", "write-error:block:"}) {
        std::string second = refusal;
        if (second.back() == ':') second += mid;
        out.push_back(Scenario{g.name, g.model, g.imageLength, {late, second}, ""});
      }
    }
  }
  for (const char* plc : kOldLoaders) {
    const plcsim::Profile* p = plcsim::FindProfile(plc);
    if (p != nullptr) out.push_back(Scenario{"old boot loader", p->toolModel, 30000, {}, "", plc});
  }
  return out;
}

// Random faults: one to three per burn, any kind at any place, from a seed.
std::vector<Scenario> BuildRandom(int count, uint32_t seed) {
  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const char* kinds[] = {"silence", "cut",  "stray",     "delay:3200",   "bad-lrc",     "lowercase",
                         "nak",     "gone", "status:15", "negative:2/4", "write-error", "stay"};
  std::vector<Scenario> out;
  while (static_cast<int>(out.size()) < count) {
    const Group& g = kGroups[pick(std::size(kGroups))];
    auto places = Places(g, false);
    Scenario s{g.name, g.model, g.imageLength, {}, ""};
    int n = 1 + static_cast<int>(pick(3));
    for (int i = 0; i < n; ++i) {
      const auto& place = places[pick(places.size())];
      std::string request = place.first;
      std::string kind = kinds[pick(std::size(kinds))];
      std::string name = kind.substr(0, kind.find(':'));
      std::string arg = kind.find(':') == std::string::npos ? "" : kind.substr(kind.find(':'));
      std::string at = place.second[pick(place.second.size())];
      std::string rep = pick(3) == 0 ? "x" + std::to_string(1 + pick(7)) : "";
      std::string text = name + ":" + request + ":" + at + rep + arg;
      plcsim::FaultSpec spec;
      std::string error;
      if (!plcsim::ParseFault(text, spec, error)) continue;  // a kind that does not apply here
      s.faults.push_back(text);
    }
    if (!s.faults.empty()) out.push_back(s);
  }
  return out;
}

// Chaos: random answers to every request. Success would be a lie.
bool RunChaos(int count, uint32_t seed, int& crashesOrLies) {
  for (int i = 0; i < count; ++i) {
    const Group& g = kGroups[static_cast<size_t>(i) % std::size(kGroups)];
    ResetBurnStateForTest();
    MatrixPlatform platform;
    ScopedPlatform scoped(platform);
    SelectModelForTest(g.model);
    SetSelectedComPort(kPort);
    platform.image = ImageBytes(g.imageLength, seed + static_cast<uint32_t>(i));
    ChaosLink chaos(seed * 7919u + static_cast<uint32_t>(i));
    platform.interfaces = {DeviceInterface{true, kUsbPath}};
    platform.opener = [&](const std::string&, OpenMode) -> LinkEndpoint* { return &chaos; };
    BurnParam param{kMainWindow, kButton};
    if (!RunBurn(&param)) {
      std::printf("chaos %d (%s): HANG\n", i, g.model);
      return false;
    }
    Outcome out;
    Judge(platform, out);
    CheckCleanEnd(platform, out);
    if (out.success || !out.problems.empty()) {
      ++crashesOrLies;
      std::printf("chaos %d (%s): %s %s\n", i, g.model, out.success ? "REPORTED SUCCESS" : "",
                  out.problems.empty() ? "" : out.problems.front().c_str());
    }
  }
  return true;
}

// A failure the second burn did not recover, though the guide says it would (a burn with a
// problem counts as unclean instead).
bool Unrecovered(const Outcome& out) {
  return out.ended && out.problems.empty() && !out.success && !out.recovered && !out.beyondRecovery;
}

int RunOne(const Scenario& s) {
  reportOne = true;
  Outcome out = RunScenario(s, 1);
  std::printf("%s -> %s, %s%s%s\n", s.model.c_str(), out.message.c_str(),
              out.falseSuccess ? "FALSE SUCCESS" : "honest",
              out.success          ? ""
              : out.recovered      ? ", recovered"
              : out.beyondRecovery ? ", not recovered, as the guide says"
                                   : ", NOT RECOVERED",
              out.problems.empty() ? "" : (", " + out.problems.front()).c_str());
  return out.falseSuccess || !out.problems.empty() || Unrecovered(out) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool reduced = false, verbose = false;
  int seeds = -1, chaos = -1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--reduced") {
      reduced = true;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--seeds" && i + 1 < argc) {
      seeds = std::atoi(argv[++i]);
    } else if (a == "--chaos" && i + 1 < argc) {
      chaos = std::atoi(argv[++i]);
    } else if (a == "--one" && i + 2 < argc) {
      // One burn, told in full: --one PROFILE FAULT[,FAULT...] (a model, or a PLC of the
      // simulator's variants on the model it names)
      std::string model = argv[++i], faults = argv[++i];
      Scenario s{"", model, 0, {}, ""};
      if (const plcsim::Profile* p = plcsim::FindProfile(model)) {
        if (p->toolModel != model) s = Scenario{"", p->toolModel, 0, {}, "", model};
      }
      for (const Group& g : kGroups) {
        if (s.model == g.model) s.imageLength = g.imageLength;
      }
      if (s.imageLength == 0) s.imageLength = 9096;
      for (size_t p = 0; p <= faults.size();) {
        size_t q = std::min(faults.find(',', p), faults.size());
        if (q > p) s.faults.push_back(faults.substr(p, q - p));
        p = q + 1;
      }
      return RunOne(s);
    } else {
      std::fprintf(stderr, "usage: %s [--reduced] [--seeds N] [--chaos N] [--verbose]\n", argv[0]);
      return 2;
    }
  }
  if (seeds < 0) seeds = reduced ? 60 : 400;
  if (chaos < 0) chaos = reduced ? 40 : 300;

  std::vector<Scenario> scenarios = BuildMatrix(reduced);
  std::vector<Scenario> random = BuildRandom(seeds, 20220728u);
  scenarios.insert(scenarios.end(), random.begin(), random.end());

  auto start = std::chrono::steady_clock::now();
  int successes = 0, failures = 0, falseSuccesses = 0, hangs = 0, unclean = 0, missed = 0;
  int recovered = 0, unrecovered = 0, beyond = 0;
  struct Tally {
    int failed = 0, recovered = 0;
    Remedy remedy = Remedy::kAgain;
  };
  std::map<std::string, Tally> byMessage;
  uint32_t salt = 1;
  for (const Scenario& s : scenarios) {
    Outcome out = RunScenario(s, salt++);
    std::string label = (s.plc.empty() ? s.model : s.plc) + " ";
    for (size_t i = 0; i < s.faults.size(); ++i) label += (i ? "," : "") + s.faults[i];
    if (!out.ended) {
      ++hangs;
      std::printf("HANG     %s\n", label.c_str());
      break;  // the worker cannot be stopped; report what we have
    }
    if (out.success) {
      ++successes;
    } else {
      ++failures;
      ++byMessage[out.message].failed;
      if (out.ending != kEndingCount) byMessage[out.message].remedy = kEndings[out.ending].remedy;
      byMessage[out.message].recovered += out.recovered;
      recovered += out.recovered;
      unrecovered += Unrecovered(out);
      beyond += out.beyondRecovery && !out.recovered;
    }
    falseSuccesses += out.falseSuccess;
    missed += out.missedSuccess;
    if (!out.problems.empty()) ++unclean;
    if (out.falseSuccess || !out.problems.empty() || Unrecovered(out) || verbose) {
      std::printf("%-8s %-40s -> %s%s%s\n",
                  out.falseSuccess        ? "LIE"
                  : !out.problems.empty() ? "PROBLEM"
                  : Unrecovered(out)      ? "STUCK"
                                          : "ok",
                  label.c_str(), out.message.c_str(), out.problems.empty() ? "" : "  | ",
                  out.problems.empty() ? "" : out.problems.front().c_str());
    }
  }
  int chaosBad = 0;
  bool chaosEnded = RunChaos(chaos, 4242u, chaosBad);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("\nFault matrix (%s): %zu scenarios (%d random), %d chaos burns, %.1f s\n",
              reduced ? "reduced" : "full", scenarios.size(), seeds, chaos, seconds);
  std::printf("  successes            %6d\n", successes);
  std::printf("  failures             %6d   recovered by a second burn: %d\n", failures, recovered);
  std::printf("    failed recovered  what the guide says to do first  message\n");
  for (const auto& [message, n] : byMessage) {
    std::printf("    %6d %9d  %-31s  %s\n", n.failed, n.recovered, RemedyName(n.remedy),
                message.c_str());
  }
  std::printf(
      "  not recovered        %6d   (must be 0; a boot loader too old for the firmware "
      "aside: %d)\n",
      unrecovered, beyond);
  std::printf("  false successes      %6d   (must be 0)\n", falseSuccesses);
  std::printf("  hangs                %6d   (must be 0)\n", hangs + (chaosEnded ? 0 : 1));
  std::printf("  unclean ends         %6d   (must be 0)\n", unclean);
  std::printf("  chaos lies or faults %6d   (must be 0)\n", chaosBad);
  std::printf("  failures although the flash holds the image: %d\n", missed);
  bool ok = falseSuccesses == 0 && hangs == 0 && unclean == 0 && chaosEnded && chaosBad == 0 &&
            unrecovered == 0;
  int total = static_cast<int>(scenarios.size()) + chaos;
  int bad = falseSuccesses + hangs + unclean + chaosBad + (chaosEnded ? 0 : 1) + unrecovered;
  std::printf("fault-matrix: %d passed, %d failed\n", total - bad, bad);
  std::fflush(stdout);
  if (hangs != 0 || !chaosEnded) std::_Exit(1);
  return ok ? 0 : 1;
}
