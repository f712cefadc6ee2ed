#include "update/driver.h"

#include <cstdio>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "core/image.h"
#include "link/loader.h"
#include "link/monitor.h"
#include "link/ports.h"
#include "link/transfer.h"
#include "platform/platform.h"
#include "update/gates.h"

const char kImageLoadFailedText[] = "CANNOT load the firmware image";
const char kSectorImageTooSmallText[] = "The file size is BELOW the MINIMUM size (4 * 1024)";
const char kStuckInMonitorModeText[] =
    "PLC DOES NOT enter the boot loader, RE-POWER PLC and try again";

namespace {

constexpr int kElapsedTimer = 5;

// The windows of the burn that runs now: message boxes and the timer belong to the main window.
// Only the worker thread touches it, and one burn runs at a time.
BurnParam burnWindows = {nullptr, nullptr};

// The size check: the first row naming the selected model decides; a null list is every model.
struct SizeRow {
  const char* const* models;
  int count;
  uint32_t limit;
  const char* text;
};

const char* const kRow512k[] = {"KL2-G-V2", "KL2-G-V4", "KR2-VAN", "PN32"};
const char* const kRow896k[] = {"KL2-N", "QD24"};
const char* const kRow16kr2[] = {"16KR2-AIO"};
const char* const kRowAio[] = {"MH500-AIO", "KR3-AIO", "PV3-AIO"};

constexpr uint32_t kSectorSetLimit = 0x1FB000;
// A sector-set burn keeps back the image's final 4,096 bytes; a smaller image has nothing to send.
constexpr uint32_t kSectorSetMinimum = 4096;

const SizeRow kSizeRows[] = {
    {kRow512k, 4, 0x80000, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 4)"},
    {kRow896k, 2, 0xE0000, "The file size EXCEEDS the MAXIMUM size (128 * 1024 * 7)"},
    {kRow16kr2, 1, 4096, "The file size EXCEEDS the MAXIMUM size (4 * 1024)"},
    {kRowAio, 3, 0xA000, "The file size EXCEEDS the MAXIMUM size (40 * 1024)"},
    {nullptr, 0, kSectorSetLimit, "The file size EXCEEDS the MAXIMUM size (2028 * 1024)"},
    {nullptr, 0, 0x78000, "The file size EXCEEDS the MAXIMUM size (2 * 1024 * 240)"},
};
constexpr int kSectorRow = 4;
constexpr int kDefaultRow = 5;

const SizeRow& SizeRowOfModel() {
  for (int i = 0; i < kSectorRow; ++i) {
    if (IsOneOf(kSizeRows[i].models, kSizeRows[i].count)) return kSizeRows[i];
  }
  return InSectorSet() ? kSizeRows[kSectorRow] : kSizeRows[kDefaultRow];
}

const char* const kQdModels[] = {"QD", "QD-R", "QD24"};
const char* const kPowerCycleModels[] = {"KL2-G-V2", "KL2-G-V4", "KR2-VAN"};

const char kReplugPrompt[] = "Please REPLUG the USB Cable, and then press OK to continue";
const char kPowerCyclePrompt[] = "Please POWER OFF=>ON the PLC, and then press OK to continue";
const char kWrongType[] = "PLC type is WRONG";
const char kEraseNotAnswered[] = "PLC DOES NOT respond to the erasing signal";
const char kUpdateNotAnswered[] = "PLC DOES NOT respond to the update signal";
const char kFlashWriteErrorText[] =
    "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again";
const char kUpdateFailed[] = "Firmware update is FAILED";
const char kUsbSuccess[] = "Firmware update is SUCCESSFUL!, please REPLUG the USB cable";
const char kComSuccess[] = "Firmware update is SUCCESSFUL";

void Fail(const char* text) {
  StopElapsedTimer();
  ShowError(text);
}

// Opens the link of the selected model; `port` receives the COM port name used (empty for USB).
LinkHandle OpenBurnLink(char port[kPortNameSize]) {
  port[0] = '\0';
  if (InUsbSet()) return OpenMyDevPipe("");
  GetSelectedComPort(port);
  return OpenComLink(port);
}

// Restarts the PLC into its boot loader after an accepted erase request, as the model needs.
void HandOver() {
  if (InUsbSet()) {
    Plat().CloseLink(hSerial);
    hSerial = INVALID_LINK_HANDLE;
    ShowInformation(kReplugPrompt, "Information");
    Plat().SleepSeconds(IsOneOf(kQdModels, 3) ? 2 : 5);
    hSerial = OpenMyDevPipe("");
  } else if (IsOneOf(kPowerCycleModels, 3)) {
    Plat().CloseLink(hSerial);
    hSerial = INVALID_LINK_HANDLE;
    ShowInformation(kPowerCyclePrompt, "Information");
    Plat().SleepSeconds(2);
    // By the name the port list holds now: the operator may have picked another port meanwhile.
    // A failed open is left to the next mode probe, which then finds no answer.
    char port[kPortNameSize];
    hSerial = OpenBurnLink(port);
  } else {
    Plat().SleepSeconds(1);
  }
}

// The loader-mode path. Returns false when the burn has already been ended inside it.
bool LoaderPath() {
  if (CheckID_B(hSerial) != 0) {
    Fail(kWrongType);
    return true;
  }
  if (!CheckFuVersion_B()) return false;
  if (SendErase_B(hSerial) != 0) {
    Fail(kEraseNotAnswered);
    return true;
  }
  if (SendUpdate(hSerial) != 0) {
    Fail(kUpdateNotAnswered);
    return true;
  }
  uint8_t code = SendFW(hSerial);
  if (code == kFlashWriteError) {
    Fail(kFlashWriteErrorText);
  } else if (code != 0) {
    Fail(kUpdateFailed);
  } else {
    StopElapsedTimer();
    if (InUsbSet()) {
      ShowInformation(kUsbSuccess, "Information");
    } else {
      ShowInformation(kComSuccess, "INFORMATION");
    }
  }
  return true;
}

// The cycles, from the first wake-up to the end of the burn.
void RunCycles() {
  int monitorCycles = 0;
  uint8_t lastCycle;
  do {
    lastCycle = 1;
    RefusalFlags flags = {};
    DummyComm(hSerial);
    uint8_t code = ConfirmComm(hSerial);
    if (code == kLoaderMode) {
      if (!LoaderPath()) return;
      break;
    }
    if (code != kMonitorMode) {
      Fail(State1Text(code));
      break;
    }
    // A PLC that accepts the erase request but never restarts into its loader would otherwise
    // keep the operator replugging or power-cycling for ever.
    if (++monitorCycles >= kMaxMonitorCycles) {
      Fail(kStuckInMonitorModeText);
      break;
    }
    code = CheckID_A(hSerial);
    if (code != 0) {
      Fail(State2Text(code));
      break;
    }
    if (!CheckVariant_A(hSerial, flags)) return;
    if (flags.Any()) break;
    code = SendErase_A(hSerial);
    if (code != 0) {
      Fail(State3Text(code));
      break;
    }
    lastCycle = 0;
    HandOver();
  } while (lastCycle == 0);
  EndBurn();
}

}  // namespace

void StopElapsedTimer() {
  Plat().StopTimer(burnWindows.hwnd, kElapsedTimer);
}

void ShowError(const char* text) {
  Plat().ShowMessage(burnWindows.hwnd, text, "ERROR", MessageIcon::Error);
}

void ShowInformation(const char* text, const char* caption) {
  Plat().ShowMessage(burnWindows.hwnd, text, caption, MessageIcon::Information);
}

const char* State1Text(uint8_t code) {
  switch (code & 0x0F) {
    case 1:
    case 2:
    case 5:
      return "PLC type is WRONG";
    case 6:
      return "PLC in RUN MODE";
    case 7:
      return "UNKNOWN ERROR CODE @ State 1";
    case 8:
      return "NO RESPONSE @ State 1";
    default:
      return "UNKNOWN MESSAGE";
  }
}

const char* State2Text(uint8_t code) {
  switch (code & 0x0F) {
    case 2:
    case 3:
    case 5:
      return "PLC type is WRONG";
    case 7:
      return "UNKNOWN ERROR CODE @ State 2";
    case 8:
      return "NO RESPONSE @ State 2";
    default:
      return "UNKNOWN MESSAGE @ State 2";
  }
}

const char* State3Text(uint8_t code) {
  switch (code & 0x0F) {
    case 3:
    case 4:
    case 5:
      return "PLC type is WRONG";
    case 7:
      return "UNKNOWN ERROR CODE @ State 3";
    case 8:
      return "NO RESPONSE @ State 3";
    default:
      return "UNKNOWN MESSAGE @ State 3";
  }
}

const char* ImageSizeRefusal(uint32_t length) {
  const SizeRow& row = SizeRowOfModel();
  if (length > row.limit) return row.text;
  if (InSectorSet() && length < kSectorSetMinimum) return kSectorImageTooSmallText;
  return nullptr;
}

void EndBurn() {
  ResetBurnCounters();
  Plat().EnableControl(burnWindows.hButton, true);
  // After a failed reopen in the hand-over there is no link left to close.
  if (hSerial != INVALID_LINK_HANDLE) Plat().CloseLink(hSerial);
  hSerial = INVALID_LINK_HANDLE;
  CloseFile();
  burnRunning.store(false);
}

unsigned StartBurn(void* parameter) {
  burnRunning.store(true);
  burnWindows = parameter != nullptr ? *static_cast<const BurnParam*>(parameter) : paramStruct;

  if (!LoadFirmware()) {
    Fail(kImageLoadFailedText);
    elapsedTime.store(0);
    Plat().EnableControl(burnWindows.hButton, true);
    burnRunning.store(false);
    return 0;
  }
  Plat().EnableControl(burnWindows.hButton, false);

  if (const char* refusal = ImageSizeRefusal(fileLength)) {
    Fail(refusal);
    Plat().EnableControl(burnWindows.hButton, true);
    elapsedTime.store(0);
    CloseFile();
    burnRunning.store(false);
    return 0;
  }

  char port[kPortNameSize];
  hSerial = OpenBurnLink(port);
  if (hSerial == INVALID_LINK_HANDLE) {
    char text[30];
    std::snprintf(text, sizeof text, "CANNOT open %s Port!!!", InUsbSet() ? "USB" : port);
    Fail(text);
    elapsedTime.store(0);
    Plat().EnableControl(burnWindows.hButton, true);
    CloseFile();
    burnRunning.store(false);
    return 0;
  }

  RunCycles();
  return 0;
}
