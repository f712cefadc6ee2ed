// The status panel: six painters that draw the burn state straight onto the main window.
//
// Each takes the main window and a device context that the caller owns, reads the shared burn
// state once, draws, and releases every drawing object it made before returning.
#pragma once

#include <windows.h>

// Client-area geometry the painters draw in; the test driver reads the panel back by it.
namespace panel {
constexpr RECT kElapsedArea = {160, 70, 335, 90};
constexpr RECT kBar = {10, 105, 520, 125};
constexpr RECT kProgressArea = {10, 140, 130, 160};
constexpr RECT kStatusArea = {160, 140, 300, 160};
constexpr RECT kCounterArea = {320, 140, 540, 160};
constexpr POINT kLogoAt = {435, 15};
constexpr SIZE kLogoSize = {87, 28};

// Right edge of the red part of the bar at `percent`: multiply first, then divide, truncating.
constexpr int BarRedRight(int percent) {
  return kBar.left + 510 * percent / 100;
}
}  // namespace panel

void DisplayElapsedTime(HWND hwnd, HDC hdc);
void DisplayProgressBar(HWND hwnd, HDC hdc);
void DisplayStatus(HWND hwnd, HDC hdc);
void DisplayErrCounter(HWND hwnd, HDC hdc);
void DisplayDate(HWND hwnd, HDC hdc);
void DisplayLogo(HWND hwnd, HDC hdc);
