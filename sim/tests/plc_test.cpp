// The simulated PLC as the tool's tests see it through SimLink: what it answers, what it refuses
// as a real PLC would, what it writes to its flash, and where each injected fault strikes.
#include "sim/plc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/codec.h"
#include "sim/sim_link.h"

namespace plcsim {
namespace {

const char kWake[] = ":007F81\r\n";
const char kProbe[] = ":006401590141\r\n";
const char kProbeAio[] = ":0064015B013F\r\n";
const char kId[] = ":006401594944B5\r\n";
const char kD1386[] = ":0003156A00017D\r\n";
const char kD1001[] = ":000313E9000100\r\n";
const char kD1148[] = ":0003147C00016C\r\n";
const char kVersion[] = ":00640159053D\r\n";
const char kErase[] = ":006401594552415345D2\r\n";
const char kEraseAck[] = ":00640159063C\r\n";

// The tool's side of the link, written from the protocol tables.
class Tool {
 public:
  explicit Tool(const std::string& profile) : plc(Profile(profile)), link(plc) {
    if (!plc.profile().usb) link.SetLine(9600, 7, 2);
  }
  static const plcsim::Profile& Profile(const std::string& name) {
    const plcsim::Profile* p = FindProfile(name);
    EXPECT_NE(p, nullptr) << name;
    return *p;
  }

  std::string Ask(const std::string& request, uint32_t replyLength) {
    link.Write(reinterpret_cast<const uint8_t*>(request.data()),
               static_cast<uint32_t>(request.size()));
    std::string reply(replyLength, '\0');
    const uint32_t n = link.Read(reinterpret_cast<uint8_t*>(&reply[0]), replyLength, 3000);
    reply.resize(n);
    return reply;
  }
  std::string Frame(const std::string& request) {
    const bool reg = request[3] == '0' && request[4] == '3';
    return Ask(request, reg ? 15 : 19);
  }
  // Decoded byte k of an answer (0 = station), or -1 when it does not decode.
  static int Byte(const std::string& reply, size_t k) {
    std::vector<uint8_t> b;
    if (DecodeFrame(reply, b) != FrameError::kNone || k >= b.size()) return -1;
    return b[k];
  }

  // Monitor mode up to and including the erase acknowledgement, as a burn of the profile does.
  void EraseInMonitorMode() {
    Ask(kWake, 11);
    ASSERT_EQ(Byte(Frame(kProbe), 4), 0x05);
    ASSERT_EQ(Byte(Frame(kId), 4), 0x06);
    ASSERT_EQ(Byte(Frame(kErase), 4), 0x06);
    Ask(kEraseAck, 0);
  }
  // Loader mode from "ID" through "UPDATE", with `units` erase units.
  void PrepareTransfer(uint32_t units) {
    ASSERT_EQ(Ask("ID", 3).size(), 3u);
    for (uint32_t i = 0; i < units; ++i) ASSERT_EQ(Ask("ERASE", 1), "\x06");
    ASSERT_EQ(Ask("\x04", 1), "\x06");
    ASSERT_EQ(Ask("UPDATE", 1), "\x06");
    link.SetLine(115200, 8, 0);
  }
  static std::vector<uint8_t> Block(uint8_t number, const uint8_t* data, size_t d) {
    std::vector<uint8_t> b = {0x02, number, static_cast<uint8_t>(0xFF - number)};
    b.insert(b.end(), data, data + d);
    const uint16_t crc = Crc16Xmodem(data, d);
    b.push_back(static_cast<uint8_t>(crc >> 8));
    b.push_back(static_cast<uint8_t>(crc));
    return b;
  }
  // Sends a block and returns the answer byte, or -1 for none.
  int SendBlock(const std::vector<uint8_t>& block) {
    link.Write(block.data(), static_cast<uint32_t>(block.size()));
    uint8_t r = 0;
    return link.Read(&r, 1, 3000) == 1 ? r : -1;
  }
  // Sends the image as the transfer does: blocks of D, the last filled with `fill`, every block
  // resent until acknowledged (at most 6 tries), then the closing 0x04.
  void Transfer(const std::vector<uint8_t>& image, uint8_t fill = 0x1A) {
    const size_t d = plc.profile().blockData;
    uint8_t number = 1;
    for (size_t off = 0; off < image.size(); off += d) {
      std::vector<uint8_t> data(d, fill);
      std::copy(image.begin() + static_cast<ptrdiff_t>(off),
                image.begin() + static_cast<ptrdiff_t>(std::min(off + d, image.size())),
                data.begin());
      int tries = 0;
      while (SendBlock(Block(number, data.data(), d)) != 0x06) ASSERT_LT(++tries, 6);
      ++number;
    }
    Ask("\x04", 1);
  }

  Plc plc;
  SimLink link;
};

std::vector<uint8_t> Image(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
  return v;
}

// ---------------------------------------------------------------------------------------------
// Profiles

// The register and version rules by which the tool tells the models of one ID apart.
bool GatePasses(const Profile& p) {
  const std::string& m = p.toolModel;
  const bool v4 = (p.d1001 & 0xF0) > 63;
  switch (p.catalogueId) {
    case 12:
      if (p.d1386 == 16696 || p.d1386 == 16695) return m == (v4 ? "KL2-G-V4" : "KL2-G-V2");
      return m == (v4 ? "KL2-KR2-V4" : "KL2-KR2-V2");
    case 19:
      return m == (p.d1148 != 0 ? "PN32" : "PN2");
    case 21:
      return m == (p.d1148 != 0 ? "QD24" : "QD");
    case 8:
      return m == (v4 ? "PV-V4" : "PV-V3");
    case 0xA001:
      return m == (v4 ? "BRT-KL2-V4" : "BRT-KL2-V2");
  }
  const uint8_t v = p.monitorVersion;
  const uint8_t lv = static_cast<uint8_t>(p.loaderVersion[0] << 4 | p.loaderVersion[1] >> 4);
  if (v != lv) return false;
  if (m == "MH500-AIO" || m == "PV3-AIO") return v > 0x0F;
  if (m == "KR3-AIO") return v > 0x11;
  return true;
}

TEST(Profiles, EachModelPassesItsGatesAndEachNamedVariantIsRefused) {
  const std::vector<std::string> names = ProfileNames();
  ASSERT_GE(names.size(), 32u + 20u);
  for (size_t i = 0; i < names.size(); ++i) {
    const Profile* p = FindProfile(names[i]);
    ASSERT_NE(p, nullptr) << names[i];
    const bool isModel = i < 32;
    const bool refusedByGate =
        names[i].find('@') != std::string::npos || names[i].find("/loader-") != std::string::npos;
    if (isModel || !refusedByGate) {
      EXPECT_TRUE(GatePasses(*p)) << names[i];
    } else {
      EXPECT_FALSE(GatePasses(*p)) << names[i];
      EXPECT_EQ(p->monitorId, FindProfile(p->toolModel)->monitorId) << names[i];
    }
  }
}

TEST(Profiles, IdentitiesFollowBit15AndTheUsbSet) {
  struct Case {
    const char* name;
    uint16_t monitor, loader, group, block;
  } cases[] = {
      {"BRT-KL2-V2", 0xA001, 0x2001, 0x59, 128},
      {"KR2-VAN", 0xA006, 0x2006, 0x59, 128},
      {"PN2-R", 0xA003, 0x2003, 0x59, 128},
      {"QD-R", 0xA002, 0xA002, 0x59, 256},
      {"VGT-Y", 0xA00B, 0xA00B, 0x59, 256},
      {"16KR2-AIO", 13, 13, 0x5B, 256},
      {"QD24", 21, 21, 0x59, 128},
      {"KW3", 0, 0, 0x59, 128},
  };
  for (const Case& c : cases) {
    const Profile* p = FindProfile(c.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->monitorId, c.monitor) << c.name;
    EXPECT_EQ(p->loaderId, c.loader) << c.name;
    EXPECT_EQ(p->groupByte, c.group) << c.name;
    EXPECT_EQ(p->blockData, c.block) << c.name;
  }
  EXPECT_EQ(FindProfile("kl3-kr3"), nullptr);
  EXPECT_EQ(FindProfile("KL3-KR3/loader-9"), nullptr);
  EXPECT_EQ(FindProfile("KL3-KR3@NOPE"), nullptr);
  EXPECT_EQ(FindProfile("KL2-N/id=13")->loaderId, 13);
}

TEST(Profiles, ExpectedCountsAtTheEdgesOfEachRule) {
  const Profile& kl3 = *FindProfile("KL3-KR3");
  EXPECT_EQ(ExpectedEraseUnits(kl3, 2076672), 506u);
  EXPECT_EQ(ExpectedBlocks(kl3, 2076672), 8096u);
  EXPECT_EQ(ExpectedEraseUnits(kl3, 4096), 0u);
  EXPECT_EQ(ExpectedBlocks(kl3, 4096), 0u);
  EXPECT_EQ(ExpectedBlocks(kl3, 100), 0u);
  EXPECT_EQ(ExpectedEraseUnits(*FindProfile("KL2-N"), 262144), 3u);
  EXPECT_EQ(ExpectedEraseUnits(*FindProfile("QD"), 16384), 2u);
  EXPECT_EQ(ExpectedEraseUnits(*FindProfile("MH500-AIO"), 2048), 1u);
  EXPECT_EQ(ExpectedEraseUnits(*FindProfile("16KR2-AIO"), 1), 4u);
  EXPECT_EQ(ExpectedBlocks(*FindProfile("QD"), 1000), 4u);
  EXPECT_EQ(ExpectedBlocks(*FindProfile("QD24"), 1000), 8u);
}

// ---------------------------------------------------------------------------------------------
// Monitor mode

TEST(Monitor, AnswersWithTheProfilesValuesInExactFrames) {
  Tool t("KL2-G-V4");
  EXPECT_EQ(t.Ask(kWake, 11), kWake);
  EXPECT_EQ(t.Frame(kProbe), ":006401590500003D\r\n");
  EXPECT_EQ(t.Frame(kId), ":0064015906000C30\r\n");
  EXPECT_EQ(t.Frame(kD1386), ":000302413783\r\n");  // 16695
  EXPECT_EQ(Tool::Byte(t.Frame(kD1001), 4), 0x41);
  EXPECT_EQ(t.plc.violations(), 0);

  Tool aio("MH500-AIO/loader-0.9");
  aio.Ask(kWake, 11);
  EXPECT_EQ(aio.Frame(kProbeAio), ":0064015B0500003B\r\n");
  EXPECT_EQ(aio.Frame(":0064015B4944B3\r\n"), ":0064015B063010FA\r\n");
  EXPECT_EQ(Tool::Byte(aio.Frame(kVersion), 4), 0x09);
  EXPECT_EQ(aio.plc.violations(), 0);
}

TEST(Monitor, AnswersTheOtherGroupByteButReportsIt) {
  Tool aio("KR3-AIO");
  EXPECT_EQ(Tool::Byte(aio.Frame(kProbe), 4), 0x05);
  ASSERT_EQ(aio.plc.violations(), 1);
  EXPECT_NE(aio.plc.ViolationTexts()[0].find("group byte 0x59"), std::string::npos);

  Tool plain("KL3-KR3");
  EXPECT_EQ(Tool::Byte(plain.Frame(kProbeAio), 4), 0x05);
  EXPECT_EQ(plain.plc.violations(), 1);
}

TEST(Monitor, DropsMalformedFramesUnansweredAndRecoversAfterThem) {
  Tool t("PN2");
  const char* bad[] = {
      ":006401590142\r\n",    // LRC
      ":0064015b013f\r\n",    // lower-case hex
      ":006401590141\n",      // no CR
      ":016401590140\r\n",    // station 1
      ":00640159010140\r\n",  // unknown command
  };
  for (const char* f : bad) EXPECT_EQ(t.Frame(f), "") << f;
  EXPECT_EQ(t.plc.violations(), 5);
  EXPECT_EQ(t.Frame("xx:006401590141\r\n").size(), 19u);     // junk ahead of a frame
  EXPECT_EQ(t.Frame(":0064:006401590141\r\n").size(), 19u);  // a frame cut by a new start
  EXPECT_EQ(t.plc.violations(), 7);
  EXPECT_EQ(t.plc.RequestCount(Request::kProbe), 2u);
}

TEST(Monitor, ReportsRequestsOutOfOrderOrForeignToTheModel) {
  Tool t("KL3-KR3");
  t.Frame(kErase);                   // before the identity check
  t.Frame(kD1148);                   // no gate of KL3-KR3 reads it
  t.Frame(kEraseAck);                // answers the accepted erase: fine
  EXPECT_EQ(t.plc.violations(), 3);  // D1148 also came before the identity check
  Tool u("PN2");
  u.Frame(kId);       // before the probe
  u.Frame(kVersion);  // PN2 has no loader-version gate
  EXPECT_EQ(u.plc.violations(), 2);
  EXPECT_EQ(u.Ask(kEraseAck, 0), "");  // no erase was accepted
  EXPECT_EQ(u.plc.violations(), 3);
  EXPECT_EQ(u.plc.mode(), Mode::kMonitor);
}

TEST(Monitor, ChecksTheLineSettingsOfEachModelGroup) {
  Tool com("PN2");
  com.link.SetLine(115200, 8, 0);
  com.Frame(kProbe);
  EXPECT_EQ(com.plc.violations(), 1);

  Tool usb("QD");
  usb.Frame(kProbe);
  EXPECT_EQ(usb.plc.violations(), 0);
  usb.link.SetLine(9600, 7, 2);  // a USB link is never set up before UPDATE
  EXPECT_EQ(usb.plc.violations(), 1);
}

// ---------------------------------------------------------------------------------------------
// Hand-over to the boot loader

TEST(Handover, ImmediateModelsAnswerAsLoaderAtOnce) {
  Tool t("PN2");
  t.EraseInMonitorMode();
  EXPECT_EQ(t.plc.mode(), Mode::kLoader);
  t.Ask(kWake, 11);
  EXPECT_EQ(Tool::Byte(t.Frame(kProbe), 4), 0x06);
  EXPECT_EQ(t.Ask("ID", 3), std::string("\x06\x00\x13", 3));
  EXPECT_EQ(t.plc.violations(), 0);
}

TEST(Handover, ReplugModelsWaitForTheLinkToCloseAndStaySilentMeanwhile) {
  Tool t("QD-R");
  t.EraseInMonitorMode();
  EXPECT_EQ(t.plc.mode(), Mode::kRestarting);
  EXPECT_EQ(t.Frame(kProbe), "");
  EXPECT_EQ(t.plc.violations(), 1);
  t.link.Closed();
  t.link.Opened();
  EXPECT_EQ(t.plc.mode(), Mode::kLoader);
  EXPECT_EQ(Tool::Byte(t.Frame(kProbe), 4), 0x06);
  EXPECT_EQ(t.Ask("ID", 3), std::string("\x06\xA0\x02", 3));
}

TEST(Handover, SilentEraseNeedsNoAcknowledgement) {
  Tool t("KL2-G-V4/silent-erase");
  t.Ask(kWake, 11);
  t.Frame(kProbe);
  t.Frame(kId);
  EXPECT_EQ(t.Frame(kErase), "");
  EXPECT_EQ(t.plc.mode(), Mode::kRestarting);
  t.link.Closed();
  EXPECT_EQ(t.plc.mode(), Mode::kLoader);
  EXPECT_EQ(t.plc.violations(), 0);
}

TEST(Handover, GapPolicyWaitsForAWakeUpAfterThePause) {
  Plc plc(*FindProfile("MH700"));
  HandoverPolicy gap;
  gap.gapMs = 500;
  plc.SetHandover(gap);
  auto send = [&plc](uint64_t t, const std::string& s) {
    plc.SetTimeMs(t);
    plc.Receive(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    while (plc.HasAnswer()) plc.TakeAnswer();
  };
  send(0, kProbe);
  send(10, kId);
  send(20, kVersion);
  send(30, kErase);
  send(40, kEraseAck);
  plc.LinkClosed();  // not how this policy hands over
  send(400, kWake);
  EXPECT_EQ(plc.mode(), Mode::kRestarting);
  send(540, kWake);
  EXPECT_EQ(plc.mode(), Mode::kLoader);
}

TEST(Handover, AfterACompleteBurnAReplugStartsTheNewFirmware) {
  Tool t("MH500-AIO");
  t.plc.SetImageLength(2048);
  t.Ask(kWake, 11);
  t.Frame(kProbeAio);
  t.Frame(":0064015B4944B3\r\n");
  t.Frame(kVersion);
  t.Frame(":0064015B4552415345D0\r\n");
  t.Ask(":0064015B063A\r\n", 0);
  t.link.Closed();
  t.link.Opened();
  t.Ask("ID", 3);
  t.Ask("VERSION", 3);
  t.PrepareTransfer(1);
  t.Transfer(Image(2048));
  EXPECT_TRUE(t.plc.complete());
  t.link.Closed();
  EXPECT_EQ(t.plc.mode(), Mode::kMonitor);
  EXPECT_EQ(t.plc.violations(), 0) << t.plc.ReportJson();
}

TEST(Handover, SwitchedOffAndOnThePlcKeepsToItsBootLoaderUntilATransferWasClosed) {
  Tool t("QD");
  t.plc.SetImageLength(256);
  t.EraseInMonitorMode();
  t.plc.Restart();  // instead of the replug the tool asks for
  EXPECT_EQ(t.plc.mode(), Mode::kLoader);
  t.PrepareTransfer(1);
  t.plc.Restart();  // in the middle of the transfer
  EXPECT_EQ(t.plc.mode(), Mode::kLoader);
  EXPECT_FALSE(t.plc.fastLine());
  t.PrepareTransfer(1);
  t.Transfer(Image(256));
  EXPECT_TRUE(t.plc.complete());
  t.plc.Restart();
  EXPECT_EQ(t.plc.mode(), Mode::kMonitor);
  EXPECT_EQ(t.plc.violations(), 0) << t.plc.ReportJson();
}

// ---------------------------------------------------------------------------------------------
// Loader mode and the transfer

TEST(Loader, ReportsCommandsOutOfOrder) {
  Tool t("PN2");
  t.EraseInMonitorMode();
  EXPECT_EQ(t.Ask("ERASE", 1), "\x06");  // before "ID"
  EXPECT_EQ(t.plc.violations(), 1);
  const std::vector<uint8_t> data(128, 0);
  EXPECT_EQ(t.SendBlock(Tool::Block(1, data.data(), 128)), -1);  // before "UPDATE": dropped
  EXPECT_EQ(t.plc.violations(), 2);
  EXPECT_EQ(t.Ask("ID", 3).size(), 3u);   // commands still understood after the stray block
  EXPECT_EQ(t.Ask("UPDATE", 1), "\x06");  // before the erase was closed
  EXPECT_EQ(t.plc.violations(), 3);
  EXPECT_TRUE(t.plc.flash().empty());
}

TEST(Transfer, FlashHoldsTheImageAndItsFill) {
  Tool t("QD");
  t.plc.SetImageLength(1000);
  t.EraseInMonitorMode();
  t.link.Closed();
  t.link.Opened();
  t.PrepareTransfer(1);
  t.Transfer(Image(1000));
  ASSERT_EQ(t.plc.flash().size(), 1024u);
  EXPECT_EQ(t.plc.WrittenImage(), Image(1000));
  EXPECT_EQ(std::vector<uint8_t>(t.plc.flash().begin() + 1000, t.plc.flash().end()),
            std::vector<uint8_t>(24, 0x1A));
  EXPECT_TRUE(t.plc.complete());
  EXPECT_EQ(t.plc.violations(), 0) << t.plc.ReportJson();
  const std::string report = t.plc.ReportJson();
  EXPECT_NE(report.find("\n  \"result\": \"complete\",\n"), std::string::npos);
  const std::vector<uint8_t> img = Image(1000);
  EXPECT_NE(report.find(Sha256Hex(img.data(), img.size())), std::string::npos);
}

TEST(Transfer, ReportsWrongFillAndAMissingBlock) {
  Tool fill("QD");
  fill.plc.SetImageLength(1000);
  fill.EraseInMonitorMode();
  fill.link.Closed();
  fill.PrepareTransfer(1);
  fill.Transfer(Image(1000), 0x00);
  EXPECT_EQ(fill.plc.violations(), 1);
  EXPECT_TRUE(fill.plc.complete());

  Tool shortOne("QD");
  shortOne.plc.SetImageLength(1000);
  shortOne.EraseInMonitorMode();
  shortOne.link.Closed();
  shortOne.PrepareTransfer(1);
  shortOne.Transfer(Image(768));
  EXPECT_TRUE(shortOne.plc.finished());
  EXPECT_FALSE(shortOne.plc.complete());
  EXPECT_NE(shortOne.plc.ReportJson().find("\"result\": \"incomplete\""), std::string::npos);

  Tool longOne("QD");
  longOne.plc.SetImageLength(768);
  longOne.EraseInMonitorMode();
  longOne.link.Closed();
  longOne.PrepareTransfer(1);
  longOne.Transfer(Image(1000));
  EXPECT_FALSE(longOne.plc.complete());
  const std::vector<std::string> v = longOne.plc.ViolationTexts();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0], "more blocks than the image needs");
}

// An image of exactly the model's limit (QD: 491,520 bytes, 1,920 blocks) passes; one byte more
// sends a block that the tool should never have sent.
TEST(Transfer, AnImageAboveTheSizeLimitIsAViolation) {
  for (const uint32_t n : {491520u, 491521u}) {
    Tool t("QD");
    t.plc.SetImageLength(n);
    t.EraseInMonitorMode();
    t.link.Closed();
    t.PrepareTransfer(n / 16384 + 1);
    t.Transfer(Image(n));
    EXPECT_TRUE(t.plc.complete()) << n;
    const std::vector<std::string> v = t.plc.ViolationTexts();
    EXPECT_EQ(v, n == 491520u
                     ? std::vector<std::string>{}
                     : std::vector<std::string>{"image above the size limit of QD (491520 bytes)"});
  }
}

TEST(Transfer, BlockNumbersWrapFrom255To0) {
  Tool t("PN2");
  const size_t n = 300 * 128;
  t.plc.SetImageLength(n);
  t.EraseInMonitorMode();
  t.PrepareTransfer(n / 2048 + 1);
  t.Transfer(Image(n));
  EXPECT_TRUE(t.plc.complete());
  EXPECT_EQ(t.plc.WrittenImage(), Image(n));
  EXPECT_EQ(t.plc.violations(), 0) << t.plc.ReportJson();
}

TEST(Transfer, RefusesBadBlocksWithoutWritingThem) {
  Tool t("PN2");
  t.EraseInMonitorMode();
  t.PrepareTransfer(1);
  std::vector<uint8_t> data(128, 0x55);
  std::vector<uint8_t> b = Tool::Block(1, data.data(), 128);
  b[130] ^= 0x01;  // CRC
  EXPECT_EQ(t.SendBlock(b), 0x15);
  b = Tool::Block(1, data.data(), 128);
  b[2] = 0xFF;  // complement
  EXPECT_EQ(t.SendBlock(b), 0x15);
  EXPECT_EQ(t.SendBlock(Tool::Block(2, data.data(), 128)), 0x15);  // a gap in the numbering
  EXPECT_EQ(t.plc.violations(), 3);
  EXPECT_TRUE(t.plc.flash().empty());
  EXPECT_EQ(t.SendBlock(Tool::Block(1, data.data(), 128)), 0x06);
  // The acknowledge got lost on the way: the same block again is acknowledged, kept once.
  EXPECT_EQ(t.SendBlock(Tool::Block(1, data.data(), 128)), 0x06);
  EXPECT_EQ(t.plc.flash().size(), 128u);
  EXPECT_EQ(t.plc.blocksRepeated(), 1u);
  EXPECT_EQ(t.plc.violations(), 3);
}

TEST(Transfer, BlocksMustTravelAt115200) {
  Tool t("KL2-N");
  t.EraseInMonitorMode();
  t.PrepareTransfer(1);
  t.link.SetLine(9600, 7, 2);
  const std::vector<uint8_t> data(128, 1);
  EXPECT_EQ(t.SendBlock(Tool::Block(1, data.data(), 128)), 0x06);
  EXPECT_EQ(t.plc.violations(), 1);
}

// ---------------------------------------------------------------------------------------------
// Faults

FaultSpec Fault(const std::string& text) {
  FaultSpec f;
  std::string error;
  EXPECT_TRUE(ParseFault(text, f, error)) << text << ": " << error;
  return f;
}

TEST(FaultSyntax, ParsesPlacesRepeatsAndArguments) {
  FaultSpec f = Fault("negative:probe:2x6:1/0");
  EXPECT_EQ(f.kind, FaultKind::kNegative);
  EXPECT_EQ(f.request, Request::kProbe);
  EXPECT_EQ(f.at, 2u);
  EXPECT_EQ(f.times, 6u);
  EXPECT_EQ(f.errClass, 1);
  EXPECT_EQ(f.errCode, 0);
  f = Fault("nak:block:*x*");
  EXPECT_EQ(f.at, 0u);
  EXPECT_EQ(f.times, 0u);
  EXPECT_EQ(f.value, 0x15u);
  EXPECT_EQ(Fault("status:loader-id:1:0x07").value, 7u);
  EXPECT_EQ(Fault("silence:end").at, 1u);

  const char* bad[] = {"silence",
                       "hush:probe",
                       "silence:nothing",
                       "silence:probe:0",
                       "silence:probe:x2",
                       "silence:probe:1x0",
                       "negative:probe:1",
                       "negative:probe:1:2",
                       "negative:d1001:1:2/1",
                       "write-error:probe",
                       "lowercase:block",
                       "stay:probe",
                       "status:probe:1:256",
                       "delay:probe:1:-5",
                       "silence:probe:1:2:3",
                       "silence:erase-ack",
                       "gone:probe:1:9"};
  for (const char* text : bad) {
    FaultSpec out;
    std::string error;
    EXPECT_FALSE(ParseFault(text, out, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(Faults, SilenceStrikesExactlyTheConfiguredRequests) {
  Tool t("PN2");
  t.plc.AddFault(Fault("silence:probe:2x2"));
  std::vector<size_t> lengths;
  for (int i = 0; i < 5; ++i) lengths.push_back(t.Frame(kProbe).size());
  EXPECT_EQ(lengths, (std::vector<size_t>{19, 0, 0, 19, 19}));
  EXPECT_EQ(t.plc.FaultFired(0), 2u);
  EXPECT_EQ(t.link.WaitedMs(), 6000u);
}

TEST(Faults, SixSilentProbesCostSixTimeOutsOnTheVirtualClock) {
  Tool t("PN2");
  t.plc.AddFault(Fault("silence:probe:*"));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(t.Frame(kProbe), "");
  EXPECT_EQ(t.link.WaitedMs(), 18000u);
}

TEST(Faults, ReshapeTheAnswer) {
  Tool t("PN2");
  t.plc.AddFault(Fault("negative:probe:1:2/3"));
  t.plc.AddFault(Fault("status:probe:2:0x07"));
  t.plc.AddFault(Fault("cut:probe:3"));
  t.plc.AddFault(Fault("cut:probe:4:10"));
  t.plc.AddFault(Fault("bad-lrc:probe:5"));
  t.plc.AddFault(Fault("lowercase:probe:6"));
  t.plc.AddFault(Fault("stray:probe:7:0xFF"));
  EXPECT_EQ(t.Frame(kProbe), ":0064015915020328\r\n");
  EXPECT_EQ(Tool::Byte(t.Frame(kProbe), 4), 0x07);
  EXPECT_EQ(t.Frame(kProbe), ":006401590500003D\r");
  EXPECT_EQ(t.Frame(kProbe), ":006401590");
  std::vector<uint8_t> b;
  EXPECT_EQ(DecodeFrame(t.Frame(kProbe), b), FrameError::kBadLrc);
  EXPECT_EQ(t.Frame(kProbe), ":006401590500003d\r\n");
  EXPECT_EQ(t.Frame(kProbe), "\xFF:006401590500003D\r");  // 19 bytes read; the LF stays queued
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(t.plc.FaultFired(i), 1u) << i;
}

TEST(Faults, DelayedAnswerArrivesForALaterRead) {
  Tool t("PN2");
  t.plc.AddFault(Fault("delay:probe:1:3500"));
  EXPECT_EQ(t.Frame(kProbe), "");
  uint8_t buf[19];
  EXPECT_EQ(t.link.Read(buf, 19, 3000), 19u);
  EXPECT_EQ(t.link.WaitedMs(), 3000u);
  EXPECT_EQ(t.link.NowMs(), 3500u);
}

TEST(Faults, RefusedEraseRequestDoesNotHandOver) {
  Tool t("PN2");
  t.plc.AddFault(Fault("status:erase:1:0x07"));
  t.Frame(kProbe);
  t.Frame(kId);
  EXPECT_EQ(Tool::Byte(t.Frame(kErase), 4), 0x07);
  t.Ask(kEraseAck, 0);
  EXPECT_EQ(t.plc.mode(), Mode::kMonitor);
  EXPECT_EQ(t.plc.violations(), 1);
}

TEST(Faults, StayKeepsTheFirmwareAfterTheFirstAcceptedErase) {
  Tool t("PN2");
  t.plc.AddFault(Fault("stay:erase:1"));
  t.EraseInMonitorMode();
  EXPECT_EQ(t.plc.mode(), Mode::kMonitor);
  t.EraseInMonitorMode();
  EXPECT_EQ(t.plc.mode(), Mode::kLoader);
  EXPECT_EQ(t.plc.FaultFired(0), 1u);
}

TEST(Faults, LostEraseAcknowledgeIsRetriedForTheSameUnit) {
  Tool t("PN2");
  t.plc.SetImageLength(5000);  // 3 units
  t.plc.AddFault(Fault("silence:erase-unit:2"));
  t.EraseInMonitorMode();
  t.Ask("ID", 3);
  EXPECT_EQ(t.Ask("ERASE", 1), "\x06");
  EXPECT_EQ(t.Ask("ERASE", 1), "");
  EXPECT_EQ(t.Ask("ERASE", 1), "\x06");
  EXPECT_EQ(t.Ask("ERASE", 1), "\x06");
  EXPECT_EQ(t.Ask("\x04", 1), "\x06");
  EXPECT_EQ(t.plc.eraseUnits(), 3u);
  EXPECT_EQ(t.plc.violations(), 0);
}

TEST(Faults, BlockFaultsStrikeTheirBlockAndItsAttempts) {
  Tool t("QD");
  t.plc.SetImageLength(1280);  // 5 blocks
  t.plc.AddFault(Fault("nak:block:3x2"));
  t.plc.AddFault(Fault("silence:block:4"));
  t.EraseInMonitorMode();
  t.link.Closed();
  t.PrepareTransfer(1);
  t.Transfer(Image(1280));
  EXPECT_TRUE(t.plc.complete());
  EXPECT_EQ(t.plc.WrittenImage(), Image(1280));
  EXPECT_EQ(t.plc.blocksReceived(), 8u);
  EXPECT_EQ(t.plc.blocksResent(), 3u);
  EXPECT_EQ(t.plc.FaultFired(0), 2u);
  EXPECT_EQ(t.plc.FaultFired(1), 1u);
  EXPECT_EQ(t.plc.violations(), 0);
}

TEST(Faults, WriteErrorAndUnacknowledgedEnd) {
  Tool t("QD");
  t.plc.AddFault(Fault("write-error:block:2"));
  t.plc.AddFault(Fault("silence:end:*"));
  t.EraseInMonitorMode();
  t.link.Closed();
  t.PrepareTransfer(1);
  const std::vector<uint8_t> img = Image(512);
  EXPECT_EQ(t.SendBlock(Tool::Block(1, img.data(), 256)), 0x06);
  EXPECT_EQ(t.SendBlock(Tool::Block(2, img.data() + 256, 256)), 0x16);
  EXPECT_EQ(t.plc.flash().size(), 256u);
  EXPECT_EQ(t.SendBlock(Tool::Block(2, img.data() + 256, 256)), 0x06);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(t.Ask("\x04", 1), "");
  EXPECT_FALSE(t.plc.finished());
  EXPECT_NE(t.plc.ReportJson().find("\"result\": \"incomplete\""), std::string::npos);
}

TEST(Faults, LineGoesAwayAtItsBlock) {
  Tool t("QD");
  t.plc.AddFault(Fault("gone:block:2"));
  t.EraseInMonitorMode();
  t.link.Closed();
  t.PrepareTransfer(1);
  const std::vector<uint8_t> img = Image(768);
  EXPECT_EQ(t.SendBlock(Tool::Block(1, img.data(), 256)), 0x06);
  EXPECT_EQ(t.SendBlock(Tool::Block(2, img.data() + 256, 256)), -1);
  EXPECT_TRUE(t.plc.lineGone());
  const std::vector<uint8_t> b = Tool::Block(2, img.data() + 256, 256);
  EXPECT_EQ(t.link.Write(b.data(), static_cast<uint32_t>(b.size())), 0u);
  EXPECT_EQ(t.plc.flash().size(), 256u);
  EXPECT_NE(t.plc.ReportJson().find("\"line_gone\": true"), std::string::npos);
  // The cable back: the boot loader answers as before.
  t.link.Closed();
  t.plc.ClearFaults();
  EXPECT_EQ(t.plc.mode(), Mode::kLoader);
  EXPECT_EQ(t.Ask("ID", 3).size(), 3u);
}

}  // namespace
}  // namespace plcsim
