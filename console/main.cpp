// morvex-burn: one burn of a PLC from a command, for scripts, test rigs and production lines. The
// same catalogue, link, requests, gates and driver as the window; the console's own platform
// turns the message boxes into lines, the prompts into Enter or a command, and the outcome into
// an exit code.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console/console_platform.h"
#include "console/os.h"
#include "console/outcome.h"
#include "console/report.h"
#include "console/sha256.h"
#include "console/trace.h"
#include "core/burn_state.h"
#include "core/catalogue.h"
#include "firmware_name.h"
#include "link/ports.h"
#include "update/driver.h"

namespace {

const char kUsage[] =
    "Usage: morvex-burn [OPTION]...\n"
    "Burns a firmware image into a Morvex PLC, as the window program's \"Start Burn\" does, and\n"
    "ends with an exit code that says how the burn ended and where the PLC was left.\n"
    "\n"
    "  --image FILE     burn FILE instead of the image built into the program; the part of its\n"
    "                   name before the first '_' names the model (\"PN2_v1.02.bin\": PN2)\n"
    "  --model NAME     with --image: the model, whatever the file's name\n"
    "  --port PORT      the port: COM5 or USB on Windows, where it may be left out (the one the\n"
    "                   window would preselect); USB is the first USB PLC present, as the\n"
    "                   window takes it; USB:NAME the one whose device path holds NAME (letter\n"
    "                   case aside), followed through the replug. On Linux a serial device\n"
    "                   (/dev/ttyUSB0, a /dev/serial/by-id name), always required there\n"
    "  --list           print the models and the ports (natively the serial ports present, with\n"
    "                   their /dev/serial/by-id names), and every USB PLC present (its name\n"
    "                   for USB:NAME and its device path), and exit\n"
    "  --identify       a dry run: wake the PLC and make every check a burn makes before\n"
    "                   its erase request (the mode, the identity, the model's gate with its\n"
    "                   reads; in the boot loader its ID and VERSION), print what was found,\n"
    "                   and stop: nothing is erased or written. Exit 0 when a burn would go\n"
    "                   on, otherwise the exit code and text the burn would end with\n"
    "  --json           one JSON object a line per event (start, phase, percent, identity,\n"
    "                   prompt, end), errors and --list included\n"
    "  --log FILE       append one JSON line per run to FILE, refusals included (time, host,\n"
    "                   version, port as given, device, model, image, size, sha256, text,\n"
    "                   outcome, exit code, seconds, counters); a record that cannot be\n"
    "                   written whole ends with exit 12\n"
    "  --trace FILE     write every exchange with the PLC to FILE, a line each: milliseconds,\n"
    "                   direction (> sent, < received), frames and command words as text, blocks\n"
    "                   by number with length and CRC, other bytes in hexadecimal\n"
    "  --replug-command CMD\n"
    "  --power-cycle-command CMD\n"
    "                   answer the replug or the power-cycle prompt by running CMD (a switchable\n"
    "                   hub, a relay); the burn goes on when CMD exits 0. Without one the prompt\n"
    "                   waits for Enter on a terminal (typed after the prompt); a model that "
    "needs\n"
    "                   a prompt is refused (exit 2) with neither a terminal nor its command.\n"
    "                   CMD runs through sh -c in a process group of its own on Linux; on\n"
    "                   Windows it is a program and its arguments (\"cmd /c ...\" for the shell's\n"
    "                   own commands) in a job of its own; it is ended with the burn.\n"
    "  --command-timeout SECONDS\n"
    "                   end a prompt's command still running after SECONDS (default 120): the\n"
    "                   prompt counts as unanswered (exit 9)\n"
    "  --help, --version\n"
    "\n"
    "On a terminal one progress line is written in place; otherwise a line per phase and per\n"
    "10 %, every step in order. The final message stands on a line of its own, as the window's\n"
    "box shows it. Ctrl-C, SIGTERM and SIGHUP end the burn alike (exit 10).\n"
    "The JSON end event and the record carry plc_left (untouched, firmware, boot-loader, erased,\n"
    "new-firmware, unknown), failed (the request that failed: request, index and of for an\n"
    "erase unit or a block, attempts) and identity (mode, model_id, the registers read by name,\n"
    "boot_loader_version).\n"
    "\n"
    "Exit codes, each with the outcome that the JSON end event and the log name it by:\n";

const char kNativeUsbText[] =
    " is reached by USB, whose link needs the PLC's Windows driver: burn it with "
    "morvex-burn.exe on Windows";

struct Options {
  std::string image;
  std::string model;
  std::string port;
  std::string log;
  std::string replugCommand;
  std::string powerCycleCommand;
  std::string trace;
  unsigned commandTimeout = 120;
  bool list = false;
  bool identify = false;
  bool json = false;
  bool help = false;
  bool version = false;
};

std::string Upper(std::string s) {
  for (char& c : s) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  return s;
}

// A value as the next argument or after '='.
bool TakeValue(int argc, char** argv, int& i, const char* name, std::string& value,
               std::string& error) {
  const std::string arg = argv[i];
  const std::string prefix = std::string(name) + "=";
  if (arg.rfind(prefix, 0) == 0) {
    value = arg.substr(prefix.size());
  } else if (arg != name) {
    return false;
  } else if (i + 1 >= argc) {
    error = std::string(name) + " needs a value";
    return true;
  } else {
    value = argv[++i];
  }
  if (value.empty()) error = std::string(name) + " needs a value";
  return true;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  std::string timeout;
  for (int i = 1; i < argc && error.empty(); ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--list") {
      o.list = true;
    } else if (arg == "--identify") {
      o.identify = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg.empty() || arg[0] != '-') {
      error = "unexpected argument '" + arg + "'" +
              (arg.size() > 4 && Upper(arg.substr(arg.size() - 4)) == ".BIN"
                   ? ": the image to burn? --image " + arg
                   : "");
    } else if (TakeValue(argc, argv, i, "--command-timeout", timeout, error)) {
      char* end = nullptr;
      const unsigned long seconds = std::strtoul(timeout.c_str(), &end, 10);
      if (error.empty() && (*end != '\0' || seconds == 0 || seconds > 86400 || timeout[0] == '-')) {
        error = "--command-timeout takes whole seconds, 1 to 86400";
      }
      o.commandTimeout = static_cast<unsigned>(seconds);
    } else if (!TakeValue(argc, argv, i, "--image", o.image, error) &&
               !TakeValue(argc, argv, i, "--model", o.model, error) &&
               !TakeValue(argc, argv, i, "--port", o.port, error) &&
               !TakeValue(argc, argv, i, "--log", o.log, error) &&
               !TakeValue(argc, argv, i, "--trace", o.trace, error) &&
               !TakeValue(argc, argv, i, "--replug-command", o.replugCommand, error) &&
               !TakeValue(argc, argv, i, "--power-cycle-command", o.powerCycleCommand, error)) {
      error = "unknown option '" + arg + "'";
    }
  }
  if (error.empty() && !o.model.empty() && o.image.empty()) {
    error = "--model goes with --image: the built-in image is for " +
            std::string(FIRMWARE_NAME).substr(0, std::string(FIRMWARE_NAME).find('_'));
  }
  return error.empty();
}

// The catalogue entry named `name`, letter case aside, as the window's model list finds it.
const char* FindModel(const std::string& name) {
  for (const ModelRow& row : kModels) {
    if (Upper(row.name) == Upper(name)) return row.name;
  }
  return nullptr;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadImageFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  if (!ReadWholeFile(path, bytes)) {
    error = "cannot read the image " + path + " (not there, not a file, unreadable, or over " +
            std::to_string(kLargestImageFile >> 20) + " MB)";
  } else if (bytes.empty()) {
    error = "the image " + path + " is empty";
  }
  return error.empty();
}

#ifndef _WIN32
// A device path that fits the burn's port name (9 characters): the path below /dev/ when short
// enough, else a name made from the path.
std::string PortAlias(const std::string& path) {
  const std::string dev = "/dev/";
  if (path.rfind(dev, 0) == 0 && path.size() - dev.size() < kPortNameSize) {
    return path.substr(dev.size());
  }
  uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  char alias[kPortNameSize];
  std::snprintf(alias, sizeof alias, "~%08x", static_cast<unsigned>(hash));
  return alias;
}
#endif

// Prints `text` in lines of at most 96 characters, each after `indent` blanks.
void PrintWrapped(const std::string& text, size_t indent) {
  constexpr size_t kWidth = 96;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.size();
    if (end - at > kWidth - indent) {
      end = text.rfind(' ', at + kWidth - indent);
      if (end == std::string::npos || end <= at) end = at + kWidth - indent;
    }
    std::printf("%*s%s\n", static_cast<int>(indent), "", text.substr(at, end - at).c_str());
    at = end < text.size() && text[end] == ' ' ? end + 1 : end;
  }
}

void PrintUsage() {
  std::fputs(kUsage, stdout);
  for (int i = 0; i < kOutcomeCount; ++i) {
    const Outcome& o = kOutcomes[i];
    std::printf("  %2d  %s\n", o.code, o.name);
    std::string text = std::string(o.meaning) + ". To do: " + o.action + ".";
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
    PrintWrapped(text, 6);
  }
}

// The models and the ports, as lines or as one JSON object.
void PrintList(const ConsolePlatform& platform, const char* model, bool json) {
  std::vector<std::string> models;
  for (const ModelRow& row : kModels) models.push_back(row.name);
  std::stable_sort(models.begin(), models.end(), SortedListOrder);
  std::vector<std::string> ports = platform.ports;
  for (const std::string& p : ListSerialPorts()) ports.push_back(p);
  std::vector<std::string> paths;
  const bool listed = ListUsbDevicePaths(USB_DRIVER_GUID, paths);
  if (json) {
    std::string line = "{\"event\":\"list\",\"models\":[";
    for (size_t i = 0; i < models.size(); ++i) {
      line += std::string(i == 0 ? "" : ",") + "{\"name\":" + JsonString(models[i]) +
              ",\"link\":\"" + (NameInUsbSet(models[i].c_str()) ? "USB" : "COM") + "\"" +
              (model != nullptr && models[i] == model ? ",\"image\":true" : "") + "}";
    }
    line += "],\"ports\":[";
    for (size_t i = 0; i < ports.size(); ++i) {
      // A port and its other names, as the line output separates them.
      const size_t gap = ports[i].find("  ");
      line += std::string(i == 0 ? "" : ",") + "{\"port\":" + JsonString(ports[i].substr(0, gap)) +
              ",\"names\":[";
      for (size_t at = gap, n = 0; at != std::string::npos; ++n) {
        const size_t next = ports[i].find("  ", at + 2);
        line +=
            std::string(n == 0 ? "" : ",") +
            JsonString(ports[i].substr(at + 2, next == std::string::npos ? next : next - at - 2));
        at = next;
      }
      line += "]}";
    }
    line += "],\"usb\":[";
    for (size_t i = 0; i < paths.size(); ++i) {
      line += std::string(i == 0 ? "" : ",") + "{\"name\":" + JsonString(UsbShortName(paths[i])) +
              ",\"path\":" + JsonString(paths[i]) + "}";
    }
    Out(line + "]}\n");
    return;
  }
  std::string text = "models (link; the image's model marked *):\n";
  for (const std::string& m : models) {
    char row[64];
    std::snprintf(row, sizeof row, "  %-15s %s%s\n", m.c_str(),
                  NameInUsbSet(m.c_str()) ? "USB" : "COM",
                  model != nullptr && m == model ? " *" : "");
    text += row;
  }
  text += std::string("ports for ") + (model != nullptr ? model : "a COM model") + ":\n";
  for (const std::string& p : ports) text += "  " + p + "\n";
#ifndef _WIN32
  if (ports.empty()) text += "  (no serial port present: name the port's device with --port)\n";
#endif
  text += "USB PLCs (name for --port USB:NAME, device path):\n";
  for (const std::string& path : paths) {
    char row[48];
    std::snprintf(row, sizeof row, "  %-16s ", UsbShortName(path).c_str());
    text += row + path + "\n";
  }
  if (paths.empty())
    text += std::string("  (none ") + (listed ? "present" : "listed on this system") + ")\n";
  Out(text);
}

#ifdef _WIN32
// Why `--port USB:NAME` names no single USB PLC, with those present.
std::string UsbChoiceRefusal(const std::string& name, const std::vector<std::string>& paths,
                             size_t matching) {
  std::string text = matching == 0 ? "no USB PLC's device path holds '" + name + "'"
                                   : std::to_string(matching) + " USB PLCs' device paths hold '" +
                                         name + "': name one of them";
  text += paths.empty() ? "; none is present" : "; present (name, device path):";
  for (const std::string& path : paths) text += "\n  " + UsbShortName(path) + "  " + path;
  return text;
}
#endif

// The burn state is sampled as often as the window's panel repaints; lines are written only on a
// change.
constexpr int kSampleMs = 100;
const char kDryRunText[] = "The PLC fits the image: a burn would go on (nothing erased or written)";

// How long the end waits for the output to go out: a paused terminal holds it up no longer.
constexpr unsigned kOutputGraceMs = 1000;

// The burn, one per process.
ConsolePlatform platform;
Options options;
Reporter* reporter = nullptr;
AppendFile logFile;
Trace trace;
BurnRecord record;
double started = 0;                  // MonotonicSeconds
std::atomic<int> frozenSeconds{-1};  // the elapsed seconds once the burn stopped its timer
std::atomic<bool> finalShown{false};
bool identityShown = false;
const char* dryRunLeft = nullptr;  // where a dry run that went through leaves the PLC  // the burn
                                   // thread's, and the main thread's once it has ended

int ElapsedSeconds() {
  const int frozen = frozenSeconds.load();
  if (frozen >= 0) return frozen;
  return static_cast<int>(MonotonicSeconds() - started);
}

double WallSeconds() {
  return MonotonicSeconds() - started;
}

void TakeCounters() {
  record.errors = errCounter.load();
  record.totalErrors = totalErrCounter.load();
}

// Writes the record, then the end for people or rigs, and ends the process: the record goes first
// and the output is waited for only so long, so that a paused output holds up neither. Called
// with the output locked.
[[noreturn]] void Finish() {
  record.seconds = WallSeconds();
  record.ending = EndingMembers(dryRunLeft != nullptr ? dryRunLeft : PlcLeftNow());
  const bool recorded = !logFile.IsOpen() || logFile.WriteLine(RecordLine(record));
  reporter->End(record, recorded);
  FlushOutput(kOutputGraceMs);
  EndProcess(recorded ? record.code : kExitNotRecorded);
}

// Ends the burn and the process now (a prompt nobody answered, an interrupt), with the output
// locked: the record is written, then the process goes, and with it the link, its hold and the
// prompt's command.
[[noreturn]] void EndNow(const std::string& text, int code) {
  std::lock_guard<std::mutex> lock(reporter->Lock());
  TakeCounters();
  record.text = text;
  record.code = code;
  Finish();
}

// The identity event, once the burn has read the PLC's identity and gone past its checks (or
// ended at them).
void ShowIdentity() {
  if (identityShown || !burnDetail.identity.modelIdRead) return;
  identityShown = true;
  reporter->Identity(ElapsedSeconds());
}

void OnInterrupted() {
  // Only while the burn has not shown its final message: after it, the burn ends by itself.
  if (finalShown.load()) return;
  EndNow(std::string("Interrupted: ") + WhereThePlcIs() + ".", kExitInterrupted);
}

void OnPrompt(const char* text) {
  const bool replug = SelectedModel().handOver == kReplug;
  const std::string& command = replug ? options.replugCommand : options.powerCycleCommand;
  const char* what = replug ? "replug" : "power-cycle";
  const char* nobody = replug ? "replugged the USB cable" : "powered the PLC off and on";
  const int seconds = ElapsedSeconds();
  ShowIdentity();
  if (!command.empty()) {
    reporter->Prompt(seconds, text, "command");
    reporter->Note(std::string("running the ") + what + " command: " + command);
    const int status = RunCommand(command, options.commandTimeout);
    if (status == 0) return;
    const std::string how =
        status == kCommandTimedOut
            ? "did not end within " + std::to_string(options.commandTimeout) + " s and was ended"
            : "exited " + std::to_string(status);
    EndNow(std::string("The ") + what + " command " + how + ", so nobody " + nobody + ": " + text,
           kExitPromptUnanswered);
  }
  if (StdinIsTerminal()) {
    // Only an Enter typed after the prompt answers it.
    DiscardPendingInput();
    reporter->Prompt(seconds, text, "enter");
    reporter->Note("Press Enter when done.");
    char line[256];
    if (std::fgets(line, sizeof line, stdin) != nullptr) return;
  } else {
    reporter->Prompt(seconds, text, "none");
  }
  EndNow(
      std::string("Nobody answered the prompt (no terminal, no --") + what + "-command): " + text,
      kExitPromptUnanswered);
}

// The final text as the operator reads it: the port by the name it was given, not by the short
// name the burn opens it by.
std::string ShownText(const char* text) {
  std::string shown = text;
  if (platform.portAlias.empty()) return shown;
  const std::string alias = " " + platform.portAlias + " ";
  const size_t at = shown.find(alias);
  if (at != std::string::npos) shown.replace(at + 1, alias.size() - 2, options.port);
  return shown;
}

void OnFinal(const char* text) {
  reporter->Observe(ElapsedSeconds());
  if (RecordedSuccess()) reporter->Complete(ElapsedSeconds());
  ShowIdentity();
  std::lock_guard<std::mutex> lock(reporter->Lock());
  TakeCounters();
  record.text = ShownText(text);
  record.code = EndingCode();
  reporter->StopSampling();
  finalShown.store(true);
}

void OnExchange(bool sent, const uint8_t* data, uint32_t count) {
  if (trace.IsOpen()) trace.Exchange(WallSeconds() * 1000.0, sent, data, count);
  if (burnReach.load() >= kReachedHandOver || flashStatus.load() != kFlashIdle) ShowIdentity();
  reporter->Observe(ElapsedSeconds());
}

// A run refused before the burn: one line on standard error, the end event in JSON, the record.
[[noreturn]] void Refuse(int code, const std::string& text) {
  std::fprintf(stderr, "morvex-burn: %s\n", text.c_str());
  std::lock_guard<std::mutex> lock(reporter->Lock());
  record.text = text;
  record.code = code;
  record.seconds = started > 0 ? WallSeconds() : 0;
  record.ending = EndingMembers(PlcLeftNow());
  const bool recorded = !logFile.IsOpen() || logFile.WriteLine(RecordLine(record));
  if (!recorded) {
    std::fprintf(stderr, "morvex-burn: the record did not go whole into %s (exit %d)\n",
                 options.log.c_str(), kExitNotRecorded);
  }
  if (options.json) reporter->End(record, recorded);
  FlushOutput(kOutputGraceMs);
  EndProcess(recorded ? code : kExitNotRecorded);
}

bool JsonAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const bool parsed = ParseOptions(argc, argv, options, error);
  options.json = options.json || JsonAsked(argc, argv);
  Reporter out(options.json, StdoutIsTerminal());
  reporter = &out;
  if (!parsed) Refuse(kExitCommandLine, error + " (see --help)");
  if (options.help) {
    PrintUsage();
    return 0;
  }
  if (options.version) {
    std::printf("morvex-burn " MORVEX_VERSION " (built-in image %s)\n", FIRMWARE_NAME);
    return 0;
  }
  SetPlatform(&platform);
  SetLinkPlatform(&platform);
  SetBurnWindow(&platform);

  if (!options.log.empty() && !logFile.Open(options.log, error)) {
    Refuse(kExitCommandLine, "cannot open the log " + options.log + ": " + error);
  }
  record.port = NameToUtf8(options.port);

  // The image and its model, as the window takes them.
  record.image = FIRMWARE_NAME;
  if (!options.image.empty()) {
    platform.imageFromFile = true;
    record.image = NameToUtf8(BaseName(options.image));
    if (!ReadImageFile(options.image, platform.fileImage, error)) Refuse(kExitRefused, error);
  }
  char part[kModelNameSize];
  ModelPartOfImageName(BaseName(options.image.empty() ? FIRMWARE_NAME : options.image).c_str(),
                       part);
  const char* model = FindModel(options.model.empty() ? part : options.model);
  if (model != nullptr) {
    SelectPLCByName(model);
    std::strncpy(selectedPLC, model, sizeof selectedPLC - 1);
    if (InUsbSet()) {
      platform.ports = {"USB"};
    } else {
      ListComPorts(platform.ports);
    }
  } else if (options.list) {
    ListComPorts(platform.ports);
  }
  if (options.list) {
#ifndef _WIN32
    // Natively only serial ports are reached: those present stand in the list.
    platform.ports.clear();
#endif
    PrintList(platform, model, options.json);
    FlushOutput(kOutputGraceMs);
    EndProcess(0);
  }
  if (model == nullptr) {
    Refuse(kExitRefused, options.model.empty()
                             ? "the image name " + record.image +
                                   " names no model (the part before its "
                                   "first '_'): give --model"
                             : "no model " + options.model + " in the catalogue (see --list)");
  }
  record.model = model;

  // The port: the window's list, or natively a device path.
#ifdef _WIN32
  const bool usb = InUsbSet();
  std::string port = Upper(options.port);
  const bool usbByName = usb && port.rfind("USB:", 0) == 0;
  if (usb && !port.empty() && port != "USB" && !usbByName) {
    Refuse(kExitCommandLine,
           "a " + record.model + " is reached by USB: --port USB or --port USB:NAME");
  }
  if (usbByName) {
    const std::string name = options.port.substr(4);
    std::vector<std::string> paths;
    ListUsbDevicePaths(USB_DRIVER_GUID, paths);
    const std::vector<std::string> named = UsbPathsNamed(paths, name);
    if (named.size() != 1) {
      Refuse(kExitCommandLine, UsbChoiceRefusal(name, paths, named.size()));
    }
    usbDevicePath = named.front();
  }
  if (!usb && port.empty()) {
    if (platform.ports.empty()) Refuse(kExitCommandLine, "no COM port is present");
    port = platform.ports.front();
  }
  if (!usb &&
      std::find(platform.ports.begin(), platform.ports.end(), port) == platform.ports.end()) {
    std::string present;
    for (const std::string& p : platform.ports) present += " " + p;
    Refuse(kExitCommandLine, "no port " + options.port + " among the present COM ports:" +
                                 (present.empty() ? " none" : present));
  }
  if (record.port.empty()) record.port = usb ? "USB" : port;
  record.device = usbByName ? usbDevicePath : usb ? "USB" : port;
  if (!usb) SetSelectedComPort(port.c_str());
#else
  if (InUsbSet()) Refuse(kExitRefused, "a " + record.model + kNativeUsbText);
  if (options.port.empty()) {
    Refuse(kExitCommandLine, "name the serial port with --port (e.g. /dev/ttyUSB0; see --list)");
  }
  if (!ResolveDevicePath(options.port, platform.devicePath, error)) {
    Refuse(kExitCommandLine, "no port " + options.port + ": " + error);
  }
  platform.portAlias = PortAlias(platform.devicePath);
  record.device = platform.devicePath;
  SetSelectedComPort(platform.portAlias.c_str());
#endif

  // A prompt that nobody could answer is found now, before anything is sent.
  const ModelRow& row = SelectedModel();
  if (row.handOver != kWait && !StdinIsTerminal() && !options.identify) {
    const bool replug = row.handOver == kReplug;
    if ((replug ? options.replugCommand : options.powerCycleCommand).empty()) {
      Refuse(kExitCommandLine, std::string("a ") + model + " asks to be " +
                                   (replug ? "replugged" : "powered off and on") +
                                   " during the burn and standard input is no terminal: give " +
                                   (replug ? "--replug-command" : "--power-cycle-command") +
                                   " CMD");
    }
  }
  if (!options.trace.empty() && !trace.Open(options.trace, error)) {
    Refuse(kExitCommandLine, "cannot write the trace " + options.trace + ": " + error);
  }

  const std::vector<uint8_t>& bytes = platform.fileImage;
  if (platform.imageFromFile) {
    record.size = static_cast<uint32_t>(bytes.size());
    record.sha256 = Sha256Hex(bytes.data(), bytes.size());
  } else {
    const uint8_t* data = nullptr;
    void* handle = nullptr;
    if (ThisSystem().LoadFirmwareImage(&data, &record.size, &handle)) {
      record.sha256 = Sha256Hex(data, record.size);
      ThisSystem().FreeFirmwareImage(handle);
    }
  }

  const char* named = FindModel(part);
  if (!options.model.empty() && named != nullptr && std::strcmp(named, model) != 0) {
    std::fprintf(stderr,
                 "morvex-burn: warning: the file's name is of a %s, burned as a %s (--model)\n",
                 named, model);
  }

  burnDryRun.store(options.identify);
  platform.onPrompt = OnPrompt;
  platform.onFinal = OnFinal;
  platform.onExchange = OnExchange;
  platform.onTimerStopped = [] {
    if (frozenSeconds.load() < 0) frozenSeconds.store(ElapsedSeconds());
  };
  OnInterrupt(OnInterrupted);
  started = MonotonicSeconds();
  out.Start(record);

  // As in the window: the burn on a thread of its own, the progress sampled by the main thread.
  std::atomic<bool> ended{false};
  std::thread burn([&ended] {
    BurnParam param{nullptr, nullptr};
    StartBurn(&param);
    ended.store(true);
  });
  while (!ended.load()) {
    if (!finalShown.load()) out.Sample(ElapsedSeconds());
    SleepMs(kSampleMs);
  }
  burn.join();

  if (options.identify && !finalShown.load()) {
    // The dry run went as far as a burn goes before it erases.
    out.Observe(ElapsedSeconds());
    ShowIdentity();
    out.Note(burnReach.load() == kReachedLoader
                 ? "The PLC answered in its boot loader."
                 : "The PLC answered in its firmware (monitor mode).");
    TakeCounters();
    record.text = kDryRunText;
    dryRunLeft = PlcLeftName(burnReach.load() == kReachedLoader ? PlcLeft::kInBootLoader
                                                                : PlcLeft::kUntouched);
    record.code = kExitSuccess;
  }
  if (record.code == kExitNoLink && platform.holdRefused) {
    out.Note(InUsbSet()
                 ? usbDevicePath.empty()
                       ? "A USB PLC is held by another burn: no burn of the first USB PLC "
                         "runs beside one of any USB PLC."
                       : "The USB PLC is held by another burn, of it or of the first USB PLC."
                 : "The port is held by another burn.");
  } else if (record.code == kExitNoLink && platform.heldElsewhere) {
    out.Note("The port is held by another program (it has locked the device).");
  }
  if (usbOtherPathSeen.load()) {
    out.Note("A USB PLC under another path (" + usbPathNotTaken +
             ") was not taken: this burn takes only " + usbDevicePath + ".");
  }
  std::lock_guard<std::mutex> lock(out.Lock());
  Finish();
}
