// plcsim: the simulated PLC on a pseudo-terminal, for end-to-end tests, benchmarks and the demo.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/fault.h"
#include "sim/plc.h"
#include "sim/profile.h"
#include "sim/pty_server.h"

namespace {

const char kUsage[] =
    "Usage: plcsim [OPTION]...\n"
    "Plays a PLC (its firmware and its boot loader) on a pseudo-terminal. Prints the path of the\n"
    "terminal the tool should open as the first line of standard output, answers on it, checks\n"
    "every byte the tool sends, and writes a JSON report when the burn ends or on SIGINT/SIGTERM.\n"
    "\n"
    "Options (a value may follow as the next argument or after '='):\n"
    "  --model NAME, --profile NAME\n"
    "                     the PLC to play (default KL3-KR3); see --list and Profiles below\n"
    "  --list             print the named profiles and exit\n"
    "  --describe MODEL   print what a burn of MODEL (one of the 32) takes, as key=value lines,\n"
    "                     and exit: model, link (usb or com), limit (the largest image),\n"
    "                     image_size, sent (the image bytes the blocks carry), block_size,\n"
    "                     blocks, erase_units, handover (replug, power-cycle or immediate)\n"
    "  --image-size N     with --describe: of an image of N bytes (default: the size limit)\n"
    "  --fault SPEC       inject a fault; repeatable (see Faults below)\n"
    "  --handover MODE    when the firmware restarts into its boot loader after an accepted\n"
    "                     erase and its acknowledgement:\n"
    "                       auto       (default) models that restart at once do so; replug and\n"
    "                                  power-cycle models restart when the tool closes the\n"
    "                                  terminal, or else on a wake-up frame that comes at least\n"
    "                                  500 ms after the erase (a closing is not always seen, e.g.\n"
    "                                  when wine keeps the terminal open)\n"
    "                       close      only when the tool closes the terminal\n"
    "                       immediate  at once, whatever the model\n"
    "                       gap:MS     on the first wake-up frame at least MS ms after the erase\n"
    "  --baud-pacing      pace reading and answering at the line rate, 10 bits a byte: 960 B/s\n"
    "                     (9600 7E1) until UPDATE is acknowledged, then 11,520 B/s (115200 8N1)\n"
    "  --report FILE      write the JSON report to FILE (default: standard output). It is written\n"
    "                     when the transfer is closed and when plcsim ends (signal, --exit-after,\n"
    "                     the line gone). Top-level values stand one per line, e.g.\n"
    "                       \"result\": \"complete\",\n"
    "                     so that grep can read them; \"result\" is \"complete\" only when every\n"
    "                     block and the closing 0x04 were acknowledged. Other fields: mode,\n"
    "                     violation_count, erase_units, blocks_received/accepted/resent/\n"
    "                     repeated/refused, flash_length, flash_sha256, image_sha256 (the flash\n"
    "                     cut to the image bytes sent, with --image-length), line_gone,\n"
    "                     mode_changes, request_counts, requests, faults (with how often each\n"
    "                     fired), violations\n"
    "  --flash-out FILE   write the flash (every block's data, fill bytes included) to FILE\n"
    "  --exit-after WHEN  end: (default) end once the transfer is closed or the line is gone;\n"
    "                     never: serve until a signal; SECONDS: end after that many seconds\n"
    "  --link PATH        also make PATH a symbolic link to the terminal (e.g. a wine\n"
    "                     dosdevices/com5 entry); removed at the end\n"
    "  --image-length N   the length of the image the tool burns: checks the number of erase\n"
    "                     units and blocks and the 0x1A fill bytes, and reports image_sha256\n"
    "  --quiet            no log of requests on standard error\n"
    "  --help             this text\n"
    "\n"
    "Profiles:\n"
    "  MODEL              each of the 32 catalogue models, with the IDs, registers and boot\n"
    "                     loader version that let a burn of that model pass\n"
    "  PLC@MODEL          a PLC of model PLC (its IDs, registers, versions) on a tool that burns\n"
    "                     MODEL: the named ones are refused by a gate, e.g. KL2-G-V2@KL2-KR2-V2\n"
    "                     (a KL2-G on a KL2-KR2 image), KL2-G-V4@KL2-G-V2 (V4 on V2), PN32@PN2,\n"
    "                     QD24@QD, PV-V4@PV-V3, BRT-KL2-V4@BRT-KL2-V2\n"
    "  NAME/MOD[/MOD]...  NAME changed by: loader-X.Y (boot loader version, hex digits; e.g.\n"
    "                     KR3-AIO/loader-1.0 is too old), silent-erase (the firmware does not\n"
    "                     answer the erase request: KL2-G-V2, KL2-G-V4, KR2-VAN), id=N,\n"
    "                     monitor-id=N, loader-id=N, d1386=N, d1001=N, d1148=N, wakeup-none,\n"
    "                     wakeup-junk (11 junk bytes answer a wake-up; default: its echo)\n"
    "\n";

bool TakeValue(int argc, char** argv, int& i, const char* name, std::string& value) {
  const std::string arg = argv[i];
  const std::string prefix = std::string(name) + "=";
  if (arg.rfind(prefix, 0) == 0) {
    value = arg.substr(prefix.size());
    return true;
  }
  if (arg != name) return false;
  if (i + 1 >= argc) {
    std::fprintf(stderr, "plcsim: %s needs a value\n", name);
    std::exit(2);
  }
  value = argv[++i];
  return true;
}

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "plcsim: %s (see --help)\n", text.c_str());
  std::exit(2);
}

bool ParseUnsigned(const std::string& s, uint32_t& out) {
  if (s.empty() || s[0] == '-') return false;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (*end != '\0' || v > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace plcsim;
  std::string model = "KL3-KR3";
  std::vector<FaultSpec> faults;
  ServerOptions o;
  bool hasImageLength = false;
  uint32_t imageLength = 0;
  std::string describe;
  std::string imageSize;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(FaultHelp(), stdout);
      return 0;
    } else if (arg == "--list") {
      for (const std::string& n : ProfileNames()) {
        std::printf("%-24s %s\n", n.c_str(), FindProfile(n)->description.c_str());
      }
      return 0;
    } else if (TakeValue(argc, argv, i, "--describe", v)) {
      describe = v;
    } else if (TakeValue(argc, argv, i, "--image-size", v)) {
      imageSize = v;
    } else if (TakeValue(argc, argv, i, "--model", v) || TakeValue(argc, argv, i, "--profile", v)) {
      model = v;
    } else if (TakeValue(argc, argv, i, "--fault", v)) {
      FaultSpec f;
      std::string error;
      if (!ParseFault(v, f, error)) Fail("bad fault '" + v + "': " + error);
      faults.push_back(f);
    } else if (TakeValue(argc, argv, i, "--handover", v)) {
      if (v == "auto") {
        o.handover = HandoverOption::kAuto;
      } else if (v == "close") {
        o.handover = HandoverOption::kClose;
      } else if (v == "immediate") {
        o.handover = HandoverOption::kImmediate;
      } else if (v.rfind("gap:", 0) == 0 && ParseUnsigned(v.substr(4), o.gapMs)) {
        o.handover = HandoverOption::kGap;
      } else {
        Fail("bad hand-over '" + v + "'");
      }
    } else if (arg == "--baud-pacing") {
      o.pace = true;
    } else if (TakeValue(argc, argv, i, "--report", v)) {
      o.reportPath = v;
    } else if (TakeValue(argc, argv, i, "--flash-out", v)) {
      o.flashOut = v;
    } else if (TakeValue(argc, argv, i, "--exit-after", v)) {
      if (v == "end") {
        o.exitAfter = ServerOptions::ExitAfter::kEnd;
      } else if (v == "never") {
        o.exitAfter = ServerOptions::ExitAfter::kNever;
      } else {
        char* end = nullptr;
        o.seconds = std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || !(o.seconds > 0)) Fail("bad --exit-after '" + v + "'");
        o.exitAfter = ServerOptions::ExitAfter::kSeconds;
      }
    } else if (TakeValue(argc, argv, i, "--link", v)) {
      o.linkPath = v;
    } else if (TakeValue(argc, argv, i, "--image-length", v)) {
      if (!ParseUnsigned(v, imageLength)) Fail("bad image length '" + v + "'");
      hasImageLength = true;
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else {
      Fail("unknown option '" + arg + "'");
    }
  }
  if (!describe.empty()) {
    const Profile* p = FindProfile(describe);
    if (p == nullptr || p->name != p->toolModel) Fail("unknown model '" + describe + "'");
    uint32_t n = SizeLimit(*p);
    if (!imageSize.empty() && !ParseUnsigned(imageSize, n))
      Fail("bad image size '" + imageSize + "'");
    std::fputs(Describe(*p, n).c_str(), stdout);
    return 0;
  }
  const Profile* profile = FindProfile(model);
  if (profile == nullptr) Fail("unknown profile '" + model + "'");
  Plc plc(*profile);
  for (const FaultSpec& f : faults) plc.AddFault(f);
  if (hasImageLength) plc.SetImageLength(imageLength);
  plc.SetHandover(PolicyFor(o.handover, o.gapMs, *profile));
  return Serve(plc, o);
}
