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
const char kReplugPrompt[] = "Please REPLUG the USB Cable, and then press OK to continue";
const char kPowerCyclePrompt[] = "Please POWER OFF=>ON the PLC, and then press OK to continue";
const char kFlashWriteErrorText[] =
    "Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again";

std::atomic<int32_t> burnReach{kReachedNothing};
std::atomic<bool> burnDryRun{false};

namespace {

// The windows of the burn that runs now: message boxes and the timer belong to the main window.
// Only the worker thread touches it, and one burn runs at a time.
BurnParam burnWindows = {nullptr, nullptr};

const char kWrongType[] = "PLC type is WRONG";
const char kEraseNotAnswered[] = "PLC DOES NOT respond to the erasing signal";
const char kUpdateNotAnswered[] = "PLC DOES NOT respond to the update signal";
const char kUpdateFailed[] = "Firmware update is FAILED";
const char kUsbSuccess[] = "Firmware update is SUCCESSFUL!, please REPLUG the USB cable";
const char kComSuccess[] = "Firmware update is SUCCESSFUL";

// A burn without a link open (one that did not open, or did not open again after the hand-over)
// gives back its hold before the message: other windows may burn while this one's waits for OK.
void Fail(const char* text) {
  StopElapsedTimer();
  if (hSerial == INVALID_LINK_HANDLE) ReleaseLinkHold();
  ShowError(text);
}

// The end of a burn that never reached the PLC: no link is open and no counter has moved.
unsigned EndBeforeTheCycles(const char* text) {
  Fail(text);
  elapsedTime.store(0);
  Plat().EnableControl(burnWindows.hButton, true);
  CloseFile();
  burnRunning.store(false);
  return 0;
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
  burnReach.store(kReachedHandOver);
  const ModelRow& model = SelectedModel();
  if (model.handOver != kWait) {
    LinkPlat().CloseLink(hSerial);
    hSerial = INVALID_LINK_HANDLE;
    ShowInformation(model.handOver == kReplug ? kReplugPrompt : kPowerCyclePrompt, "Information");
  }
  Plat().SleepSeconds(model.handOverSeconds);
  if (model.handOver != kWait) {
    // A COM port by the name the port list holds now: the operator may have picked another port
    // meanwhile. A failed open is left to the next mode probe, which then finds no answer.
    char port[kPortNameSize];
    hSerial = OpenBurnLink(port);
  }
}

// The loader-mode path, to the end of the burn.
void LoaderPath() {
  burnReach.store(kReachedLoader);
  if (CheckID_B(hSerial) != 0) {
    Fail(kWrongType);
  } else if (!CheckFuVersion_B()) {
    return;  // the burn has been ended there
  } else if (burnDryRun.load()) {
    StopElapsedTimer();  // the dry run's end, where the burn would erase
  } else if (SendErase_B(hSerial) != 0) {
    Fail(kEraseNotAnswered);
  } else if (SendUpdate(hSerial) != 0) {
    Fail(kUpdateNotAnswered);
  } else if (const uint8_t code = SendFW(hSerial)) {
    Fail(code == kFlashWriteError ? kFlashWriteErrorText : kUpdateFailed);
  } else {
    StopElapsedTimer();
    const bool usb = InUsbSet();
    ShowInformation(usb ? kUsbSuccess : kComSuccess, usb ? "Information" : "INFORMATION");
  }
  EndBurn();
}

// The text of a failure code of one state: the two codes of a negative reply that the state's
// request knows (`first` and the next) and 5 say the type is wrong, 7 an unknown code, 8 no reply.
const char* StateText(uint8_t code, int first, const char* unknownCode, const char* noResponse,
                      const char* other) {
  const int low = code & 0x0F;
  if (low == first || low == first + 1 || low == 5) return kWrongType;
  if (low == 7) return unknownCode;
  return low == 8 ? noResponse : other;
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
    if (code == kLoaderMode) return LoaderPath();
    if (code != kMonitorMode) {
      Fail(State1Text(code));
      break;
    }
    burnReach.store(kReachedLink);  // it answers as its firmware does, also after a hand-over
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
    if (burnDryRun.load()) {
      StopElapsedTimer();  // the dry run's end, where the burn would send its erase request
      break;
    }
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
  Plat().StopTimer(burnWindows.hwnd, kSecondsTimer);
}

void ShowError(const char* text) {
  Plat().ShowMessage(burnWindows.hwnd, text, "ERROR", MessageIcon::Error);
}

void ShowInformation(const char* text, const char* caption) {
  Plat().ShowMessage(burnWindows.hwnd, text, caption, MessageIcon::Information);
}

const char* State1Text(uint8_t code) {
  if ((code & 0x0F) == 6) return "PLC in RUN MODE";
  return StateText(code, 1, "UNKNOWN ERROR CODE @ State 1", "NO RESPONSE @ State 1",
                   "UNKNOWN MESSAGE");
}

const char* State2Text(uint8_t code) {
  return StateText(code, 2, "UNKNOWN ERROR CODE @ State 2", "NO RESPONSE @ State 2",
                   "UNKNOWN MESSAGE @ State 2");
}

const char* State3Text(uint8_t code) {
  return StateText(code, 3, "UNKNOWN ERROR CODE @ State 3", "NO RESPONSE @ State 3",
                   "UNKNOWN MESSAGE @ State 3");
}

const char* ImageSizeRefusal(uint32_t length) {
  const ModelRow& model = SelectedModel();
  if (length > model.sizeLimit.bytes) return model.sizeLimit.text;
  // An image no longer than the sector kept back has nothing to send.
  if (model.keepsLastSector && length < kKeptBackBytes) return kSectorImageTooSmallText;
  return nullptr;
}

void EndBurn() {
  ResetBurnCounters();
  Plat().EnableControl(burnWindows.hButton, true);
  // After a failed reopen in the hand-over there is no link left to close.
  if (hSerial != INVALID_LINK_HANDLE) LinkPlat().CloseLink(hSerial);
  hSerial = INVALID_LINK_HANDLE;
  ReleaseLinkHold();
  CloseFile();
  burnRunning.store(false);
}

unsigned StartBurn(void* parameter) {
  burnRunning.store(true);
  burnReach.store(kReachedNothing);
  burnWindows = parameter != nullptr ? *static_cast<const BurnParam*>(parameter) : paramStruct;

  if (!LoadFirmware()) return EndBeforeTheCycles(kImageLoadFailedText);
  Plat().EnableControl(burnWindows.hButton, false);
  if (const char* refusal = ImageSizeRefusal(fileLength)) return EndBeforeTheCycles(refusal);

  char port[kPortNameSize];
  burnReach.store(kReachedOpening);
  hSerial = OpenBurnLink(port);
  if (hSerial == INVALID_LINK_HANDLE) {
    char text[30];
    std::snprintf(text, sizeof text, "CANNOT open %s Port!!!", InUsbSet() ? "USB" : port);
    return EndBeforeTheCycles(text);
  }
  burnReach.store(kReachedLink);

  RunCycles();
  return 0;
}
