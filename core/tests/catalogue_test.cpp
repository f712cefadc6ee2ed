#include "core/catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "testsupport/fake_platform.h"

namespace {

struct Row {
  const char* name;
  uint16_t id;
  bool usb, aio, sector;
};

// The catalogue in table order.
// clang-format off
const Row kRows[kModelCount] = {
    {"KL2-KR2-V2", 12, false, false, false},   {"PT2", 14, false, false, false},
    {"PV2", 15, false, false, false},          {"PN2", 19, false, false, false},
    {"KL2-G-V2", 12, false, false, false},     {"QD", 21, true, false, false},
    {"KW3", 0, false, false, false},           {"16KR2-AIO", 13, false, true, false},
    {"PV-V3", 8, false, false, false},         {"BRT-KL2-V2", 0xA001, false, false, false},
    {"QD-R", 0xA002, true, false, false},      {"PN2-R", 0xA003, false, false, false},
    {"MH700", 0x3000, true, false, true},      {"KL-KR-KW2", 3, false, false, false},
    {"KR2-VAN", 0xA006, false, false, false},  {"PN32", 19, false, false, false},
    {"KL2-N", 23, false, false, false},        {"MH500", 0x3010, true, false, true},
    {"MH500-AIO", 0x3010, true, true, false},  {"QD24", 21, true, false, false},
    {"KL3-KR3", 32, true, false, true},        {"VGT-Y", 0xA00B, true, false, true},
    {"MH400", 0x3020, true, false, true},      {"KR3-AIO", 32, true, true, false},
    {"KL2-KR2-V4", 12, false, false, false},   {"PV-V4", 8, false, false, false},
    {"BRT-KL2-V4", 0xA001, false, false, false}, {"KL3-PACKAGE", 32, true, false, true},
    {"KL2-G-V4", 12, false, false, false},     {"MB3PV3", 34, true, false, true},
    {"PV3-AIO", 34, true, true, false},        {"MH500-TO-MH700", 0x3010, true, false, true},
};
// clang-format on

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetBurnStateForTest(); }
  void TearDown() override { ResetBurnStateForTest(); }
};

TEST_F(CatalogueTest, EveryEntryHasItsNameIdAndSets) {
  int usb = 0, aio = 0, sector = 0;
  for (int i = 0; i < kModelCount; ++i) {
    SCOPED_TRACE(kRows[i].name);
    EXPECT_STREQ(plcList[i], kRows[i].name);
    EXPECT_EQ(plcID[i], kRows[i].id);
    // The rest of each 15-byte entry is zero.
    for (size_t k = std::strlen(plcList[i]); k < kModelNameSize; ++k) EXPECT_EQ(plcList[i][k], 0);

    ASSERT_TRUE(SelectPLCByName(kRows[i].name));
    EXPECT_EQ(selectedPLCIdx.load(), i);
    EXPECT_EQ(selectedPLCID.load(), kRows[i].id);
    EXPECT_EQ(InUsbSet(), kRows[i].usb);
    EXPECT_EQ(InAioSet(), kRows[i].aio);
    EXPECT_EQ(InSectorSet(), kRows[i].sector);
    EXPECT_EQ(NameInUsbSet(kRows[i].name), kRows[i].usb);
    EXPECT_TRUE(IsModel(kRows[i].name));
    usb += kRows[i].usb;
    aio += kRows[i].aio;
    sector += kRows[i].sector;
  }
  EXPECT_EQ(usb, 14);
  EXPECT_EQ(aio, 4);
  EXPECT_EQ(sector, 8);
}

TEST_F(CatalogueTest, NamesAreUnique) {
  std::set<std::string> names(std::begin(plcList), std::end(plcList));
  EXPECT_EQ(names.size(), static_cast<size_t>(kModelCount));
}

TEST_F(CatalogueTest, SelectionIsExactAndCaseSensitive) {
  ASSERT_TRUE(SelectPLCByName("PN32"));
  EXPECT_FALSE(SelectPLCByName("pn32"));
  EXPECT_FALSE(SelectPLCByName("PN3"));
  EXPECT_FALSE(SelectPLCByName("PN32 "));
  EXPECT_FALSE(SelectPLCByName(""));
  EXPECT_EQ(selectedPLCIdx.load(), 15);
  EXPECT_EQ(selectedPLCID.load(), 19);
  EXPECT_TRUE(IsModel("PN32"));
  EXPECT_FALSE(IsModel("PN2"));
  EXPECT_FALSE(IsModel("pn32"));
}

TEST_F(CatalogueTest, ModelTestUsesTheCatalogueNameNotTheText) {
  SelectModelForTest("KW3");
  std::strcpy(selectedPLC, "QD");  // the window's text does not steer the burn
  EXPECT_TRUE(IsModel("KW3"));
  EXPECT_FALSE(InUsbSet());
  EXPECT_FALSE(InAioSet());
  EXPECT_FALSE(InSectorSet());
  const char* const someModels[] = {"QD", "KW3"};
  EXPECT_TRUE(IsOneOf(someModels, 2));
  EXPECT_FALSE(IsOneOf(someModels, 1));
}

TEST_F(CatalogueTest, ModelPartOfImageName) {
  char part[kModelNameSize];
  ModelPartOfImageName("KL3-KR3_v1.06.20_20220728_01_ETH.bin", part);
  EXPECT_STREQ(part, "KL3-KR3");
  ModelPartOfImageName("MH500-TO-MH700_v1.bin", part);  // the longest name, 14 characters
  EXPECT_STREQ(part, "MH500-TO-MH700");
  ModelPartOfImageName("NoUnderscore.bin", part);
  EXPECT_STREQ(part, "");
  ModelPartOfImageName("_v1.bin", part);
  EXPECT_STREQ(part, "");
  // Fifteen characters cannot be a catalogue name, and nothing overflows.
  ModelPartOfImageName("MH500-TO-MH7000_v1.bin", part);
  EXPECT_STREQ(part, "");
  EXPECT_FALSE(SelectPLCByName(part));
}

}  // namespace
