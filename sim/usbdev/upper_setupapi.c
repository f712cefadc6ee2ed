// setupapi.dll for one test under wine: the system's own SetupAPI, except that the vendor and
// product part of every device interface path comes back in upper case. Wine's SetupAPI always
// builds the paths it lists in lower case (from the device instance, whatever the registry says),
// so a device listed as \\?\USB#VID_FFF0&PID_0001#... can only be had this way. Loaded in place of
// the system's by WINEDLLOVERRIDES="setupapi=n,b" from the program's own directory.
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>
#include <string.h>

static HMODULE System(void) {
  static HMODULE module;
  if (module == NULL) {
    char path[MAX_PATH];
    const UINT n = GetSystemDirectoryA(path, MAX_PATH - 16);
    if (n == 0 || n >= MAX_PATH - 16) return NULL;
    strcat(path, "\\setupapi.dll");
    module = LoadLibraryA(path);
  }
  return module;
}

// The system's routine of that name, as a pointer of its own type.
#define SYSTEM(name) ((name##_t)(void (*)(void))GetProcAddress(System(), #name))

typedef HDEVINFO(WINAPI* SetupDiGetClassDevsA_t)(const GUID*, PCSTR, HWND, DWORD);
typedef BOOL(WINAPI* SetupDiEnumDeviceInfo_t)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
typedef BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyA_t)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD,
                                                          PBYTE, DWORD, PDWORD);
typedef BOOL(WINAPI* SetupDiEnumDeviceInterfaces_t)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                    PSP_DEVICE_INTERFACE_DATA);
typedef BOOL(WINAPI* SetupDiDestroyDeviceInfoList_t)(HDEVINFO);
typedef BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA_t)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                                                         PDWORD, PSP_DEVINFO_DATA);

HDEVINFO WINAPI Upper_SetupDiGetClassDevsA(const GUID* c, PCSTR e, HWND w, DWORD f) {
  return SYSTEM(SetupDiGetClassDevsA)(c, e, w, f);
}
BOOL WINAPI Upper_SetupDiEnumDeviceInfo(HDEVINFO s, DWORD i, PSP_DEVINFO_DATA d) {
  return SYSTEM(SetupDiEnumDeviceInfo)(s, i, d);
}
BOOL WINAPI Upper_SetupDiGetDeviceRegistryPropertyA(HDEVINFO s, PSP_DEVINFO_DATA d, DWORD p,
                                                    PDWORD t, PBYTE b, DWORD n, PDWORD r) {
  return SYSTEM(SetupDiGetDeviceRegistryPropertyA)(s, d, p, t, b, n, r);
}
BOOL WINAPI Upper_SetupDiEnumDeviceInterfaces(HDEVINFO s, PSP_DEVINFO_DATA d, const GUID* c,
                                              DWORD i, PSP_DEVICE_INTERFACE_DATA o) {
  return SYSTEM(SetupDiEnumDeviceInterfaces)(s, d, c, i, o);
}
BOOL WINAPI Upper_SetupDiDestroyDeviceInfoList(HDEVINFO s) {
  return SYSTEM(SetupDiDestroyDeviceInfoList)(s);
}
BOOL WINAPI Upper_SetupDiGetDeviceInterfaceDetailA(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA d,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A o, DWORD n,
                                                   PDWORD r, PSP_DEVINFO_DATA i) {
  const BOOL ok = SYSTEM(SetupDiGetDeviceInterfaceDetailA)(s, d, o, n, r, i);
  if (ok && o != NULL) {
    char* part = strstr(o->DevicePath, "vid_fff0&pid_0001");
    for (; part != NULL && *part != '\0' && *part != '#'; ++part) {
      if (*part >= 'a' && *part <= 'z') *part = (char)(*part - 'a' + 'A');
    }
  }
  return ok;
}
