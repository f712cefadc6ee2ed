// A program that Windows 7 cannot run, in every way tools/check-exe must refuse by name (ctest
// product_exe_refuses_newer_import): it imports GetSystemTimePreciseAsFileTime, which came with
// Windows 8, and GetTickCount, as old as Windows but not in resources/allowed-imports.txt; it calls
// MessageBoxA from a delay-loaded user32.dll; its header asks for Windows 6.2 and subsystem 10.0.
#include <windows.h>

// Declared here: the build's headers are set for Windows 7 and leave it out.
__declspec(dllimport) void WINAPI GetSystemTimePreciseAsFileTime(LPFILETIME time);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)commandLine;
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  if (show < 0) {
    MessageBoxA(NULL, "", "", MB_OK);
  }
  return (int)((now.dwLowDateTime ^ GetTickCount()) & 1);
}
