// One whole burn of the embedded image through the product's own StartBurn, timed phase by phase
// against the wire time of what the protocol has to send and receive. Printed, never asserted.
//
//   burn_bench [--port PORT] [--raw-port PORT] [--raw-device PATH] [--raw-count N]
//
// The platform is this build's own (Win32 under wine, POSIX natively) with two changes: message
// boxes are printed and answered at once, and the button and timer 5 do not exist. A COM model
// burns over PORT; a model of the USB set finds and opens its device as the product does (under
// wine, the simulated USB device of tools/wine-usb-device). Waits stay real. --raw-port and
// --raw-device measure the raw round-trip rate (a 261-byte write and a 1-byte reply, the line set
// up as the transfer has it) on a COM port and on a device path first, in the same run.
//
// The wire time counts every byte written and every byte read at the line rate in force, 10 bits
// a byte: 960 bytes/s until the loader has acknowledged "UPDATE", 11,520 bytes/s after it (the
// simulated PLC paces the USB models the same way). To that it adds the waits the protocol itself
// orders: a read that waits out the wake-up's 200 ms time-out, and the hand-over's sleep. A read
// that waits out any other time-out is no part of the wire time; it is counted apart and should
// not happen against a PLC that answers.
//
// The last line is one "figures:" line of key=value pairs for tools/bench-burn.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "firmware_name.h"
#include "link/exchange.h"
#include "platform/platform.h"
#include "update/driver.h"
#include "update/endings.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

constexpr double kSlowBytesPerSecond = 960.0;    // 9600 baud, 10 bits a byte
constexpr double kFastBytesPerSecond = 11520.0;  // 115200 baud, 10 bits a byte
constexpr uint32_t kWakeUpTimeoutMs = 200;

// The burn's phases as the panel shows them: the monitor-mode cycle and the hand-over (Idle), the
// loader's erase and the update request (Erasing), the block transfer (Programming).
enum Phase { kMonitor = 0, kErase = 1, kTransfer = 2, kPhases = 3 };
const char* const kPhaseNames[kPhases] = {"monitor phase", "erase", "transfer"};

struct PhaseFigures {
  double wallSeconds = 0;
  double wireSeconds = 0;  // bytes at the line rate in force
  double waitSeconds = 0;  // waits the protocol orders
  uint64_t bytesOut = 0;
  uint64_t bytesIn = 0;
  int writes = 0;
  int unexpectedTimeouts = 0;
};

class BenchPlatform : public LinkPlatform, public Platform {
 public:
  PhaseFigures phases[kPhases];
  std::vector<std::string> messages;
  int blocks = 0;
  // Inside the link's calls during the transfer; the rest of its time is the tool's own.
  double transferPurgeSeconds = 0, transferWriteSeconds = 0, transferReadSeconds = 0;

  void Start() {
    phase_ = kMonitor;
    fast_ = false;
    phaseStart_ = Clock::now();
  }
  void Finish() {
    Flush();
    phases[phase_].wallSeconds += Seconds(Clock::now() - phaseStart_);
  }

  LinkHandle OpenLink(const char* path, OpenMode mode) override {
    Track();
    return RealLink().OpenLink(path, mode);
  }
  void CloseLink(LinkHandle link) override {
    Track();
    // A new link starts at the line rate of monitor mode, as the simulated PLC does.
    fast_ = false;
    RealLink().CloseLink(link);
  }
  uint32_t WriteLink(LinkHandle link, const uint8_t* data, uint32_t count) override {
    Track();
    const auto t0 = Clock::now();
    const uint32_t n = RealLink().WriteLink(link, data, count);
    if (phase_ == kTransfer) transferWriteSeconds += Seconds(Clock::now() - t0);
    PhaseFigures& p = phases[phase_];
    p.bytesOut += n;
    pendingWire_ += n / Rate();
    ++p.writes;
    if (phase_ == kTransfer && count > 1) ++blocks;
    return n;
  }
  uint32_t ReadLink(LinkHandle link, uint8_t* data, uint32_t count) override {
    Track();
    const auto t0 = Clock::now();
    const uint32_t n = RealLink().ReadLink(link, data, count);
    if (phase_ == kTransfer) transferReadSeconds += Seconds(Clock::now() - t0);
    PhaseFigures& p = phases[phase_];
    p.bytesIn += n;
    if (n < count && timeouts_.readTotalTimeoutConstant == kWakeUpTimeoutMs) {
      // The wake-up reads more than its echo: the read lasts its time-out from the moment it
      // starts, and the frame written just before and its echo cross the line within it.
      p.waitSeconds += kWakeUpTimeoutMs / 1000.0;
    } else {
      if (n < count) ++p.unexpectedTimeouts;
      p.wireSeconds += pendingWire_ + n / Rate();
    }
    pendingWire_ = 0;
    return n;
  }
  void SetLine(LinkHandle link, const LineSettings& s) override {
    Track();
    fast_ = s.baudRate >= 115200;
    RealLink().SetLine(link, s);
  }
  void SetTimeouts(LinkHandle link, const LinkTimeouts& t) override {
    timeouts_ = t;
    RealLink().SetTimeouts(link, t);
  }
  void PurgeInput(LinkHandle link) override {
    Track();
    const auto t0 = Clock::now();
    RealLink().PurgeInput(link);
    if (phase_ == kTransfer) transferPurgeSeconds += Seconds(Clock::now() - t0);
  }
  bool ListPresentDevices(std::vector<PresentDevice>& d) override {
    return Real().ListPresentDevices(d);
  }
  bool ListDeviceInterfaces(const Guid& c, std::vector<DeviceInterface>& interfaces) override {
    return Real().ListDeviceInterfaces(c, interfaces);
  }
  LinkHold HoldLink(const char* name) override { return Real().HoldLink(name); }
  void ReleaseLink(LinkHold hold) override { Real().ReleaseLink(hold); }
  bool LinkHeld(const char* name) override { return Real().LinkHeld(name); }
  bool LoadFirmwareImage(const uint8_t** d, uint32_t* s, void** h) override {
    return Real().LoadFirmwareImage(d, s, h);
  }
  void FreeFirmwareImage(void* h) override { Real().FreeFirmwareImage(h); }
  void ShowMessage(WindowHandle, const char* text, const char* caption, MessageIcon) override {
    Track();
    std::printf("  message box: %s | %s\n", caption, text);
    messages.push_back(std::string(caption) + " | " + text);
  }
  void SleepSeconds(unsigned s) override {
    Track();
    Real().SleepSeconds(s);
    phases[phase_].waitSeconds += s;
  }

 private:
  static LinkPlatform& RealLink() { return ThisSystem(); }
  static Platform& Real() { return ThisSystem(); }

  // The phase is the panel's: taken from the burn state at every call the burn makes.
  void Track() {
    const int shown = flashStatus.load(std::memory_order_relaxed);
    const Phase now = shown == kFlashProgramming ? kTransfer
                      : shown == kFlashErasing   ? kErase
                                                 : kMonitor;
    // After the transfer the clean-up sets Idle again; that is still the transfer's end.
    if (now <= phase_) return;
    Flush();
    const auto t = Clock::now();
    phases[phase_].wallSeconds += Seconds(t - phaseStart_);
    phaseStart_ = t;
    phase_ = now;
  }
  double Rate() const { return fast_ ? kFastBytesPerSecond : kSlowBytesPerSecond; }
  void Flush() {
    phases[phase_].wireSeconds += pendingWire_;
    pendingWire_ = 0;
  }

  double pendingWire_ = 0;  // bytes written since the last read
  Phase phase_ = kMonitor;
  bool fast_ = false;
  LinkTimeouts timeouts_{};
  Clock::time_point phaseStart_;
};

// Round trips of a 261-byte write and a 1-byte reply, the line set up as the transfer has it, on
// a COM port or a device path (\\?\...).
double RawRoundTripsPerSecond(const std::string& port, int count) {
  LinkPlatform& p = ThisSystem();
  const bool device = port.rfind("\\\\?\\", 0) == 0;
  LinkHandle link = p.OpenLink(port.c_str(), device ? OpenMode::UsbDevice : OpenMode::ComPort);
  if (link == INVALID_LINK_HANDLE) {
    std::fprintf(stderr, "cannot open %s\n", port.c_str());
    return 0;
  }
  p.SetLine(link, kLoaderLine);
  p.SetTimeouts(link, kNormalTimeouts);
  uint8_t block[261];
  std::memset(block, 0x55, sizeof block);
  uint8_t reply[1];
  int done = 0;
  const auto t0 = Clock::now();
  for (; done < count; ++done) {
    p.PurgeInput(link);  // as every request of the transfer does
    if (p.WriteLink(link, block, sizeof block) != sizeof block) break;
    if (p.ReadLink(link, reply, 1) != 1) break;
  }
  const double s = Seconds(Clock::now() - t0);
  p.CloseLink(link);
  if (done < count) std::fprintf(stderr, "raw round trips stopped after %d\n", done);
  return s > 0 ? done / s : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string port;
  std::string rawPort, rawDevice;
  int rawCount = 8096;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--port") {
      port = value, ++i;
    } else if (arg == "--raw-port") {
      rawPort = value, ++i;
    } else if (arg == "--raw-device") {
      rawDevice = value, ++i;
    } else if (arg == "--raw-count") {
      rawCount = std::max(1, std::atoi(value.c_str())), ++i;
    } else {
      std::fprintf(stderr,
                   "usage: burn_bench [--port PORT] [--raw-port PORT] [--raw-device PATH] "
                   "[--raw-count N]\n");
      return 2;
    }
  }

  double raw = 0, rawThroughDevice = 0;
  if (!rawPort.empty()) {
    raw = RawRoundTripsPerSecond(rawPort, rawCount);
    std::printf("raw round trips on %s: %.0f/s\n", rawPort.c_str(), raw);
  }
  if (!rawDevice.empty()) {
    rawThroughDevice = RawRoundTripsPerSecond(rawDevice, rawCount);
    std::printf("raw round trips through %s: %.0f/s\n", rawDevice.c_str(), rawThroughDevice);
  }

  // The model the image's name gives, as the window selects it at start-up.
  char model[kModelNameSize];
  ModelPartOfImageName(FIRMWARE_NAME, model);
  if (!SelectPLCByName(model)) {
    std::fprintf(stderr, "burn_bench: no model %s in the catalogue\n", model);
    return 2;
  }
  if (InUsbSet()) {
    SetSelectedComPort("USB");
  } else if (port.empty()) {
    std::fprintf(stderr, "burn_bench: %s is a COM model: --port is needed\n", model);
    return 2;
  } else {
    SetSelectedComPort(port.c_str());
  }

  BenchPlatform bench;
  SetLinkPlatform(&bench);
  SetPlatform(&bench);
  std::printf("burn of %s on %s\n", model, InUsbSet() ? "its USB device" : port.c_str());
  bench.Start();
  const auto t0 = Clock::now();
  StartBurn(nullptr);
  const double total = Seconds(Clock::now() - t0);
  bench.Finish();
  SetLinkPlatform(nullptr);
  SetPlatform(nullptr);

  const bool success = bench.messages.size() == 2 && RecordedSuccess();
  double wire = 0, waits = 0;
  int unexpected = 0;
  for (int i = 0; i < kPhases; ++i) {
    const PhaseFigures& p = bench.phases[i];
    const double due = p.wireSeconds + p.waitSeconds;
    wire += p.wireSeconds;
    waits += p.waitSeconds;
    unexpected += p.unexpectedTimeouts;
    std::printf(
        "  %-13s %8.3f s; bytes %7llu out, %6llu in: wire %8.3f s + ordered waits %6.3f s; "
        "ratio %.4f; time-outs waited out besides: %d\n",
        kPhaseNames[i], p.wallSeconds, static_cast<unsigned long long>(p.bytesOut),
        static_cast<unsigned long long>(p.bytesIn), p.wireSeconds, p.waitSeconds,
        due > 0 ? p.wallSeconds / due : 0, p.unexpectedTimeouts);
  }
  const PhaseFigures& t = bench.phases[kTransfer];
  const double blocksPerSecond = t.wallSeconds > 0 ? bench.blocks / t.wallSeconds : 0;
  std::printf("  whole burn    %8.3f s against %.3f s (wire %.3f s + waits %.3f s): ratio %.4f\n",
              total, wire + waits, wire, waits, total / (wire + waits));
  std::printf("  %d blocks in %.3f s: %.0f blocks/s%s\n", bench.blocks, t.wallSeconds,
              blocksPerSecond, success ? "" : "  (THE BURN FAILED)");

  if (bench.blocks > 0) {
    const double perBlock = 1e6 / bench.blocks;
    const double own = t.wallSeconds - bench.transferPurgeSeconds - bench.transferWriteSeconds -
                       bench.transferReadSeconds;
    std::printf(
        "  per block: %.1f us due on the wire, %.1f us taken: discarding input %.1f us, "
        "writing %.1f us, reading the answer %.1f us, the tool's own %.1f us\n",
        t.wireSeconds * perBlock, t.wallSeconds * perBlock, bench.transferPurgeSeconds * perBlock,
        bench.transferWriteSeconds * perBlock, bench.transferReadSeconds * perBlock,
        own * perBlock);
  }

  std::printf("figures: result=%s total=%.4f due=%.4f", success ? "ok" : "failed", total,
              wire + waits);
  static const char* const keys[kPhases] = {"monitor", "erase", "transfer"};
  for (int i = 0; i < kPhases; ++i) {
    const PhaseFigures& p = bench.phases[i];
    std::printf(" %s_wall=%.4f %s_wire=%.4f %s_waits=%.4f", keys[i], p.wallSeconds, keys[i],
                p.wireSeconds, keys[i], p.waitSeconds);
  }
  std::printf(" purge_s=%.4f write_s=%.4f read_s=%.4f", bench.transferPurgeSeconds,
              bench.transferWriteSeconds, bench.transferReadSeconds);
  std::printf(" blocks=%d blocks_per_s=%.1f raw_per_s=%.1f raw_device_per_s=%.1f", bench.blocks,
              blocksPerSecond, raw, rawThroughDevice);
  std::printf(" unexpected_timeouts=%d\n", unexpected);
  return success ? 0 : 1;
}
