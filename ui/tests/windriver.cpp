// Drives the firmware update window from a second process, as an operator would: finds the
// window, reads its controls, presses its button and keys, reads and closes its message boxes,
// and reads the status panel back from the pixels on the screen.
//
//   windriver STEP [ARG]... [STEP [ARG]...]...
//
// Each step prints what it saw as "name: value" lines; a step that cannot do its job prints
// "error: ..." and the program ends with status 1. The checks belong to the scripts in e2e/.
// With several programs of the same title, "find" takes the top window, "handle" prints the
// handle of the window found, "window HANDLE" takes a window by it, "other MS HANDLE,..." waits
// for a window besides those, "move X Y" puts the window there, clear of the others, and
// "watchall MS HANDLE,..." watches the burns of several windows at once.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kTitle[] = "Morvex PLC Firmware Update Program";
const int kButtonId = 2, kPortListId = 7, kModelListId = 8;

HWND mainWindow;
HWND lastBox;

[[noreturn]] void Fail(const std::string& why) {
  std::printf("error: %s\n", why.c_str());
  std::fflush(stdout);
  std::exit(1);
}

void Print(const std::string& name, const std::string& value) {
  std::printf("%s: %s\n", name.c_str(), value.c_str());
  std::fflush(stdout);
}

std::string Narrow(const std::wstring& wide) {
  std::string out;
  for (wchar_t c : wide) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

// Another process's texts have to be asked for: GetWindowText does not ask, and an ANSI
// CB_GETLBTEXT across processes brings back one character.
std::string WindowText(HWND hwnd) {
  wchar_t text[512] = L"";
  SendMessageW(hwnd, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
  return Narrow(text);
}

std::vector<std::string> ListEntries(HWND list) {
  std::vector<std::string> entries;
  LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, i, 0);
    std::wstring text(length < 0 ? 0 : static_cast<size_t>(length) + 1, L'\0');
    if (length >= 0) SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&text[0]));
    entries.push_back(Narrow(text.c_str()));
  }
  return entries;
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "|" : "") + items[i];
  return out;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

// Polls `ready` every 20 ms until it holds or `ms` have passed.
template <typename F>
bool WaitFor(DWORD ms, F ready) {
  DWORD start = GetTickCount();
  for (;;) {
    if (ready()) return true;
    if (GetTickCount() - start >= ms) return false;
    Sleep(20);
  }
}

// ---- The panel, read back from the pixels -------------------------------------------------

const int kClientWidth = 544, kClientHeight = 205;  // at least the client area

SIZE ClientSize() {
  RECT r = {0, 0, 0, 0};
  GetClientRect(mainWindow, &r);
  return {r.right, r.bottom};
}

// A 32-bit top-down picture of the client area; also the canvas the reference texts are drawn on.
struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  uint32_t* bits = nullptr;
  int width = 0, height = 0;

  Canvas(int w, int h) : width(w), height(h) {
    BITMAPINFO info;
    std::memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc = CreateCompatibleDC(nullptr);
    void* memory = nullptr;
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &memory, nullptr, 0);
    if (dc == nullptr || bitmap == nullptr) Fail("cannot make a drawing surface");
    bits = static_cast<uint32_t*>(memory);
    previous = SelectObject(dc, bitmap);
  }
  ~Canvas() {
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  // As a COLORREF (red in the low byte).
  COLORREF At(int x, int y) const {
    uint32_t p = bits[y * width + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
};

void CaptureClient(Canvas& canvas) {
  GdiFlush();
  HDC window = GetDC(mainWindow);
  if (window == nullptr) Fail("cannot read the window's pixels");
  BitBlt(canvas.dc, 0, 0, canvas.width, canvas.height, window, 0, 0, SRCCOPY);
  ReleaseDC(mainWindow, window);
  GdiFlush();
}

struct Label {
  int x, y;
  std::string text;
};

// Draws what the panel would show in `area`: the background, then the labels, as the window
// does (default font and colour, transparent background).
void DrawReference(Canvas& ref, const RECT& area, const std::vector<Label>& labels) {
  FillRect(ref.dc, &area, GetSysColorBrush(COLOR_SCROLLBAR));
  SetBkMode(ref.dc, TRANSPARENT);
  for (const Label& l : labels) TextOutA(ref.dc, l.x, l.y, l.text.c_str(), int(l.text.size()));
  GdiFlush();
}

// Compares within `area` up to column `right`, as far as the window's client area (in `a`) goes:
// the panel's areas reach beyond the client area of a 544-pixel-wide window.
bool SameColumns(const Canvas& a, const Canvas& b, const RECT& area, int right) {
  int bottom = area.bottom < a.height ? area.bottom : a.height;
  if (right > area.right) right = area.right;
  if (right > a.width) right = a.width;
  for (int y = area.top; y < bottom; ++y) {
    for (int x = area.left; x < right; ++x) {
      if ((a.bits[y * a.width + x] & 0xFFFFFF) != (b.bits[y * b.width + x] & 0xFFFFFF)) {
        return false;
      }
    }
  }
  return true;
}

int TextWidth(HDC dc, const std::string& text) {
  SIZE size = {0, 0};
  GetTextExtentPoint32A(dc, text.c_str(), int(text.size()), &size);
  return size.cx;
}

// Reads the text drawn at (x, y) over `labels` inside `area`, one character at a time from
// `alphabet`, starting from a known `prefix`. Returns "?" when the pixels match no such text.
std::string ReadText(const Canvas& shot, const RECT& area, const std::vector<Label>& labels, int x,
                     int y, const std::string& prefix, const std::string& alphabet) {
  Canvas ref(kClientWidth, kClientHeight);
  auto drawn = [&](const std::string& text, int right) {
    std::vector<Label> all = labels;
    all.push_back({x, y, text});
    DrawReference(ref, area, all);
    return SameColumns(shot, ref, area, right);
  };
  std::string text = prefix;
  if (!drawn(text, x + TextWidth(ref.dc, text))) return "?";
  while (text.size() < 48) {
    if (drawn(text, area.right)) return text.substr(prefix.size());
    bool extended = false;
    for (char c : alphabet) {
      std::string longer = text + c;
      if (drawn(longer, x + TextWidth(ref.dc, longer))) {
        text = longer;
        extended = true;
        break;
      }
    }
    if (!extended) break;
  }
  return "?";
}

// Which of `candidates`, drawn at (x, y) over `labels`, fills `area` exactly; "?" for none.
std::string MatchText(const Canvas& shot, const RECT& area, const std::vector<Label>& labels, int x,
                      int y, const std::vector<std::string>& candidates) {
  Canvas ref(kClientWidth, kClientHeight);
  for (const std::string& c : candidates) {
    std::vector<Label> all = labels;
    all.push_back({x, y, c});
    DrawReference(ref, area, all);
    if (SameColumns(shot, ref, area, area.right)) return c;
  }
  return "?";
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? text : text.substr(first);
}

// The logo as the program carries it, scaled as the panel scales it.
bool LogoMatches(const Canvas& shot) {
  DWORD pid = 0;
  GetWindowThreadProcessId(mainWindow, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  char path[MAX_PATH * 2] = "";
  DWORD length = sizeof path;
  BOOL named = QueryFullProcessImageNameA(process, 0, path, &length);
  CloseHandle(process);
  if (!named) return false;
  HMODULE program = LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (program == nullptr) return false;
  HBITMAP logo = static_cast<HBITMAP>(
      LoadImageA(program, MAKEINTRESOURCEA(12), IMAGE_BITMAP, 87, 28, LR_DEFAULTCOLOR));
  bool same = false;
  if (logo != nullptr) {
    Canvas ref(kClientWidth, kClientHeight);
    HDC memory = CreateCompatibleDC(ref.dc);
    HGDIOBJ old = SelectObject(memory, logo);
    BitBlt(ref.dc, 435, 15, 87, 28, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(logo);
    GdiFlush();
    // Wine's 32-bit and 64-bit scaling round a few edge pixels differently: a handful of
    // pixels off by a little is the same logo, while a missing, moved or unscaled one is not.
    int off = 0;
    for (int y = 15; y < 15 + 28 && y < shot.height; ++y) {
      for (int x = 435; x < 435 + 87 && x < shot.width; ++x) {
        const uint32_t p = shot.bits[y * shot.width + x], q = ref.bits[y * ref.width + x];
        for (int shift = 0; shift < 24; shift += 8) {
          if (std::abs(int(p >> shift & 0xFF) - int(q >> shift & 0xFF)) > 40) {
            ++off;
            break;
          }
        }
      }
    }
    same = shot.width >= 435 + 87 && off * 25 <= 87 * 28;
  }
  FreeLibrary(program);
  return same;
}

struct PanelState {
  std::string elapsed, percent, status, counters;
  int barRed = -1;  // right edge of the red part; -1 when the bar is not red then white
  bool operator==(const PanelState& o) const {
    return elapsed == o.elapsed && percent == o.percent && status == o.status &&
           counters == o.counters && barRed == o.barRed;
  }
  bool operator!=(const PanelState& o) const { return !(*this == o); }
  std::string Text() const {
    return "elapsed=" + elapsed + " percent=" + percent + " bar=" + std::to_string(barRed) +
           " status=" + status + " counters=" + counters;
  }
};

// The bar, row by row: red from x = 10 to some edge, white from there to 520, on every row.
int BarRedRight(const Canvas& shot) {
  int edge = -1;
  for (int y = 105; y < 125; ++y) {
    int x = 10;
    while (x < 520 && shot.At(x, y) == RGB(255, 0, 0)) ++x;
    int red = x;
    while (x < 520 && shot.At(x, y) == RGB(255, 255, 255)) ++x;
    if (x != 520 || (edge != -1 && red != edge)) return -1;
    edge = red;
  }
  return edge;
}

PanelState ReadPanel(const Canvas& shot) {
  PanelState s;
  s.elapsed = Trim(ReadText(shot, {160, 70, 335, 90}, {{160, 70, "Elapsed Time:              sec"}},
                            270, 70, "", "0123456789 -"));
  s.percent = Trim(ReadText(shot, {10, 140, 130, 160}, {{10, 140, "Progress:            %"}}, 85,
                            140, "", "0123456789 -"));
  s.status = MatchText(shot, {160, 140, 300, 160}, {{160, 140, "Status: "}}, 209, 140,
                       {"Idle", "Erasing", "Programming", ""});
  s.counters = ReadText(shot, {320, 140, 540, 160}, {}, 320, 140,
                        "# of Error/Total Error: ", "0123456789/-");
  s.barRed = BarRedRight(shot);
  return s;
}

// Two captures that read alike, so that a repaint caught half-way is not taken for the panel.
PanelState SteadyPanel(Canvas& shot) {
  CaptureClient(shot);
  PanelState last = ReadPanel(shot);
  for (int i = 0; i < 20; ++i) {
    Sleep(15);
    CaptureClient(shot);
    PanelState now = ReadPanel(shot);
    if (now == last) return now;
    last = now;
  }
  return last;
}

// ---- Pictures ------------------------------------------------------------------------------

// Saves the window as it stands on the screen, frame included, as a 24-bit BMP.
void SaveWindowPicture(const std::string& file) {
  RECT r;
  GetWindowRect(mainWindow, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  Canvas picture(w, h);
  HDC screen = GetDC(nullptr);
  BitBlt(picture.dc, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  GdiFlush();

  int stride = (w * 3 + 3) & ~3;
  BITMAPFILEHEADER fileHeader;
  std::memset(&fileHeader, 0, sizeof fileHeader);
  BITMAPINFOHEADER info;
  std::memset(&info, 0, sizeof info);
  info.biSize = sizeof info;
  info.biWidth = w;
  info.biHeight = h;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = stride * h;
  fileHeader.bfType = 0x4D42;
  fileHeader.bfOffBits = sizeof fileHeader + sizeof info;
  fileHeader.bfSize = fileHeader.bfOffBits + info.biSizeImage;

  FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) Fail("cannot write " + file);
  std::fwrite(&fileHeader, sizeof fileHeader, 1, out);
  std::fwrite(&info, sizeof info, 1, out);
  std::vector<uint8_t> row(stride, 0);
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      uint32_t p = picture.bits[y * w + x];
      row[x * 3] = p & 0xFF;
      row[x * 3 + 1] = (p >> 8) & 0xFF;
      row[x * 3 + 2] = (p >> 16) & 0xFF;
    }
    std::fwrite(row.data(), 1, row.size(), out);
  }
  std::fclose(out);
  Print("picture", file);
}

// ---- Message boxes ---------------------------------------------------------------------------

HWND FindBox() {
  struct Search {
    HWND owner, found;
  } search = {mainWindow, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        char cls[16] = "";
        GetClassNameA(hwnd, cls, sizeof cls);
        if (std::strcmp(cls, "#32770") == 0 && IsWindowVisible(hwnd) &&
            GetWindow(hwnd, GW_OWNER) == s->owner) {
          s->found = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// ---- Steps
// ---------------------------------------------------------------------------------------

HWND Control(int id) {
  HWND control = GetDlgItem(mainWindow, id);
  if (control == nullptr) Fail("control " + std::to_string(id) + " is missing");
  return control;
}

// A window of the program with its controls made: FindWindow can win the race with their
// creation.
bool Complete(HWND hwnd) {
  return hwnd != nullptr && GetDlgItem(hwnd, kButtonId) != nullptr &&
         GetDlgItem(hwnd, kModelListId) != nullptr && GetDlgItem(hwnd, kPortListId) != nullptr &&
         IsWindowVisible(hwnd);
}

// Waits for a window of the program other than those `besides`, the top one first.
void StepFind(DWORD ms, const std::vector<HWND>& besides = {}) {
  bool found = WaitFor(ms, [&besides] {
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, nullptr, kTitle)) != nullptr) {
      if (std::find(besides.begin(), besides.end(), w) == besides.end() && Complete(w)) break;
    }
    mainWindow = w;
    return w != nullptr;
  });
  if (!found) Fail("no window titled \"" + std::string(kTitle) + "\"");
  Print("window", "found");
}

// Takes the window whose handle an earlier run printed ("handle"), one of two programs' windows
// of the same title.
void StepWindow(HWND w) {
  if (!IsWindow(w) || WindowText(w) != kTitle) Fail("no window of the program with that handle");
  mainWindow = w;
  Print("window", "found");
}

void PrintControl(int id) {
  HWND control = Control(id);
  char cls[64] = "";
  GetClassNameA(control, cls, sizeof cls);
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(HWND_DESKTOP, mainWindow, reinterpret_cast<POINT*>(&r), 2);
  std::string name = "control " + std::to_string(id);
  Print(name + " class", cls);
  Print(name + " text", WindowText(control));
  Print(name + " style", Hex(GetWindowLongA(control, GWL_STYLE) & ~WS_DISABLED));
  Print(name + " enabled", IsWindowEnabled(control) ? "1" : "0");
  Print(name + " at", std::to_string(r.left) + "," + std::to_string(r.top));
  Print(name + " width", std::to_string(r.right - r.left));
  if (std::strcmp(cls, "ComboBox") == 0) {
    // The height a combo box is made with includes its drop-down list.
    RECT dropped = {0, 0, 0, 0};
    SendMessageW(control, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
    MapWindowPoints(HWND_DESKTOP, mainWindow, reinterpret_cast<POINT*>(&dropped), 2);
    Print(name + " height", std::to_string(dropped.bottom - r.top));
    std::vector<std::string> entries = ListEntries(control);
    LRESULT selected = SendMessageW(control, CB_GETCURSEL, 0, 0);
    Print(name + " count", std::to_string(entries.size()));
    Print(name + " entries", Join(entries));
    Print(name + " selected",
          selected >= 0 && size_t(selected) < entries.size() ? entries[selected] : "(none)");
  } else {
    Print(name + " height", std::to_string(r.bottom - r.top));
  }
}

void StepPort(const std::string& name) {
  HWND list = Control(kPortListId);
  std::vector<std::string> entries = ListEntries(list);
  auto at = std::find(entries.begin(), entries.end(), name);
  if (at == entries.end()) Fail("no port " + name + " in the list (" + Join(entries) + ")");
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(at - entries.begin()), 0);
  SendMessageW(mainWindow, WM_COMMAND, MAKEWPARAM(kPortListId, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
  Print("port", name);
}

void StepControls() {
  RECT r;
  GetWindowRect(mainWindow, &r);
  char cls[64] = "";
  GetClassNameA(mainWindow, cls, sizeof cls);
  Print("title", WindowText(mainWindow));
  Print("class", cls);
  Print("style", Hex(GetWindowLongA(mainWindow, GWL_STYLE)));
  Print("exstyle", Hex(GetWindowLongA(mainWindow, GWL_EXSTYLE)));
  Print("size", std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top));
  int children = 0;
  for (HWND c = GetWindow(mainWindow, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    ++children;
  }
  Print("controls", std::to_string(children));
  PrintControl(kButtonId);
  PrintControl(kModelListId);
  PrintControl(kPortListId);
}

void StepPanel() {
  SIZE client = ClientSize();
  Canvas shot(client.cx, client.cy);
  PanelState s = SteadyPanel(shot);
  Print("panel", s.Text());
  Print("date", MatchText(shot, {300, 25, 420, 45}, {}, 300, 25, {"Date: 2022/07/28"}));
  // Only the repaint timer draws the logo, within 100 ms of the window's first painting; a
  // program run through an emulator may take seconds over its first drawing of it.
  bool logo = WaitFor(5000, [&] {
    CaptureClient(shot);
    return LogoMatches(shot);
  });
  Print("logo", logo ? "match" : "differs");
}

void StepBox(DWORD ms) {
  if (!WaitFor(ms, [] { return (lastBox = FindBox()) != nullptr; })) Fail("no message box");
  // The text may be set a moment after the box becomes visible.
  Sleep(50);
  Print("box", WindowText(lastBox) + " | " + WindowText(GetDlgItem(lastBox, 0xFFFF)));
}

// The edit box of the open dialog's file name: edt1 in the old style, inside cmb13 in the
// Explorer style.
HWND FindFileNameBox(HWND dialog) {
  struct Search {
    HWND found;
  } search = {nullptr};
  EnumChildWindows(
      dialog,
      [](HWND child, LPARAM param) -> BOOL {
        char cls[16] = "";
        GetClassNameA(child, cls, sizeof cls);
        int id = GetDlgCtrlID(child);
        if (_stricmp(cls, "Edit") == 0 && (id == 0x480 || id == 0x47C)) {
          reinterpret_cast<Search*>(param)->found = child;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Chooses a file through the window's file chooser, or cancels the chooser when `path` is empty.
void StepChoose(const std::string& path) {
  PostMessageA(mainWindow, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  HWND dialog = nullptr;
  // The system's file chooser loads its libraries at its first use: seconds where the program
  // runs through an emulator. A bound for a fault, not a measure of speed.
  if (!WaitFor(60000, [&] { return (dialog = FindBox()) != nullptr; })) Fail("no file chooser");
  Sleep(100);
  Print("chooser", WindowText(dialog));
  if (!path.empty()) {
    HWND name = FindFileNameBox(dialog);
    if (name == nullptr) Fail("the file chooser has no file name box");
    std::wstring wide(path.begin(), path.end());
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
  }
  PostMessageA(dialog, WM_COMMAND, path.empty() ? IDCANCEL : IDOK, 0);
  if (!WaitFor(20000, [&] { return !IsWindow(dialog); })) Fail("the file chooser stays open");
  Print("chosen", path.empty() ? "(cancelled)" : path);
}

void StepOk() {
  if (lastBox == nullptr) Fail("no message box to close");
  PostMessageA(lastBox, WM_COMMAND, IDOK, 0);
  if (!WaitFor(5000, [] { return !IsWindow(lastBox); })) Fail("the message box stays open");
  lastBox = nullptr;
  Print("ok", "pressed");
}

void StepNoBox(DWORD ms) {
  if (WaitFor(ms, [] { return FindBox() != nullptr; })) {
    Fail("unexpected message box: " + WindowText(FindBox()) + " | " +
         WindowText(GetDlgItem(FindBox(), 0xFFFF)));
  }
  Print("box", "none");
}

void StepIdle(DWORD ms) {
  SIZE client = ClientSize();
  Canvas shot(client.cx, client.cy);
  PanelState s;
  bool idle = WaitFor(ms, [&] {
    s = SteadyPanel(shot);
    return IsWindowEnabled(Control(kButtonId)) && s.status == "Idle" && s.elapsed == "0" &&
           s.percent == "0" && s.barRed == 10 && s.counters == "0/0";
  });
  if (!idle) Fail("not idle: " + s.Text());
  Print("idle", s.Text());
}

std::string Sample(DWORD t, const PanelState& s) {
  return "t=" + std::to_string(t) + " " + s.Text() +
         " button=" + (IsWindowEnabled(Control(kButtonId)) ? "1" : "0");
}

// Waits until the panel shows the phase `status`.
void StepUntil(DWORD ms, const std::string& status) {
  SIZE client = ClientSize();
  Canvas shot(client.cx, client.cy);
  PanelState s;
  if (!WaitFor(ms, [&] { return (s = SteadyPanel(shot)).status == status; })) {
    Fail("no " + status + " on the panel: " + s.Text());
  }
  Print("until", s.Text());
}

// Samples the panels of several windows in turn until each shows a message box, printing every
// change ("sample N: ...", N the window's place in the list from 1) and the time each box came
// ("end N: t=..."), in ms from the start of the step.
void StepWatchAll(DWORD ms, const std::vector<HWND>& windows) {
  std::vector<PanelState> last(windows.size());
  std::vector<bool> ended(windows.size(), false);
  const DWORD start = GetTickCount();
  for (size_t left = windows.size(); left > 0; Sleep(30)) {
    if (GetTickCount() - start >= ms) Fail("no end of every burn within the time");
    for (size_t n = 0; n < windows.size(); ++n) {
      if (ended[n]) continue;
      mainWindow = windows[n];
      const std::string name = std::to_string(n + 1);
      if (FindBox() != nullptr) {
        ended[n] = true;
        --left;
        Print("end " + name, "t=" + std::to_string(GetTickCount() - start));
        continue;
      }
      SIZE client = ClientSize();
      Canvas shot(client.cx, client.cy);
      PanelState s = SteadyPanel(shot);
      if (s != last[n]) Print("sample " + name, Sample(GetTickCount() - start, s));
      last[n] = s;
    }
  }
}

// Samples the panel until a message box shows up, printing every change; the first sample that
// shows Programming at 30 % or more is also saved as a picture.
void StepWatch(DWORD ms, const std::string& picture) {
  SIZE client = ClientSize();
  Canvas shot(client.cx, client.cy);
  PanelState last;
  bool pictured = picture.empty();
  DWORD start = GetTickCount();
  while (FindBox() == nullptr) {
    if (GetTickCount() - start >= ms) Fail("no end of the burn within the time");
    PanelState s = SteadyPanel(shot);
    if (s != last) {
      Print("sample", Sample(GetTickCount() - start, s));
      last = s;
    }
    if (!pictured && s.status == "Programming" && std::atoi(s.percent.c_str()) >= 30) {
      SaveWindowPicture(picture);
      pictured = true;
    }
    Sleep(30);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  auto number = [&](size_t& i) -> DWORD {
    if (i + 1 >= args.size()) Fail("step " + args[i] + " needs a number");
    return static_cast<DWORD>(std::strtoul(args[++i].c_str(), nullptr, 10));
  };
  // Window handles, as "handle" printed them, separated by commas.
  auto handles = [&](size_t& i) {
    if (i + 1 >= args.size()) Fail("step " + args[i] + " needs window handles");
    std::vector<HWND> list;
    for (const char* h = args[++i].c_str(); *h != '\0'; h += *h == ',') {
      char* end = nullptr;
      list.push_back(reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(h, &end, 10))));
      if (end == h) Fail("not a window handle: " + args[i]);
      h = end;
    }
    return list;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& step = args[i];
    if (step != "find" && step != "other" && step != "window" && step != "watchall" &&
        mainWindow == nullptr) {
      Fail("find the window first");
    }
    if (step == "find") {
      StepFind(number(i));
    } else if (step == "other") {
      DWORD ms = number(i);
      StepFind(ms, handles(i));
    } else if (step == "window") {
      StepWindow(handles(i).front());
    } else if (step == "port") {
      // Picks a port in the port list as the operator does: the entry, then the notification.
      if (i + 1 >= args.size()) Fail("port needs a port name");
      StepPort(args[++i]);
    } else if (step == "move") {
      // Moves the window to X,Y on the screen, so that windows side by side do not cover each
      // other's panel.
      int x = static_cast<int>(number(i));
      int y = static_cast<int>(number(i));
      SetWindowPos(mainWindow, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      Print("moved", std::to_string(x) + "," + std::to_string(y));
    } else if (step == "handle") {
      Print("handle", std::to_string(reinterpret_cast<uintptr_t>(mainWindow)));
    } else if (step == "controls") {
      StepControls();
    } else if (step == "panel") {
      StepPanel();
    } else if (step == "click") {
      PostMessageA(Control(kButtonId), BM_CLICK, 0, 0);
      Print("click", "Start Burn");
    } else if (step == "escape") {
      // Through the message loop, where the dialog keyboard handling turns it into command 2.
      PostMessageA(mainWindow, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
      PostMessageA(mainWindow, WM_KEYUP, VK_ESCAPE, 0xC0010001);
      Print("key", "Escape");
    } else if (step == "command") {
      DWORD id = number(i);
      PostMessageA(mainWindow, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(mainWindow, int(id))));
      Print("command", std::to_string(id));
    } else if (step == "box") {
      StepBox(number(i));
    } else if (step == "choose") {
      if (i + 1 >= args.size()) Fail("choose needs a path, or - to cancel");
      ++i;
      StepChoose(args[i] == "-" ? std::string() : args[i]);
    } else if (step == "ok") {
      StepOk();
    } else if (step == "nobox") {
      StepNoBox(number(i));
    } else if (step == "idle") {
      StepIdle(number(i));
    } else if (step == "watch") {
      DWORD ms = number(i);
      std::string picture;
      if (i + 1 < args.size() && args[i + 1].find(".bmp") != std::string::npos) picture = args[++i];
      StepWatch(ms, picture);
    } else if (step == "watchall") {
      DWORD ms = number(i);
      StepWatchAll(ms, handles(i));
    } else if (step == "until") {
      DWORD ms = number(i);
      if (i + 1 >= args.size()) Fail("until needs a phase");
      StepUntil(ms, args[++i]);
    } else if (step == "picture") {
      if (i + 1 >= args.size()) Fail("picture needs a file name");
      SaveWindowPicture(args[++i]);
    } else if (step == "clock") {
      // Milliseconds since 1970, on the clock the simulated USB device stamps its log with.
      FILETIME now;
      GetSystemTimeAsFileTime(&now);
      const unsigned long long ticks =
          (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
      Print("clock", std::to_string((ticks - 116444736000000000ULL) / 10000));
    } else if (step == "sleep") {
      Sleep(number(i));
    } else if (step == "close") {
      PostMessageA(mainWindow, WM_CLOSE, 0, 0);
      if (!WaitFor(5000, [] { return !IsWindow(mainWindow); })) Fail("the window stays open");
      Print("closed", "1");
    } else {
      Fail("unknown step " + step);
    }
  }
  return 0;
}
