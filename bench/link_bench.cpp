// Figures of the link for the default image, printed (never asserted):
//   - the CPU time of the whole block transfer in-process, against a loader that acknowledges at
//     once (and, natively, against the simulated PLC);
//   - blocks per second over a real line with plcsim answering at once, beside the raw round-trip
//     rate of a 261-byte write and a 1-byte reply measured in the same run;
//   - with plcsim pacing the line at 115200 baud, the transfer time over the wire time of the
//     blocks and their acknowledges.
//
// Natively the program makes its own pseudo-terminals and starts plcsim itself:
//   link_bench [--plcsim PATH] [--paced] [--no-line]
// Under wine the ports are prepared outside (tools/bench-link):
//   link_bench.exe --raw-port COMa --sim-port COMb
// and natively `link_bench --respond LINKPATH` serves the raw round trips on a pseudo-terminal
// reachable through LINKPATH.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "link/exchange.h"
#include "link/loader.h"
#include "link/monitor.h"
#include "link/ports.h"
#include "link/transfer.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#endif

#ifdef MORVEX_BENCH_SIM
#include "sim/plc.h"
#include "sim/sim_link.h"
#include "testsupport/fake_platform.h"
#include "testsupport/sim_endpoint.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kModel = "KL3-KR3";
constexpr uint32_t kBlockBytes = 261;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Processor time of this process; where the C library has only wall time, wall time.
double CpuSeconds() {
#ifdef _WIN32
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#else
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

// A link behind which a loader acknowledges every write at once: the transfer's own cost.
class AckingPlatform : public LinkPlatform {
 public:
  LinkHandle OpenLink(const char*, OpenMode) override { return this; }
  void CloseLink(LinkHandle) override {}
  uint32_t WriteLink(LinkHandle, const uint8_t*, uint32_t count) override { return count; }
  uint32_t ReadLink(LinkHandle, uint8_t* data, uint32_t count) override {
    if (count == 0) return 0;
    data[0] = 0x06;
    return 1;
  }
  void SetLine(LinkHandle, const LineSettings&) override {}
  void SetTimeouts(LinkHandle, const LinkTimeouts&) override {}
  void PurgeInput(LinkHandle) override {}
};

// The link of this build, with the time spent inside its writes and reads summed: what is left of
// a transfer's time is the tool's own.
class TimingPlatform : public LinkPlatform {
 public:
  double linkSeconds = 0;

  LinkHandle OpenLink(const char* path, OpenMode mode) override { return P().OpenLink(path, mode); }
  void CloseLink(LinkHandle link) override { P().CloseLink(link); }
  uint32_t WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) override {
    const auto t0 = Clock::now();
    const uint32_t n = P().WriteLink(link, data, count);
    linkSeconds += Seconds(Clock::now() - t0);
    return n;
  }
  uint32_t ReadLink(LinkHandle link, uint8_t* data, uint32_t count) override {
    const auto t0 = Clock::now();
    const uint32_t n = P().ReadLink(link, data, count);
    linkSeconds += Seconds(Clock::now() - t0);
    return n;
  }
  void SetLine(LinkHandle link, const LineSettings& s) override { P().SetLine(link, s); }
  void SetTimeouts(LinkHandle link, const LinkTimeouts& t) override { P().SetTimeouts(link, t); }
  void PurgeInput(LinkHandle link) override { P().PurgeInput(link); }

 private:
  static LinkPlatform& P() { return ThisSystem(); }
};

TimingPlatform timing;

struct TransferRun {
  uint8_t result = 0xFF;
  int32_t blocks = 0;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double linkSeconds = 0;  // inside the link's writes and reads

  // The tool's own time per block, between an acknowledge and the next block.
  double OwnMicrosecondsPerBlock() const {
    return blocks > 0 ? (wallSeconds - linkSeconds) / blocks * 1e6 : 0;
  }
};

TransferRun TimeSendFW(LinkHandle link) {
  TransferRun run;
  if (!LoadFirmware()) return run;
  run.blocks = BlockCount(fileLength);
  const double cpu0 = CpuSeconds();
  const double link0 = timing.linkSeconds;
  const auto t0 = Clock::now();
  run.result = SendFW(link);
  run.wallSeconds = Seconds(Clock::now() - t0);
  run.cpuSeconds = CpuSeconds() - cpu0;
  run.linkSeconds = timing.linkSeconds - link0;
  CloseFile();
  return run;
}

// Brings a PLC that plays the default image's model to the point where it takes blocks: monitor
// mode, erase request, loader mode, erase, "UPDATE". The simulator hands over at once.
bool PrepareTransfer(LinkHandle link) {
  hSerial = link;
  DummyComm(link);
  if (ConfirmComm(link) != kMonitorMode || CheckID_A(link) != kResultOk ||
      SendErase_A(link) != kResultOk) {
    std::fprintf(stderr, "monitor mode did not hand over\n");
    return false;
  }
  DummyComm(link);
  if (ConfirmComm(link) != kLoaderMode || CheckID_B(link) != 0 || read_fu_version_B() != 0) {
    std::fprintf(stderr, "the loader did not answer\n");
    return false;
  }
  if (!LoadFirmware()) return false;
  const bool ok = SendErase_B(link) == 0 && SendUpdate(link) == 0;
  CloseFile();
  if (!ok) std::fprintf(stderr, "erase or update refused\n");
  return ok;
}

void InProcessFigures() {
  AckingPlatform acking;
  SetLinkPlatform(&acking);
  double best = 1e9;
  TransferRun run;
  for (int i = 0; i < 5; ++i) {
    run = TimeSendFW(&acking);
    if (run.cpuSeconds < best) best = run.cpuSeconds;
  }
  SetLinkPlatform(nullptr);
#ifdef _WIN32
  const char* what = "wall";
#else
  const char* what = "CPU";
#endif
  std::printf(
      "SendFW in-process, acknowledging loader: %d blocks, result %u, %s time %.1f ms "
      "(best of 5; goal < 50 ms)\n",
      run.blocks, run.result, what, best * 1e3);

#ifdef MORVEX_BENCH_SIM
  FakePlatform fake;
  const plcsim::Profile* profile = plcsim::FindProfile(kModel);
  plcsim::Plc plc(*profile);
  plcsim::HandoverPolicy immediate;
  immediate.immediate = true;
  plc.SetHandover(immediate);
  plcsim::SimLink simLink(plc);
  SimEndpoint endpoint(simLink);
  fake.opener = [&](const std::string&, OpenMode) { return &endpoint; };
  SetLinkPlatform(&fake);
  LinkHandle link = OpenComLink("COM1");
  if (PrepareTransfer(link)) {
    run = TimeSendFW(link);
    std::printf(
        "SendFW in-process, simulated PLC (its CRC and checks included): %d blocks, "
        "result %u, CPU time %.1f ms, flash %s the image\n",
        run.blocks, run.result, run.cpuSeconds * 1e3, plc.complete() ? "equal to" : "NOT equal to");
  }
  fake.CloseLink(link);
  SetLinkPlatform(nullptr);
#endif
}

// Round trips of a 261-byte write and a 1-byte reply on an open link.
double RawRoundTripsPerSecond(LinkHandle link, int count) {
  // The line as the transfer has it: after "UPDATE", with the normal time-outs.
  LinkPlat().SetLine(link, kLoaderLine);
  SetNormalTimeouts(link);
  uint8_t block[kBlockBytes];
  std::memset(block, 0x55, sizeof block);
  uint8_t reply[1];
  int done = 0;
  const auto t0 = Clock::now();
  for (; done < count; ++done) {
    if (LinkPlat().WriteLink(link, block, sizeof block) != sizeof block) break;
    if (LinkPlat().ReadLink(link, reply, 1) != 1) break;
  }
  const double s = Seconds(Clock::now() - t0);
  if (done < count) std::fprintf(stderr, "raw round trips stopped after %d\n", done);
  return done / s;
}

double BlocksPerSecond(const TransferRun& run) {
  return run.result == 0 && run.wallSeconds > 0 ? run.blocks / run.wallSeconds : 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void LineFigures(const char* where, const std::vector<double>& raw,
                 const std::vector<double>& blocks, const TransferRun& last) {
  const double rawBest = *std::max_element(raw.begin(), raw.end());
  const double blocksBest = *std::max_element(blocks.begin(), blocks.end());
  std::printf("%s (%zu round%s of %d blocks; last result %u):\n", where, raw.size(),
              raw.size() == 1 ? "" : "s", last.blocks, last.result);
  std::printf("  raw round trips (261-byte write, 1-byte reply): best %.0f/s, median %.0f/s\n",
              rawBest, Median(raw));
  std::printf("  SendFW: best %.0f blocks/s, median %.0f blocks/s\n", blocksBest, Median(blocks));
  std::printf("  SendFW against raw: best %.1f%%, median %.1f%% (goal >= 90%%)\n",
              100.0 * blocksBest / rawBest, 100.0 * Median(blocks) / Median(raw));
  std::printf("  the tool's own time between an acknowledge and the next block: %.1f us\n",
              last.OwnMicrosecondsPerBlock());
}

#ifndef _WIN32

int OpenRawPty(std::string* name) {
  int master = -1, slave = -1;
  char path[256] = {};
  if (openpty(&master, &slave, path, nullptr, nullptr) != 0) return -1;
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  // The slave stays open here, so that the tool closing its end does not hang the line up.
  *name = path;
  return master;
}

// Answers every 261 bytes with one acknowledge, for ever.
[[noreturn]] void Respond(int fd) {
  uint8_t buffer[kBlockBytes];
  size_t have = 0;
  for (;;) {
    const ssize_t n = read(fd, buffer + have, sizeof buffer - have);
    if (n <= 0) continue;
    have += static_cast<size_t>(n);
    if (have == sizeof buffer) {
      const uint8_t ack = 0x06;
      if (write(fd, &ack, 1) != 1) std::exit(1);
      have = 0;
    }
  }
}

// Serves the raw round trips on a new pseudo-terminal: prints its path, and makes `linkPath`
// (when given) a link to it.
int RespondOn(const std::string& linkPath) {
  std::string name;
  const int master = OpenRawPty(&name);
  if (master < 0) return 1;
  if (!linkPath.empty()) {
    unlink(linkPath.c_str());
    if (symlink(name.c_str(), linkPath.c_str()) != 0) return 1;
  }
  std::printf("%s\n", name.c_str());
  std::fflush(stdout);
  Respond(master);
}

// Starts a program that serves a pseudo-terminal and prints its path first; returns its pid.
pid_t StartServer(std::vector<std::string> args, std::string* path) {
  int out[2];
  if (pipe(out) != 0) return -1;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return -1;
  }
  char c;
  path->clear();
  while (read(out[0], &c, 1) == 1 && c != '\n') *path += c;
  close(out[0]);
  return pid;
}

void StopServer(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

double NativeRawRate(int count) {
  std::string path;
  const pid_t pid = StartServer({"/proc/self/exe", "--respond", ""}, &path);
  if (pid < 0 || path.empty()) return 0;
  LinkHandle link = LinkPlat().OpenLink(path.c_str(), OpenMode::ComPort);
  const double rate = link != INVALID_LINK_HANDLE ? RawRoundTripsPerSecond(link, count) : 0;
  LinkPlat().CloseLink(link);
  StopServer(pid);
  return rate;
}

TransferRun NativeSimTransfer(const std::string& plcsim, bool paced) {
  TransferRun run;
  std::vector<std::string> args = {plcsim,      "--model", kModel,     "--handover",
                                   "immediate", "--quiet", "--report", "/dev/null"};
  if (paced) args.push_back("--baud-pacing");
  std::string path;
  const pid_t pid = StartServer(args, &path);
  if (pid < 0 || path.empty()) {
    std::fprintf(stderr, "cannot start %s\n", plcsim.c_str());
    return run;
  }
  LinkHandle link = LinkPlat().OpenLink(path.c_str(), OpenMode::ComPort);
  if (link != INVALID_LINK_HANDLE && PrepareTransfer(link)) run = TimeSendFW(link);
  LinkPlat().CloseLink(link);
  StopServer(pid);
  return run;
}

#endif

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures show as they come, also into a file
  std::string plcsim, rawPort, simPort;
  [[maybe_unused]] bool paced = false, line = true;  // native runs only
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--plcsim") {
      plcsim = value();
    } else if (arg == "--paced") {
      paced = true;
    } else if (arg == "--no-line") {
      line = false;
    } else if (arg == "--raw-port") {
      rawPort = value();
    } else if (arg == "--sim-port") {
      simPort = value();
#ifndef _WIN32
    } else if (arg == "--respond") {
      return RespondOn(value());
#endif
    } else {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  SelectPLCByName(kModel);

  InProcessFigures();
  SetLinkPlatform(&timing);

  if (!rawPort.empty() && !simPort.empty()) {
    // plcsim serves one burn: one round here; the script runs the program again for more.
    LinkHandle raw = OpenComLink(rawPort.c_str());
    const double rate = raw != INVALID_LINK_HANDLE ? RawRoundTripsPerSecond(raw, 8096) : 0;
    LinkPlat().CloseLink(raw);
    LinkHandle sim = OpenComLink(simPort.c_str());
    TransferRun run;
    if (sim != INVALID_LINK_HANDLE && PrepareTransfer(sim)) run = TimeSendFW(sim);
    LinkPlat().CloseLink(sim);
    LineFigures("Serial port, plcsim answering at once", {rate}, {BlocksPerSecond(run)}, run);
  }
#ifndef _WIN32
  if (line && !plcsim.empty()) {
    // Other work on the machine disturbs single runs: five rounds, each measuring both.
    std::vector<double> raw, blocks;
    TransferRun run;
    for (int round = 0; round < 5; ++round) {
      raw.push_back(NativeRawRate(8096));
      run = NativeSimTransfer(plcsim, false);
      blocks.push_back(BlocksPerSecond(run));
    }
    LineFigures("Pseudo-terminal, plcsim answering at once", raw, blocks, run);
    if (paced) {
      const TransferRun pacedRun = NativeSimTransfer(plcsim, true);
      // Every block and its acknowledge, then 0x04 and its acknowledge, 10 bits a byte.
      const double wire = (pacedRun.blocks * (kBlockBytes + 1.0) + 2.0) * 10.0 / 115200.0;
      std::printf(
          "Paced at 115200 baud: SendFW result %u in %.2f s, wire time %.2f s, ratio %.4f "
          "(goal <= 1.01)\n",
          pacedRun.result, pacedRun.wallSeconds, wire, pacedRun.wallSeconds / wire);
      std::printf("  the tool's own share: %.1f us per block, a ratio of %.4f on its own\n",
                  pacedRun.OwnMicrosecondsPerBlock(),
                  (wire + pacedRun.wallSeconds - pacedRun.linkSeconds) / wire);
    }
  }
#endif
  return 0;
}
