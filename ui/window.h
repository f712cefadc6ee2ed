// The main window: its class, its three controls, the operator's commands and the two timers.
// WinMain registers the class, creates the window and runs the message loop; the rest is here
// so that the window can also be built and driven inside a test program.
#pragma once

#include <windows.h>

#include <cstdint>

#include "core/burn_state.h"
#include "update/driver.h"

// Control identifiers and timers of the main window.
constexpr int kStartButtonId = 2;  // also the Cancel identifier that Escape sends
constexpr int kPortListId = 7;
constexpr int kModelListId = 8;
constexpr UINT_PTR kRepaintTimer = 6;  // 100 ms, from start-up on

// The window's own state: the port list, the index of the port picked in it and the number of its
// entries, and the handles its burn receives.
extern HWND hComPortList;
extern int32_t ComSelidx;
extern int32_t totalComPort;
extern BurnParam paramStruct;

extern const char kWindowClass[];
extern const char kWindowTitle[];
// Shown when the burn's thread cannot be started.
extern const char kCannotStartText[];

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

bool RegisterMainWindowClass(HINSTANCE instance);

// Creates the window and its controls, fixes the model from `imageName`, lists the ports and
// starts the repaint timer. The window is not shown yet. Returns null when creation fails.
HWND CreateMainWindow(HINSTANCE instance, const char* imageName);

// Selects in the model list, and in the catalogue, the model named by the part of `imageName`
// before its first '_'. The list ignores letter case but the catalogue does not, so a match is
// taken in the list entry's own spelling; no match selects the list's first entry. Returns
// true when the image name's model was found.
bool PreselectModel(HWND modelList, const char* imageName);

// How a burn's worker is started; returns false when no thread could be started. Tests replace
// it to observe the start command without running a burn.
typedef bool (*BurnThreadStarter)(BurnParam* param);
void SetBurnThreadStarter(BurnThreadStarter starter);
