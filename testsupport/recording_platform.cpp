#include "testsupport/recording_platform.h"

#include "core/burn_state.h"

void RecordingPlatform::ShowMessage(WindowHandle owner, const char* text, const char* caption,
                                    MessageIcon icon) {
  if (owner != mainWindow) ++wrongWindow;
  shown.push_back(Shown{text, caption, icon, elapsedTime.load(), flashStatus.load(),
                        progress.load(), errCounter.load(), totalErrCounter.load(),
                        HeldLinks().size()});
  FakePlatform::ShowMessage(owner, text, caption, icon);
}

void RecordingPlatform::EnableControl(WindowHandle control, bool enable) {
  if (control != button) ++wrongWindow;
  FakePlatform::EnableControl(control, enable);
}

void RecordingPlatform::StopTimer(WindowHandle window, int timerId) {
  if (window != mainWindow) ++wrongWindow;
  FakePlatform::StopTimer(window, timerId);
}
