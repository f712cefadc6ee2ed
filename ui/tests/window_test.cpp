// The main window inside the test program (hidden; it needs a display): the model chosen from
// the image name, the start command and its guard, and the port pick.
#include "ui/window.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "link/ports.h"

namespace {

// The product's platform, with the message boxes recorded instead of shown.
class RecordingPlatform : public Platform {
 public:
  std::vector<std::string> messages;
  Platform& real = ThisSystem();

  bool ListPresentDevices(std::vector<PresentDevice>& d) override {
    return real.ListPresentDevices(d);
  }
  bool ListDeviceInterfaces(const Guid& g, std::vector<DeviceInterface>& i) override {
    return real.ListDeviceInterfaces(g, i);
  }
  LinkHold HoldLink(const char* name) override { return real.HoldLink(name); }
  void ReleaseLink(LinkHold hold) override { real.ReleaseLink(hold); }
  bool LinkHeld(const char* name) override { return real.LinkHeld(name); }
  bool LoadFirmwareImage(const uint8_t** d, uint32_t* s, void** h) override {
    return real.LoadFirmwareImage(d, s, h);
  }
  void FreeFirmwareImage(void* h) override { real.FreeFirmwareImage(h); }
  void ShowMessage(WindowHandle, const char* text, const char* caption, MessageIcon) override {
    messages.push_back(std::string(caption) + "|" + text);
  }
  void SleepSeconds(unsigned s) override { real.SleepSeconds(s); }
};

std::string SelectedEntry(HWND list) {
  LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return "(none)";
  char text[64] = "";
  SendMessageA(list, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
  return text;
}

HWND ModelList() {
  HWND list =
      CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_DROPDOWNLIST | CBS_SORT | CBS_HASSTRINGS, 0,
                      0, 140, 200, HWND_MESSAGE, nullptr, nullptr, nullptr);
  for (int i = 0; i < kModelCount; ++i) {
    SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(plcList[i]));
  }
  return list;
}

TEST(ModelFromImageName, ListAndCatalogueAlwaysAgree) {
  const struct {
    const char* imageName;
    bool found;
    const char* model;  // the list entry and the catalogue entry selected
    int index;
  } cases[] = {
      {"KL3-KR3_v1.06.20_20220728_01_ETH.bin", true, "KL3-KR3", 20},
      {"PN2_v1.00_20220728.bin", true, "PN2", 3},
      {"MH500-TO-MH700_v1.bin", true, "MH500-TO-MH700", 31},
      // The list's lookup ignores case; the catalogue entry follows the list entry's spelling.
      {"kl2-g-v4_v2.bin", true, "KL2-G-V4", 28},
      // No model: the first entry of the sorted list.
      {"KL3-KR3.bin", false, "16KR2-AIO", 7},
      {"NOSUCHMODEL_v1.bin", false, "16KR2-AIO", 7},
      {"_v1.bin", false, "16KR2-AIO", 7},
      {"MH500-TO-MH700X_v1.bin", false, "16KR2-AIO", 7},  // 15 characters: no catalogue name
  };
  HWND list = ModelList();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imageName);
    selectedPLCIdx = 0;  // KL2-KR2-V2: shows through if nothing is selected
    selectedPLCID = 0;
    EXPECT_EQ(PreselectModel(list, c.imageName), c.found);
    EXPECT_EQ(SelectedEntry(list), c.model);
    EXPECT_STREQ(selectedPLC, c.model);
    EXPECT_EQ(selectedPLCIdx.load(), c.index);
    EXPECT_EQ(selectedPLCID.load(), plcID[c.index]);
  }
  DestroyWindow(list);
}

// Counts the burns the start command would start; fails the start when told to.
int starts;
bool startSucceeds;
bool CountingStarter(BurnParam*) {
  ++starts;
  return startSucceeds;
}

class MainWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { RegisterMainWindowClass(GetModuleHandleA(nullptr)); }

  void SetUp() override {
    SetPlatform(&platform);
    SetBurnThreadStarter(CountingStarter);
    starts = 0;
    startSucceeds = true;
    burnRunning = false;
    hwnd = CreateMainWindow(GetModuleHandleA(nullptr), "KL3-KR3_v1.06.20_20220728_01_ETH.bin");
    ASSERT_NE(hwnd, nullptr);
    button = GetDlgItem(hwnd, kStartButtonId);
  }
  void TearDown() override {
    DestroyWindow(hwnd);
    SetBurnThreadStarter(nullptr);
    SetPlatform(nullptr);
    burnRunning = false;
  }

  void Command(int id, int code, HWND control) {
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
  }
  // KillTimer succeeds only on a running timer (and stops it).
  bool SecondsTimerRuns() { return KillTimer(hwnd, kSecondsTimer) != FALSE; }

  RecordingPlatform platform;
  HWND hwnd = nullptr;
  HWND button = nullptr;
};

TEST_F(MainWindow, StartHandsTheWindowAndTheButtonToOneWorker) {
  Command(kStartButtonId, BN_CLICKED, button);
  EXPECT_EQ(starts, 1);
  EXPECT_TRUE(burnRunning.load());
  EXPECT_EQ(paramStruct.hwnd, hwnd);
  EXPECT_EQ(paramStruct.hButton, button);
  EXPECT_TRUE(SecondsTimerRuns());
  EXPECT_TRUE(platform.messages.empty());
}

TEST_F(MainWindow, StartWhileABurnRunsIsIgnored) {
  burnRunning = true;
  // Whether the command comes from the button or from the keyboard (which may name no control).
  Command(kStartButtonId, BN_CLICKED, button);
  Command(kStartButtonId, BN_CLICKED, nullptr);
  EXPECT_EQ(starts, 0);
  EXPECT_FALSE(SecondsTimerRuns());
  EXPECT_TRUE(burnRunning.load());
}

TEST_F(MainWindow, WorkerThatCannotStartLeavesTheWindowReadyAndSaysSo) {
  startSucceeds = false;
  EnableWindow(button, FALSE);
  Command(kStartButtonId, BN_CLICKED, button);
  EXPECT_EQ(starts, 1);
  EXPECT_FALSE(burnRunning.load());
  EXPECT_FALSE(SecondsTimerRuns());
  EXPECT_TRUE(IsWindowEnabled(button));
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0], std::string("ERROR|") + kCannotStartText);
  // The next press tries again.
  startSucceeds = true;
  Command(kStartButtonId, BN_CLICKED, button);
  EXPECT_EQ(starts, 2);
}

TEST_F(MainWindow, ModelIsFixedAndAUsbModelListsOnlyUsb) {
  HWND models = GetDlgItem(hwnd, kModelListId);
  HWND ports = GetDlgItem(hwnd, kPortListId);
  EXPECT_FALSE(IsWindowEnabled(models));
  EXPECT_EQ(SelectedEntry(models), "KL3-KR3");
  EXPECT_EQ(SendMessageA(ports, CB_GETCOUNT, 0, 0), 1);
  EXPECT_EQ(SelectedEntry(ports), "USB");
  char port[kPortNameSize];
  GetSelectedComPort(port);
  EXPECT_STREQ(port, "USB");
}

// The order port discovery, the console and the test platform give the ports is the order the
// window's sorted port list shows them in: letter case and hyphens aside.
TEST_F(MainWindow, PortListSortsAsThePortDiscoveryDoes) {
  HWND ports = GetDlgItem(hwnd, kPortListId);
  SendMessageA(ports, CB_RESETCONTENT, 0, 0);
  std::vector<std::string> names = {"COM3", "com20", "COM-15", "COM1", "COM14",
                                    "Com2", "COM-4", "COM10",  "COMB", "coma"};
  for (const std::string& name : names) {
    SendMessageA(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  std::vector<std::string> shown;
  const int count = static_cast<int>(SendMessageA(ports, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    char text[16] = {};
    SendMessageA(ports, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    shown.push_back(text);
  }
  std::stable_sort(names.begin(), names.end(), SortedListOrder);
  EXPECT_EQ(shown, names);
}

TEST_F(MainWindow, PortPickedDuringABurnIsTheNextOneOpened) {
  HWND ports = GetDlgItem(hwnd, kPortListId);
  SendMessageA(ports, CB_RESETCONTENT, 0, 0);
  for (const char* name : {"COM3", "COM10", "COM123456"}) {
    SendMessageA(ports, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  burnRunning = true;
  SendMessageA(ports, CB_SETCURSEL, 1, 0);  // sorted: COM10, COM123456, COM3
  Command(kPortListId, CBN_SELCHANGE, ports);
  char port[kPortNameSize];
  GetSelectedComPort(port);
  EXPECT_STREQ(port, "COM123456");
  EXPECT_EQ(ComSelidx, 1);
  SendMessageA(ports, CB_SETCURSEL, 2, 0);
  Command(kPortListId, CBN_SELCHANGE, ports);
  GetSelectedComPort(port);
  EXPECT_STREQ(port, "COM3");
  EXPECT_EQ(ComSelidx, 2);
}

}  // namespace
