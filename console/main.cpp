// morvex-burn: one burn of a PLC from a command, for scripts, test rigs and production lines. The
// same catalogue, link, requests, gates and driver as the window; the console's own platform
// turns the message boxes into lines, the prompts into Enter or a command, and the outcome into
// an exit code.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console/console_platform.h"
#include "console/os.h"
#include "console/outcome.h"
#include "console/report.h"
#include "console/sha256.h"
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
    "  --port PORT      the port: COM5 or USB on Windows, a device path (/dev/ttyUSB0) on\n"
    "                   Linux; by default the one the window would preselect. USB is the first\n"
    "                   USB PLC present, as the window takes it; USB:NAME the one whose device\n"
    "                   path holds NAME (letter case aside), followed through the replug\n"
    "  --list           print the models and the ports as the window lists them, and every USB\n"
    "                   PLC present (its name for USB:NAME and its device path), and exit\n"
    "  --json           one JSON object a line per event (start, phase, percent, prompt, end)\n"
    "  --log FILE       append one JSON line per burn to FILE (time, host, version, port,\n"
    "                   model, image, size, sha256, text, outcome, exit code, seconds, counters)\n"
    "  --replug-command CMD\n"
    "  --power-cycle-command CMD\n"
    "                   answer the replug or the power-cycle prompt by running CMD (a switchable\n"
    "                   hub, a relay); the burn goes on when CMD exits 0. Without one the prompt\n"
    "                   waits for Enter on a terminal, and with no terminal it ends the burn.\n"
    "                   CMD runs through sh -c on Linux; on Windows it is a program and its\n"
    "                   arguments (\"cmd /c ...\" for the shell's own commands).\n"
    "  --help, --version\n"
    "\n"
    "On a terminal one progress line is written in place; otherwise a line per phase and per\n"
    "10 %. The final message stands on a line of its own, as the window's box shows it.\n"
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
  bool list = false;
  bool json = false;
  bool help = false;
  bool version = false;
};

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
  for (int i = 1; i < argc && error.empty(); ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--list") {
      o.list = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (!TakeValue(argc, argv, i, "--image", o.image, error) &&
               !TakeValue(argc, argv, i, "--model", o.model, error) &&
               !TakeValue(argc, argv, i, "--port", o.port, error) &&
               !TakeValue(argc, argv, i, "--log", o.log, error) &&
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

std::string Upper(std::string s) {
  for (char& c : s) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  return s;
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

void PrintList(const ConsolePlatform& platform, const char* model) {
  std::vector<std::string> models;
  for (const ModelRow& row : kModels) models.push_back(row.name);
  std::stable_sort(models.begin(), models.end(), SortedListOrder);
  std::printf("models (link; the image's model marked *):\n");
  for (const std::string& m : models) {
    std::printf("  %-15s %s%s\n", m.c_str(), NameInUsbSet(m.c_str()) ? "USB" : "COM",
                model != nullptr && m == model ? " *" : "");
  }
  std::printf("ports for %s:\n", model != nullptr ? model : "a COM model");
  for (const std::string& p : platform.ports) std::printf("  %s\n", p.c_str());
#ifndef _WIN32
  std::printf("  (none listed on this system: name the serial port's device with --port)\n");
#endif
  std::vector<std::string> paths;
  const bool listed = ListUsbDevicePaths(USB_DRIVER_GUID, paths);
  std::printf("USB PLCs (name for --port USB:NAME, device path):\n");
  for (const std::string& path : paths) {
    std::printf("  %-16s %s\n", UsbShortName(path).c_str(), path.c_str());
  }
  if (paths.empty()) std::printf("  (none %s)\n", listed ? "present" : "listed on this system");
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

// The burn, one per process.
ConsolePlatform platform;
Options options;
Reporter* reporter = nullptr;
AppendFile logFile;
BurnRecord record;
double started = 0;                  // MonotonicSeconds
std::atomic<int> frozenSeconds{-1};  // the elapsed seconds once the burn stopped its timer
std::atomic<bool> finalShown{false};

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

// Ends the burn and the process now (a prompt nobody answered, an interrupt), with the output
// locked: the record is written, then the process goes, and with it the link and its hold.
[[noreturn]] void EndNow(const std::string& text, int code) {
  std::lock_guard<std::mutex> lock(reporter->Lock());
  TakeCounters();
  record.text = text;
  record.code = code;
  record.seconds = WallSeconds();
  reporter->End(record);
  if (logFile.IsOpen()) logFile.WriteLine(RecordLine(record));
  EndProcess(code);
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
  const int seconds = ElapsedSeconds();
  if (!command.empty()) {
    reporter->Prompt(seconds, text, "command");
    reporter->Note(std::string("running the ") + what + " command: " + command);
    const int status = RunCommand(command);
    if (status == 0) return;
    EndNow(std::string("The ") + what + " command exited " + std::to_string(status) +
               ", so nobody " +
               (replug ? "replugged the USB cable" : "powered the PLC off and on") + ": " + text,
           kExitPromptUnanswered);
  }
  if (StdinIsTerminal()) {
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

void OnFinal(const char* text) {
  std::lock_guard<std::mutex> lock(reporter->Lock());
  TakeCounters();
  record.text = text;
  record.code = EndingCode();
  reporter->StopSampling();
  finalShown.store(true);
}

int Refuse(int code, const std::string& text) {
  std::fprintf(stderr, "morvex-burn: %s\n", text.c_str());
  if (options.json) {
    record.text = text;
    record.code = code;
    reporter->End(record);
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "morvex-burn: %s (see --help)\n", error.c_str());
    return kExitCommandLine;
  }
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
  Reporter out(options.json, StdoutIsTerminal());
  reporter = &out;

  if (!options.log.empty() && !logFile.Open(options.log, error)) {
    return Refuse(kExitCommandLine, "cannot open the log " + options.log + ": " + error);
  }

  // The image and its model, as the window takes them.
  record.image = FIRMWARE_NAME;
  if (!options.image.empty()) {
    platform.imageFromFile = true;
    record.image = BaseName(options.image);
    if (!ReadImageFile(options.image, platform.fileImage, error)) {
      return Refuse(kExitRefused, error);
    }
  }
  char part[kModelNameSize];
  ModelPartOfImageName(record.image.c_str(), part);
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
    PrintList(platform, model);
    return 0;
  }
  if (model == nullptr) {
    return Refuse(kExitRefused, options.model.empty() ? "the image name " + record.image +
                                                            " names no model (the part before its "
                                                            "first '_'): give --model"
                                                      : "no model " + options.model +
                                                            " in the catalogue (see --list)");
  }
  record.model = model;

  // The port: the window's list, or natively a device path.
#ifdef _WIN32
  const bool usb = InUsbSet();
  std::string port = Upper(options.port);
  const bool usbByName = usb && port.rfind("USB:", 0) == 0;
  if (usb && !port.empty() && port != "USB" && !usbByName) {
    return Refuse(kExitCommandLine,
                  "a " + record.model + " is reached by USB: --port USB or --port USB:NAME");
  }
  if (usbByName) {
    const std::string name = options.port.substr(4);
    std::vector<std::string> paths;
    ListUsbDevicePaths(USB_DRIVER_GUID, paths);
    const std::vector<std::string> named = UsbPathsNamed(paths, name);
    if (named.size() != 1) {
      return Refuse(kExitCommandLine, UsbChoiceRefusal(name, paths, named.size()));
    }
    usbDevicePath = named.front();
  }
  if (!usb && port.empty()) {
    if (platform.ports.empty()) return Refuse(kExitCommandLine, "no COM port is present");
    port = platform.ports.front();
  }
  if (!usb &&
      std::find(platform.ports.begin(), platform.ports.end(), port) == platform.ports.end()) {
    std::string present;
    for (const std::string& p : platform.ports) present += " " + p;
    return Refuse(kExitCommandLine, "no port " + options.port + " among the present COM ports:" +
                                        (present.empty() ? " none" : present));
  }
  record.port = usbByName ? usbDevicePath : usb ? "USB" : port;
  if (!usb) SetSelectedComPort(port.c_str());
#else
  if (InUsbSet()) return Refuse(kExitRefused, "a " + record.model + kNativeUsbText);
  if (options.port.empty()) {
    return Refuse(kExitCommandLine, "name the serial port with --port (e.g. /dev/ttyUSB0)");
  }
  if (!ResolveDevicePath(options.port, platform.devicePath, error)) {
    return Refuse(kExitCommandLine, "no port " + options.port + ": " + error);
  }
  platform.portAlias = PortAlias(platform.devicePath);
  record.port = platform.devicePath;
  SetSelectedComPort(platform.portAlias.c_str());
#endif

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

  platform.onPrompt = OnPrompt;
  platform.onFinal = OnFinal;
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

  if (record.code == kExitNoLink && platform.holdRefused) {
    out.Note(InUsbSet()
                 ? usbDevicePath.empty()
                       ? "A USB PLC is held by another burn: no burn of the first USB PLC "
                         "runs beside one of any USB PLC."
                       : "The USB PLC is held by another burn, of it or of the first USB PLC."
                 : "The port is held by another burn.");
  }
  if (usbOtherPathSeen.load()) {
    out.Note("A USB PLC under another path (" + usbPathNotTaken +
             ") was not taken: this burn takes only " + usbDevicePath + ".");
  }
  std::lock_guard<std::mutex> lock(out.Lock());
  record.seconds = WallSeconds();
  out.End(record);
  if (logFile.IsOpen() && !logFile.WriteLine(RecordLine(record))) {
    std::fprintf(stderr, "morvex-burn: the record did not go whole into %s\n", options.log.c_str());
  }
  return record.code;
}
