#include "window.h"

#include <commdlg.h>
#include <process.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/catalogue.h"
#include "core/image.h"
#include "firmware_name.h"
#include "link/ports.h"
#include "panel.h"
#include "update/driver.h"

const char kWindowClass[] = "WindowsApp";
const char kWindowTitle[] = "Morvex PLC Firmware Update Program";
const char kCannotStartText[] = "CANNOT start the firmware update";

HWND hComPortList = nullptr;
int32_t ComSelidx = 0;
int32_t totalComPort = 0;
BurnParam paramStruct = {nullptr, nullptr};

namespace {

// The optional file chooser. Its choice is never burned (every burn loads the embedded image)
// and its path is never shown, so that nobody takes it for what goes into the PLC.
char szFile[MAX_PATH];
OPENFILENAMEA ofn;
HANDLE hf;
int32_t isFileChosed;

HWND hStartButton;
HWND hModelList;

// Window styles, as the operator knows the window: fixed size, no maximize box.
constexpr DWORD kMainStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD kModelListStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP |
                                  CBS_DROPDOWNLIST | CBS_AUTOHSCROLL | CBS_SORT | CBS_HASSTRINGS;
constexpr DWORD kPortListStyle =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_SORT | CBS_HASSTRINGS;

void __cdecl BurnThread(void* param) {
  StartBurn(param);
}

bool BeginBurnThread(BurnParam* param) {
  return _beginthread(BurnThread, 0, param) != static_cast<uintptr_t>(-1);
}

BurnThreadStarter burnThreadStarter = BeginBurnThread;

// What the burn asks of this window (on the burn's thread): the button and timer 5.
class WindowControls : public BurnWindow {
 public:
  void EnableControl(WindowHandle control, bool enable) override {
    EnableWindow(static_cast<HWND>(control), enable ? TRUE : FALSE);
  }
  void StopTimer(WindowHandle window, int timerId) override {
    KillTimer(static_cast<HWND>(window), static_cast<UINT_PTR>(timerId));
  }
};
WindowControls windowControls;

HWND CreateControl(HWND parent, const char* cls, const char* text, DWORD style, int x, int y,
                   int width, int height, int id, HINSTANCE instance) {
  return CreateWindowExA(0, cls, text, style, x, y, width, height, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

// Text of a list entry, whatever its length (CB_GETLBTEXT writes it whole).
std::string ListText(HWND list, int index) {
  LRESULT length = SendMessageA(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return std::string();
  std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
  SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.data()));
  return std::string(text.data());
}

HWND PortList() {
  return hComPortList;
}

int CurrentSelection(HWND list) {
  return static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0));
}

void SetSelectedPLC(const std::string& name) {
  std::memset(selectedPLC, 0, sizeof selectedPLC);
  std::strncpy(selectedPLC, name.c_str(), sizeof selectedPLC - 1);
}

// Lists the ports through which the model in selectedPLC is reached: the single entry "USB",
// selected, or the COM ports present, none selected. A device set that cannot be read leaves the
// COM list as it was.
void ListPorts() {
  std::vector<std::string> ports = {"USB"};
  const bool usb = NameInUsbSet(selectedPLC);
  if (!usb && !ListComPorts(ports)) return;
  SendMessageA(hComPortList, CB_RESETCONTENT, 0, 0);
  for (const std::string& port : ports) {
    SendMessageA(hComPortList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(port.c_str()));
  }
  totalComPort = static_cast<int32_t>(ports.size());
  if (usb) SendMessageA(hComPortList, CB_SETCURSEL, 0, 0);
}

void PaintPanel(HWND hwnd, HDC hdc, bool withLogo) {
  DisplayElapsedTime(hwnd, hdc);
  DisplayProgressBar(hwnd, hdc);
  DisplayStatus(hwnd, hdc);
  DisplayErrCounter(hwnd, hdc);
  DisplayDate(hwnd, hdc);
  if (withLogo) DisplayLogo(hwnd, hdc);
}

void OnPortPicked(HWND list) {
  ComSelidx = CurrentSelection(list);
  if (ComSelidx != CB_ERR) SetSelectedComPort(ListText(list, ComSelidx).c_str());
}

// Reached only in a build that leaves the model list enabled.
void OnModelPicked(HWND list) {
  int index = CurrentSelection(list);
  if (index == CB_ERR) return;
  SetSelectedPLC(ListText(list, index));
  SelectPLCByName(selectedPLC);
  ListPorts();
  if (!NameInUsbSet(selectedPLC)) SendMessageA(PortList(), CB_SETCURSEL, ComSelidx, 0);
}

void OnChooseFile(HWND hwnd) {
  char kept[sizeof szFile] = "";
  if (isFileChosed) std::memcpy(kept, szFile, sizeof kept);

  std::memset(&ofn, 0, sizeof ofn);
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd;
  szFile[0] = '\0';
  ofn.lpstrFile = szFile;
  ofn.nMaxFile = sizeof szFile;
  ofn.lpstrFilter = "Binary File (*.bin)\0*.bin\0All (*.*)\0*.*\0";
  ofn.nFilterIndex = 1;
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;

  if (GetOpenFileNameA(&ofn) != TRUE) {
    std::memcpy(szFile, kept, sizeof szFile);
    return;
  }
  hf = CreateFileA(szFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD size = INVALID_FILE_SIZE;
  if (hf != INVALID_HANDLE_VALUE) {
    size = GetFileSize(hf, nullptr);
    CloseHandle(hf);
  }
  // A running burn owns fileLength; the next burn overwrites it with the image size anyway.
  if (!burnRunning.load()) fileLength = size;
  isFileChosed = 1;
}

void OnStartBurn(HWND hwnd) {
  // Escape reaches this command even while the button is disabled: never a second burn.
  if (burnRunning.load()) return;
  isFileChosed = 1;
  paramStruct.hwnd = hwnd;
  paramStruct.hButton = hStartButton;
  burnRunning.store(true);
  SetTimer(hwnd, kSecondsTimer, 1000, nullptr);
  if (!burnThreadStarter(&paramStruct)) {
    burnRunning.store(false);
    KillTimer(hwnd, kSecondsTimer);
    EnableWindow(hStartButton, TRUE);
    Plat().ShowMessage(hwnd, kCannotStartText, "ERROR", MessageIcon::Error);
  }
}

void OnCommand(HWND hwnd, int id, int code, HWND control) {
  if (code == CBN_SELCHANGE) {
    if (id == kPortListId) OnPortPicked(control);
    if (id == kModelListId) OnModelPicked(control);
  } else if (code == BN_CLICKED) {
    if (id == IDOK) OnChooseFile(hwnd);
    if (id == kStartButtonId) OnStartBurn(hwnd);
  }
}

}  // namespace

void SetBurnThreadStarter(BurnThreadStarter starter) {
  burnThreadStarter = starter != nullptr ? starter : BeginBurnThread;
}

LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_PAINT: {
      // The logo waits for the next tick of the repaint timer.
      PAINTSTRUCT ps;
      HDC hdc = BeginPaint(hwnd, &ps);
      PaintPanel(hwnd, hdc, false);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_TIMER:
      if (wParam == kSecondsTimer) {
        elapsedTime.fetch_add(1);
      } else if (wParam == kRepaintTimer) {
        HDC hdc = GetDC(hwnd);
        PaintPanel(hwnd, hdc, true);
        ReleaseDC(hwnd, hdc);
      }
      return 0;
    case WM_COMMAND:
      OnCommand(hwnd, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = WindowProcedure;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
  wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(1));
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_SCROLLBAR + 1);
  wc.lpszClassName = kWindowClass;
  return RegisterClassExA(&wc) != 0;
}

bool PreselectModel(HWND modelList, const char* imageName) {
  char part[kModelNameSize];
  ModelPartOfImageName(imageName, part);
  std::memcpy(selectedPLC, part, sizeof selectedPLC);
  LRESULT found = SendMessageA(modelList, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                               reinterpret_cast<LPARAM>(selectedPLC));
  if (found != CB_ERR) {
    std::string entry = ListText(modelList, static_cast<int>(found));
    if (SelectPLCByName(entry.c_str())) {
      SendMessageA(modelList, CB_SETCURSEL, static_cast<WPARAM>(found), 0);
      SetSelectedPLC(entry);
      return true;
    }
  }
  SendMessageA(modelList, CB_SETCURSEL, 0, 0);
  SetSelectedPLC(ListText(modelList, 0));
  SelectPLCByName(selectedPLC);
  return false;
}

HWND CreateMainWindow(HINSTANCE instance, const char* imageName) {
  HWND hwnd = CreateWindowExA(0, kWindowClass, kWindowTitle, kMainStyle, CW_USEDEFAULT,
                              CW_USEDEFAULT, 544, 205, HWND_DESKTOP, nullptr, instance, nullptr);
  if (hwnd == nullptr) return nullptr;
  hStartButton = CreateControl(hwnd, "BUTTON", "Start Burn", kButtonStyle, 10, 60, 100, 30,
                               kStartButtonId, instance);
  hModelList = CreateControl(hwnd, "COMBOBOX", "", kModelListStyle, 10, 20, 140, 200, kModelListId,
                             instance);
  // Added in catalogue order; the list sorts them, so a position is never a catalogue index.
  for (int i = 0; i < kModelCount; ++i) {
    SendMessageA(hModelList, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(plcList[i]));
  }
  PreselectModel(hModelList, imageName);
  EnableWindow(hModelList, FALSE);

  SetBurnWindow(&windowControls);
  hComPortList =
      CreateControl(hwnd, "COMBOBOX", "", kPortListStyle, 160, 20, 100, 200, kPortListId, instance);
  ListPorts();
  SendMessageA(PortList(), CB_SETCURSEL, 0, 0);
  int port = CurrentSelection(PortList());
  if (port != CB_ERR) SetSelectedComPort(ListText(PortList(), port).c_str());

  SetTimer(hwnd, kRepaintTimer, 100, nullptr);
  return hwnd;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  if (!RegisterMainWindowClass(instance)) return 0;
  HWND hwnd = CreateMainWindow(instance, FIRMWARE_NAME);
  if (hwnd == nullptr) return 0;
  ShowWindow(hwnd, show);

  MSG msg;
  msg.wParam = 0;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (IsDialogMessageA(hwnd, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}
