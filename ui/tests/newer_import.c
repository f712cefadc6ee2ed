// A program that imports what Windows 7 lacks: tools/check-exe must refuse it by name (ctest
// product_exe_refuses_newer_import). GetSystemTimePreciseAsFileTime came with Windows 8;
// GetTickCount is as old as Windows but not in resources/allowed-imports.txt.
#include <windows.h>

// Declared here: the build's headers are set for Windows 7 and leave it out.
__declspec(dllimport) void WINAPI GetSystemTimePreciseAsFileTime(LPFILETIME time);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  (void)show;
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return (int)((now.dwLowDateTime ^ GetTickCount()) & 1);
}
