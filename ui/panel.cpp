#include "panel.h"

#include <cstdio>
#include <cstring>

#include "core/burn_state.h"

namespace {

// Cleared areas take the window background's colour, so they look empty. A system brush is
// never deleted.
void Clear(HDC hdc, const RECT& area) {
  FillRect(hdc, &area, GetSysColorBrush(COLOR_SCROLLBAR));
}

void Text(HDC hdc, int x, int y, const char* text) {
  TextOutA(hdc, x, y, text, static_cast<int>(std::strlen(text)));
}

void FillWithNewBrush(HDC hdc, const RECT& area, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(hdc, &area, brush);
  DeleteObject(brush);
}

int Load(const std::atomic<int32_t>& value) {
  return value.load(std::memory_order_relaxed);
}

}  // namespace

void DisplayElapsedTime(HWND, HDC hdc) {
  SetBkMode(hdc, TRANSPARENT);
  Clear(hdc, panel::kElapsedArea);
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%3d", Load(elapsedTime));
  // The number stands in the run of blanks between the label and "sec".
  Text(hdc, 160, 70, "Elapsed Time:              sec");
  Text(hdc, 270, 70, seconds);
}

void DisplayProgressBar(HWND, HDC hdc) {
  SetBkMode(hdc, TRANSPARENT);
  int percent = Load(progress);
  // The burn keeps the value within 0..100; the clamp only keeps the red inside the bar.
  int shown = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
  FillWithNewBrush(hdc, panel::kBar, RGB(255, 255, 255));
  RECT red = panel::kBar;
  red.right = panel::BarRedRight(shown);
  FillWithNewBrush(hdc, red, RGB(255, 0, 0));

  Clear(hdc, panel::kProgressArea);
  char number[16];
  std::snprintf(number, sizeof number, "%3d", percent);
  Text(hdc, 10, 140, "Progress:            %");
  Text(hdc, 85, 140, number);
}

void DisplayStatus(HWND, HDC hdc) {
  SetBkMode(hdc, TRANSPARENT);
  Clear(hdc, panel::kStatusArea);
  Text(hdc, 160, 140, "Status: ");
  const char* phase = nullptr;
  switch (Load(flashStatus)) {
    case kFlashIdle:
      phase = "Idle";
      break;
    case kFlashErasing:
      phase = "Erasing";
      break;
    case kFlashProgramming:
      phase = "Programming";
      break;
  }
  if (phase != nullptr) Text(hdc, 209, 140, phase);
}

void DisplayErrCounter(HWND, HDC hdc) {
  SetBkMode(hdc, TRANSPARENT);
  Clear(hdc, panel::kCounterArea);
  char line[64];
  std::snprintf(line, sizeof line, "# of Error/Total Error: %d/%d", Load(errCounter),
                Load(totalErrCounter));
  Text(hdc, 320, 140, line);
}

void DisplayDate(HWND, HDC hdc) {
  SetBkMode(hdc, TRANSPARENT);
  Text(hdc, 300, 25, "Date: 2022/07/28");
}

void DisplayLogo(HWND, HDC hdc) {
  SetBkMode(hdc, TRANSPARENT);
  // Loaded and scaled afresh on every call, so that nothing outlives the call.
  HBITMAP logo =
      static_cast<HBITMAP>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(12), IMAGE_BITMAP,
                                      panel::kLogoSize.cx, panel::kLogoSize.cy, LR_DEFAULTCOLOR));
  if (logo == nullptr) return;
  HDC memory = CreateCompatibleDC(hdc);
  if (memory != nullptr) {
    HGDIOBJ previous = SelectObject(memory, logo);
    BITMAP info{};
    GetObjectA(logo, sizeof info, &info);
    BitBlt(hdc, panel::kLogoAt.x, panel::kLogoAt.y, info.bmWidth, info.bmHeight, memory, 0, 0,
           SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
  }
  DeleteObject(logo);
}
