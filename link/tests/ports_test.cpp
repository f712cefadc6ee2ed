// Port discovery and link opening against a fake device list.
#include "link/ports.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "core/burn_state.h"
#include "testsupport/fake_platform.h"

namespace {

class PortsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetBurnStateForTest(); }
  void TearDown() override {
    ReleaseLinkHold();
    ResetBurnStateForTest();
  }
  void Devices(std::initializer_list<const char*> names) {
    platform.devices.clear();
    for (const char* n : names) platform.devices.push_back(PresentDevice{true, n});
  }
  std::vector<std::string> Opens() const {
    std::vector<std::string> out;
    for (const std::string& e : platform.Events()) {
      if (e.rfind("open", 0) == 0 || e == "close") out.push_back(e);
    }
    return out;
  }
  FakePlatform platform;
  ScopedPlatform scoped{platform};
  WindowHandle list = reinterpret_cast<WindowHandle>(0x42);
};

TEST(PortName, IsCutFromTheFirstComToTheLastParenthesis) {
  struct {
    const char* friendlyName;
    const char* port;  // null: skipped
  } const cases[] = {
      {"USB Serial Port (COM3)", "COM3"},
      {"Communications Port (COM1)", "COM1"},
      {"Serial Device (COM12)", "COM12"},
      {"Serial (USB) Adapter (COM5)", "COM5"},
      {"Modem (COM4) (x)", "COM4) (x"},
      {"(COM123456)", "COM123456"},  // 9 characters fit
      {"(COM1234567)", nullptr},     // 10 do not
      {"Port (COM7", nullptr},       // no ')' after "(COM"
      {"Odd) name (COM8", nullptr},  // the only ')' comes before it
      {"Printer Port (LPT1)", nullptr},
      {"usb serial (com3)", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    char out[10];
    std::memset(out, 'z', sizeof out);
    const bool cut = PortNameFromFriendlyName(c.friendlyName, out);
    EXPECT_EQ(cut, c.port != nullptr) << c.friendlyName;
    if (cut) {
      EXPECT_STREQ(out, c.port);
    }
  }
}

TEST_F(PortsTest, ComListingIsSortedAndRelistingReplacesIt) {
  Devices({"Serial Device (COM3)", "Network adapter", "Serial Device (COM10)", "Modem (COM2)"});
  platform.devices.push_back(PresentDevice{false, ""});
  std::vector<std::string> ports = {"stale"};
  ASSERT_TRUE(ListComPorts(ports));
  EXPECT_EQ(ports, (std::vector<std::string>{"COM10", "COM2", "COM3"}));

  Devices({"Long Name Port (COM1234567)", "Serial (COM9)"});
  ASSERT_TRUE(ListComPorts(ports));
  EXPECT_EQ(ports, std::vector<std::string>{"COM9"});
}

TEST_F(PortsTest, UnavailableDeviceSetLeavesTheList) {
  Devices({"Serial (COM4)"});
  std::vector<std::string> ports;
  ASSERT_TRUE(ListComPorts(ports));
  platform.devicesAvailable = false;
  EXPECT_FALSE(ListComPorts(ports));
  EXPECT_EQ(ports, std::vector<std::string>{"COM4"});

  platform.devicesAvailable = true;
  Devices({});
  ASSERT_TRUE(ListComPorts(ports));
  EXPECT_TRUE(ports.empty());
}

// The sorted list's order: letter case and hyphens aside; names of one key in the order found.
TEST(SortedListOrder, IgnoresCaseAndHyphensAndKeepsTiesInTheOrderFound) {
  EXPECT_TRUE(SortedListOrder("com1", "COM2"));
  EXPECT_FALSE(SortedListOrder("COM2", "com1"));
  EXPECT_TRUE(SortedListOrder("COM-1", "COM2"));
  EXPECT_FALSE(SortedListOrder("COM-1", "COM1"));
  EXPECT_FALSE(SortedListOrder("COM1", "COM-1"));
  EXPECT_TRUE(SortedListOrder("COM10", "COM9"));  // by characters, not by number
  EXPECT_TRUE(SortedListOrder("", "COM1"));
  EXPECT_FALSE(SortedListOrder("", ""));
}

TEST_F(PortsTest, PortsOfOneKeyKeepTheOrderTheyWereFoundIn) {
  Devices({"B (COM-1)", "A (COM1)", "E (COMa)", "D (COM0)", "F (COMA)"});
  std::vector<std::string> ports;
  ASSERT_TRUE(ListComPorts(ports));
  EXPECT_EQ(ports, (std::vector<std::string>{"COM0", "COM-1", "COM1", "COMa", "COMA"}));
}

TEST_F(PortsTest, ComPortsOpenThroughTheDeviceNamespace) {
  ScriptedLink port;
  platform.opener = [&](const std::string& path, OpenMode mode) {
    return path == "\\\\.\\COM12" && mode == OpenMode::ComPort ? &port : nullptr;
  };
  for (const char* name : {"COM12", "\\\\.\\COM12"}) {
    LinkHandle h = OpenComLink(name);
    ASSERT_NE(h, INVALID_LINK_HANDLE) << name;
    platform.CloseLink(h);
  }
  // An empty name names no port: nothing is held or opened.
  EXPECT_EQ(OpenComLink(""), INVALID_LINK_HANDLE);
  EXPECT_EQ(platform.HeldLinks(), std::set<std::string>{"com12"});
  EXPECT_EQ(Opens(), (std::vector<std::string>{"open COM \\\\.\\COM12", "close",
                                               "open COM \\\\.\\COM12", "close"}));
}

const char kPath[] =
    "\\\\?\\usb#vid_fff0&pid_0001#5&1a2b3c&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

TEST_F(PortsTest, UsbDeviceIsProbedBareThenOpenedWithTheBackslash) {
  ScriptedLink device;
  platform.interfaces = {{true, "\\\\?\\usb#vid_1234&pid_0001#1"},
                         {true, "\\\\?\\usb#VID_FFF0&PID_0001#2"},  // upper case: not ours
                         {false, ""},
                         {true, kPath}};
  platform.opener = [&](const std::string&, OpenMode mode) {
    return mode == OpenMode::UsbDevice ? &device : nullptr;
  };
  LinkHandle h = OpenMyDevPipe("");
  ASSERT_NE(h, INVALID_LINK_HANDLE);
  EXPECT_EQ(platform.OpenLinkCount(), 1);
  platform.CloseLink(h);
  const std::string bare = std::string("open USB ") + kPath;
  EXPECT_EQ(Opens(), (std::vector<std::string>{bare, "close", bare + "\\", "close"}));

  platform.ClearEvents();
  h = OpenMyDevPipe("PIPE00");
  platform.CloseLink(h);
  EXPECT_EQ(Opens()[2], bare + "\\PIPE00");
}

TEST_F(PortsTest, FirstMatchingDeviceThatOpensIsUsed) {
  ScriptedLink device;
  const std::string busy = std::string(kPath) + "busy";
  std::string longPath = std::string(kPath) + std::string(600, 'x');
  platform.interfaces = {{true, busy}, {true, longPath}, {true, std::string(kPath) + "third"}};
  platform.opener = [&](const std::string& path, OpenMode) {
    return path.rfind(busy, 0) == 0 ? nullptr : &device;
  };
  std::string found;
  LinkHandle h = OpenUsbDevice(USB_DRIVER_GUID, found);
  ASSERT_NE(h, INVALID_LINK_HANDLE);
  EXPECT_EQ(found, longPath);  // a long path is no reason to lose the device
  platform.CloseLink(h);

  h = OpenMyDevPipe("");
  platform.CloseLink(h);
  EXPECT_EQ(Opens().back(), "close");
  EXPECT_EQ(Opens()[Opens().size() - 2], "open USB " + longPath + "\\");
}

TEST_F(PortsTest, LinksHeldByAnotherWindowAreNotOpened) {
  ScriptedLink device;
  platform.opener = [&](const std::string& path, OpenMode) {
    return path.find("COM9") == std::string::npos ? &device : nullptr;
  };
  platform.interfaces = {{true, kPath}};
  // Another window burns COM12, under either of its names, and a USB PLC.
  platform.heldElsewhere = {"com12", kUsbHoldName};
  EXPECT_EQ(OpenComLink("COM12"), INVALID_LINK_HANDLE);
  EXPECT_EQ(OpenComLink("\\\\.\\com12"), INVALID_LINK_HANDLE);
  // One hold for every USB device: not even the probe of a path of its own opens.
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  EXPECT_TRUE(Opens().empty());
  EXPECT_TRUE(platform.HeldLinks().empty());

  // Held here: the hold outlives the link, and a device found under another path (a PLC plugged
  // back into another socket) opens under it.
  platform.heldElsewhere.clear();
  LinkHandle h = OpenMyDevPipe("");
  platform.CloseLink(h);
  platform.interfaces = {{true, std::string(kPath) + "2"}};
  h = OpenMyDevPipe("");
  ASSERT_NE(h, INVALID_LINK_HANDLE);
  platform.CloseLink(h);
  EXPECT_EQ(platform.HeldLinks(), std::set<std::string>{kUsbHoldName});
  // A failed open under a hold taken before keeps it; the burn still owns the PLC.
  platform.interfaces.clear();
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  EXPECT_EQ(platform.HeldLinks(), std::set<std::string>{kUsbHoldName});
  // Another link taken gives back the first; a hold taken for a link that does not open is given
  // back at once.
  h = OpenComLink("COM3");
  platform.CloseLink(h);
  EXPECT_EQ(platform.HeldLinks(), std::set<std::string>{"com3"});
  EXPECT_EQ(OpenComLink("COM9"), INVALID_LINK_HANDLE);
  EXPECT_TRUE(platform.HeldLinks().empty());
}

TEST(FakeLinkHolds, AHoldGivenBackTwiceFailsTheTest) {
  FakePlatform platform;
  const LinkHold hold = platform.HoldLink("com1");
  platform.ReleaseLink(hold);
  EXPECT_NONFATAL_FAILURE(platform.ReleaseLink(hold), "released twice");
}

TEST(LinkHoldNames, OnePortOneNameAndNoneForNothing) {
  EXPECT_EQ(ComHoldName("COM12"), "com12");
  EXPECT_EQ(ComHoldName("\\\\.\\Com12"), "com12");
  EXPECT_EQ(ComHoldName(""), "");
  EXPECT_EQ(ComHoldName("\\\\.\\"), "");
  EXPECT_EQ(ComHoldName("\\\\?\\COM1 x@usb"), "____com1_x_usb");
  EXPECT_EQ(ComHoldName("@usb"), "_usb");  // no port is held as the USB set
  const std::string longPort = "COM" + std::string(200, 'x');
  const std::string longA = ComHoldName((longPort + "a").c_str());
  const std::string longB = ComHoldName((longPort + "b").c_str());
  EXPECT_EQ(longA.size(), 160u);
  EXPECT_NE(longA, longB);
  EXPECT_EQ(longA.substr(0, 143), longB.substr(0, 143));
  EXPECT_EQ(longA.substr(143, 1), ".");
}

TEST_F(PortsTest, NoDeviceMeansNoHandle) {
  ScriptedLink device;
  platform.opener = [&](const std::string&, OpenMode) { return &device; };
  platform.interfaces = {{true, "\\\\?\\hid#vid_fff0&pid_0002"}};
  std::string path;
  EXPECT_EQ(GetUsbDeviceFileName(USB_DRIVER_GUID, path), 0);
  EXPECT_EQ(path, "\\\\?\\hid#vid_fff0&pid_0002");  // the last path examined stays
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  platform.interfacesAvailable = false;
  EXPECT_EQ(OpenMyDevPipe(""), INVALID_LINK_HANDLE);
  EXPECT_TRUE(Opens().empty());
}

}  // namespace
