#include "update/tests/burn_harness.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "core/catalogue.h"
#include "core/image.h"
#include "update/driver.h"
#include "update/endings.h"

const char kUsbDevicePath[] =
    "\\\\?\\usb#vid_fff0&pid_0001#5&2c1a3b&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const char kComPort[] = "COM5";

namespace {

const WindowHandle kMainWindow = reinterpret_cast<WindowHandle>(0x5101);
const WindowHandle kButton = reinterpret_cast<WindowHandle>(0x5102);

// Models whose blocks carry 256 data bytes; every other model sends 128.
const char* const kWideBlockModels[] = {
    "QD",    "QD-R",  "MH700",   "MH500",  "MH500-AIO", "KL3-KR3",        "KL3-PACKAGE",
    "VGT-Y", "MH400", "KR3-AIO", "MB3PV3", "PV3-AIO",   "MH500-TO-MH700", "16KR2-AIO"};
const char* const kSectorModels[] = {"MH700", "MH500", "KL3-KR3", "KL3-PACKAGE",
                                     "VGT-Y", "MH400", "MB3PV3",  "MH500-TO-MH700"};

bool Named(const char* const* names, size_t count, const char* model) {
  return std::any_of(names, names + count,
                     [&](const char* n) { return std::strcmp(n, model) == 0; });
}

}  // namespace

void BurnTest::SetUp() {
  ResetBurnStateForTest();
  scoped = std::make_unique<ScopedPlatform>(platform);
  platform.mainWindow = kMainWindow;
  platform.button = kButton;
  param = BurnParam{kMainWindow, kButton};
  SetSelectedComPort(kComPort);
  elapsedTime = kElapsedAtStart;
}

void BurnTest::Restart() {
  endpoint.reset();
  simLink.reset();
  plc.reset();
  comPorts = {kComPort};
  platform.ClearEvents();
  platform.shown.clear();
  platform.wrongWindow = 0;
  platform.onMessage = nullptr;
  platform.heldElsewhere.clear();
  platform.imageAvailable = true;
  platform.UseEmbeddedImage();
  ResetBurnStateForTest();
  SetSelectedComPort(kComPort);
  elapsedTime = kElapsedAtStart;
}

void BurnTest::TearDown() {
  scoped.reset();
  ResetBurnStateForTest();
}

void BurnTest::Prepare(const char* model, const char* profile, uint32_t imageLength) {
  const plcsim::Profile* p = plcsim::FindProfile(profile != nullptr ? profile : model);
  ASSERT_NE(p, nullptr) << "no simulator profile " << (profile != nullptr ? profile : model);
  Prepare(model, *p, imageLength);
}

void BurnTest::Prepare(const char* model, const plcsim::Profile& profile, uint32_t imageLength) {
  SelectModelForTest(model);
  endpoint.reset();
  simLink.reset();
  plc = std::make_unique<plcsim::Plc>(profile);
  simLink = std::make_unique<plcsim::SimLink>(*plc);
  endpoint = std::make_unique<SimEndpoint>(*simLink);
  if (imageLength != 0) {
    platform.image.resize(imageLength);
    for (uint32_t i = 0; i < imageLength; ++i) {
      platform.image[i] = static_cast<uint8_t>((i * 7 + (i >> 8) * 13 + 1) & 0xFF);
    }
  }
  plc->SetImageLength(static_cast<uint32_t>(platform.image.size()));

  platform.interfaces = {DeviceInterface{true, kUsbDevicePath}};
  platform.opener = [this](const std::string& path, OpenMode mode) -> LinkEndpoint* {
    if (mode == OpenMode::UsbDevice) {
      if (path == kUsbDevicePath) return &probe;
      return path == std::string(kUsbDevicePath) + "\\" ? endpoint.get() : nullptr;
    }
    for (const std::string& port : comPorts) {
      if (path == "\\\\.\\" + port) return endpoint.get();
    }
    return nullptr;
  };
}

void BurnTest::Fault(const std::string& spec) {
  plcsim::FaultSpec fault;
  std::string error;
  ASSERT_TRUE(plcsim::ParseFault(spec, fault, error)) << spec << ": " << error;
  plc->AddFault(fault);
}

void BurnTest::Burn() {
  std::thread worker(StartBurn, &param);
  worker.join();
}

int BurnTest::CountEvents(const std::string& event) const {
  std::vector<std::string> events = Events();
  return static_cast<int>(std::count(events.begin(), events.end(), event));
}

void BurnTest::ExpectIdle() const {
  EXPECT_EQ(elapsedTime.load(), 0);
  EXPECT_EQ(flashStatus.load(), 0);
  EXPECT_EQ(progress.load(), 0);
  EXPECT_EQ(errCounter.load(), 0);
  EXPECT_EQ(totalErrCounter.load(), 0);
  EXPECT_FALSE(burnRunning.load());
  EXPECT_EQ(platform.OpenLinkCount(), 0);
  EXPECT_TRUE(platform.HeldLinks().empty());
  EXPECT_EQ(hGLOBAL, nullptr);
  EXPECT_EQ(platform.wrongWindow, 0);
  EXPECT_EQ(CountEvents("image load"), CountEvents("image free"));
  EXPECT_EQ(CountEvents("enable 0"), 1);
  // The box that ended the burn is the row it recorded.
  const Ending* ending = RecordedEnding();
  ASSERT_NE(ending, nullptr);
  ASSERT_FALSE(platform.shown.empty());
  EXPECT_EQ(platform.shown.back().caption, ending->caption);
  EXPECT_EQ(platform.shown.back().icon, ending->icon);
  if (RecordedEndingId() != kEndLinkNotOpened) {
    EXPECT_EQ(platform.shown.back().text, EndingText(RecordedEndingId()));
  }
}

void BurnTest::ExpectFailureEnd(const std::string& text) {
  std::vector<std::string> events = Events();
  ASSERT_GE(events.size(), 5u);
  std::vector<std::string> tail(events.end() - 5, events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"kill timer 5", "message ERROR|Error|" + text,
                                            "enable 1", "close", "image free"}));
  EXPECT_EQ(CountEvents("kill timer 5"), 1);
  ASSERT_FALSE(platform.shown.empty());
  // The seconds hold while the message is shown, and fall back to 0 only after it.
  EXPECT_EQ(platform.shown.back().elapsed, kElapsedAtStart);
  ExpectIdle();
}

void BurnTest::ExpectGateEnd(const std::string& text) {
  std::vector<std::string> events = Events();
  ASSERT_GE(events.size(), 5u);
  std::vector<std::string> tail(events.end() - 5, events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"message ERROR|Error|" + text, "kill timer 5",
                                            "enable 1", "close", "image free"}));
  EXPECT_EQ(CountEvents("kill timer 5"), 1);
  ExpectIdle();
}

void BurnTest::ExpectSuccessEnd(const std::string& text, const std::string& caption) {
  std::vector<std::string> events = Events();
  ASSERT_GE(events.size(), 5u);
  std::vector<std::string> tail(events.end() - 5, events.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{"kill timer 5", "message " + caption + "|Information|" + text,
                                      "enable 1", "close", "image free"}));
  EXPECT_EQ(CountEvents("kill timer 5"), 1);
  ASSERT_FALSE(platform.shown.empty());
  // The panel still shows the finished transfer while the operator reads the message.
  EXPECT_EQ(platform.shown.back().flash, 2);
  EXPECT_EQ(platform.shown.back().progress, 100);
  EXPECT_EQ(platform.shown.back().elapsed, kElapsedAtStart);
  for (const std::string& m : Messages()) EXPECT_EQ(m.find("ERROR|"), std::string::npos) << m;
  ExpectIdle();
  EXPECT_EQ(plc->violations(), 0) << plc->ReportJson();
}

void BurnTest::ExpectEarlyEnd(const std::string& text) {
  EXPECT_EQ(Messages(), std::vector<std::string>{"ERROR|Error|" + text});
  std::vector<std::string> events = Events();
  ASSERT_GE(events.size(), 4u);
  std::vector<std::string> tail(events.end() - 4, events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"kill timer 5", "message ERROR|Error|" + text,
                                            "enable 1", "image free"}));
  EXPECT_EQ(platform.shown.back().elapsed, kElapsedAtStart);
  EXPECT_EQ(platform.shown.back().held, 0u);  // other windows may burn while this one waits
  EXPECT_EQ(elapsedTime.load(), 0);
  EXPECT_FALSE(burnRunning.load());
  EXPECT_EQ(platform.OpenLinkCount(), 0);
  EXPECT_TRUE(platform.HeldLinks().empty());
  EXPECT_EQ(hGLOBAL, nullptr);
  EXPECT_EQ(platform.wrongWindow, 0);
}

void BurnTest::ExpectFlashHoldsImage() const {
  const char* model = plcList[selectedPLCIdx.load()];
  const std::vector<uint8_t>& image = platform.image;
  size_t sent = image.size();
  if (Named(kSectorModels, std::size(kSectorModels), model)) sent -= 4096;
  size_t block = Named(kWideBlockModels, std::size(kWideBlockModels), model) ? 256 : 128;
  std::vector<uint8_t> expected(image.begin(), image.begin() + sent);
  expected.resize((sent + block - 1) / block * block, 0x1A);
  const std::vector<uint8_t>& flash = plc->flash();
  ASSERT_EQ(flash.size(), expected.size()) << model;
  EXPECT_TRUE(flash == expected) << model << ": the flash differs from the image";
}
