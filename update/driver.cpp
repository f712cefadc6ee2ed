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
#include "update/endings.h"
#include "update/gates.h"

const char kReplugPrompt[] = "Please REPLUG the USB Cable, and then press OK to continue";
const char kPowerCyclePrompt[] = "Please POWER OFF=>ON the PLC, and then press OK to continue";

std::atomic<int32_t> burnReach{kReachedNothing};

namespace {

// The windows of the burn that runs now: message boxes and the timer belong to the main window.
// Only the worker thread touches it, and one burn runs at a time.
BurnParam burnWindows = {nullptr, nullptr};

void EnableButton(bool enable) {
  if (BurnWindow* window = TheBurnWindow()) window->EnableControl(burnWindows.hButton, enable);
}

// A burn without a link open (one that did not open, or did not open again after the hand-over)
// gives back its hold before the message: other windows may burn while this one's waits for OK.
void Fail(EndingId id, const char* text) {
  StopElapsedTimer();
  if (hSerial == INVALID_LINK_HANDLE) ReleaseLinkHold();
  ShowEnding(id, text);
}
void Fail(EndingId id) {
  Fail(id, EndingText(id));
}

// The end of a burn that never reached the PLC: no link is open and no counter has moved.
unsigned EndBeforeTheCycles(EndingId id, const char* text) {
  Fail(id, text);
  elapsedTime.store(0);
  EnableButton(true);
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
  if (CheckID_B(hSerial) != kLoaderOk) {
    Fail(kEndLoaderWrongType);
  } else if (!CheckFuVersion_B()) {
    return;  // the burn has been ended there
  } else if (SendErase_B(hSerial) != kLoaderOk) {
    Fail(kEndEraseNotAnswered);
  } else if (SendUpdate(hSerial) != kLoaderOk) {
    Fail(kEndUpdateNotAnswered);
  } else if (const uint8_t code = SendFW(hSerial)) {
    Fail(code == kFlashWriteError ? kEndFlashWriteError : kEndUpdateFailed);
  } else {
    StopElapsedTimer();
    ShowEnding(InUsbSet() ? kEndUsbSuccess : kEndComSuccess);
  }
  EndBurn();
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
      Fail(State1Ending(code, burnReach.load() == kReachedHandOver));
      break;
    }
    burnReach.store(kReachedLink);  // it answers as its firmware does, also after a hand-over
    // A PLC that accepts the erase request but never restarts into its loader would otherwise
    // keep the operator replugging or power-cycling for ever.
    if (++monitorCycles >= kMaxMonitorCycles) {
      Fail(kEndStuckInMonitorMode);
      break;
    }
    code = CheckID_A(hSerial);
    if (code != kResultOk) {
      Fail(State2Ending(code));
      break;
    }
    if (!CheckVariant_A(hSerial, flags)) return;
    if (flags.Any()) break;
    code = SendErase_A(hSerial);
    if (code != kResultOk) {
      Fail(State3Ending(code));
      break;
    }
    lastCycle = 0;
    HandOver();
  } while (lastCycle == 0);
  EndBurn();
}

}  // namespace

void StopElapsedTimer() {
  if (BurnWindow* window = TheBurnWindow()) window->StopTimer(burnWindows.hwnd, kSecondsTimer);
}

void ShowInformation(const char* text, const char* caption) {
  Plat().ShowMessage(burnWindows.hwnd, text, caption, MessageIcon::Information);
}

void ShowEnding(EndingId id, const char* text) {
  RecordEnding(id);
  const Ending& row = kEndings[id];
  Plat().ShowMessage(burnWindows.hwnd, text, row.caption, row.icon);
}
void ShowEnding(EndingId id) {
  ShowEnding(id, EndingText(id));
}

const char* State1Text(uint8_t code) {
  return kEndings[State1Ending(code, false)].text;
}
const char* State2Text(uint8_t code) {
  return kEndings[State2Ending(code)].text;
}
const char* State3Text(uint8_t code) {
  return kEndings[State3Ending(code)].text;
}

EndingId ImageSizeEnding(uint32_t length) {
  const ModelRow& model = SelectedModel();
  if (length > model.sizeLimit.bytes) return kEndImageTooLarge;
  // An image no longer than the sector kept back has nothing to send.
  if (model.keepsLastSector && length < kKeptBackBytes) return kEndSectorImageTooSmall;
  return kEndingCount;
}

const char* ImageSizeRefusal(uint32_t length) {
  const EndingId id = ImageSizeEnding(length);
  return id == kEndingCount ? nullptr : EndingText(id);
}

void EndBurn() {
  ResetBurnCounters();
  EnableButton(true);
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
  ClearBurnDetail();
  burnWindows = parameter != nullptr ? *static_cast<const BurnParam*>(parameter)
                                     : BurnParam{nullptr, nullptr};

  if (!LoadFirmware())
    return EndBeforeTheCycles(kEndImageNotLoaded, EndingText(kEndImageNotLoaded));
  EnableButton(false);
  const EndingId refusal = ImageSizeEnding(fileLength);
  if (refusal != kEndingCount) return EndBeforeTheCycles(refusal, EndingText(refusal));

  char port[kPortNameSize];
  burnReach.store(kReachedOpening);
  hSerial = OpenBurnLink(port);
  if (hSerial == INVALID_LINK_HANDLE) {
    char text[30];
    std::snprintf(text, sizeof text, EndingText(kEndLinkNotOpened), InUsbSet() ? "USB" : port);
    return EndBeforeTheCycles(kEndLinkNotOpened, text);
  }
  burnReach.store(kReachedLink);

  RunCycles();
  return 0;
}
