// The test platform that also checks every window operation goes to the burn's own window (a
// message box or a timer call on the main window, an enable on the button) and notes, at the
// moment each message box opens, what the panel would show and how many links the burn holds.
// The burn tests and the fault matrix both run their burns on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/fake_platform.h"

class RecordingPlatform : public FakePlatform {
 public:
  WindowHandle mainWindow = nullptr;
  WindowHandle button = nullptr;
  // Message boxes or timer calls not on the main window, enables not on the button.
  int wrongWindow = 0;

  struct Shown {
    std::string text;
    std::string caption;
    MessageIcon icon;
    int32_t elapsed, flash, progress, err, totalErr;
    size_t held;  // links the burn holds
  };
  std::vector<Shown> shown;  // written on the worker thread, read after it has been joined

  void ShowMessage(WindowHandle owner, const char* text, const char* caption,
                   MessageIcon icon) override;
  void EnableControl(WindowHandle control, bool enable) override;
  void StopTimer(WindowHandle window, int timerId) override;
};
