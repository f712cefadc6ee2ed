#include "update/gates.h"

#include "core/burn_state.h"
#include "core/catalogue.h"
#include "link/loader.h"
#include "link/monitor.h"
#include "update/driver.h"

namespace {

// D1386 values of a KL2-G; any other value (0 from an unanswered read included) is a KL2-KR2.
constexpr uint16_t kKl2gMarkA = 16696;  // 0x4138
constexpr uint16_t kKl2gMarkB = 16695;  // 0x4137

const char kKl2krIsNotKl2g[] = "Check PLC, KL2-KR2 is different than KL2-G";
const char kPn14IsNot32[] = "Check PLC, 14PN2 is different than 32PN2";
const char kPn32IsNot14[] = "Check PLC, 32PN2 is different than 14PN2";
const char kQd14IsNot24[] = "Check PLC, 14QD is different than 24QD";
const char kQd24IsNot14[] = "Check PLC, 24QD is different than 14QD";

// The generation texts end with a blank that belongs to them.
const char kKl2gNoDowngrade[] = "KL2-G V4.xx CAN NOT downgrade to V2.xx / V3.xx ";
const char kKl2gNoUpgrade[] = "KL2-G V2.xx / V3.xx CAN NOT upgrade to V4.xx ";
const char kKl2krNoDowngrade[] = "KL2-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ";
const char kKl2krNoUpgrade[] = "KL2-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ";
const char kPvNoDowngrade[] = "PV V4.xx CAN NOT downgrade to V3.xx ";
const char kPvNoUpgrade[] = "PV V3.xx CAN NOT upgrade to V4.xx ";
const char kBrtNoDowngrade[] = "BRT-KL2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ";
const char kBrtNoUpgrade[] = "BRT-KL2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ";

const char kLoaderV09Old[] = "The bootloader version is V0.9, do not support AIO FW update";
const char kLoaderV10Old[] = "The bootloader version is V1.0, do not support AIO FW update";
const char kLoaderUnknown[] = "The bootloader version is unknown, do not support AIO FW update";
const char kLoaderVersionUnread[] = "PLC DOES NOT respond to the version read";

bool InLoaderVersionGroup() {
  return SelectedModel().gate >= kAnyLoader;
}

// A register gate's verdict: null passes, any text refuses with that text.
void Settle(uint8_t& flag, const char* refusal) {
  if (refusal == nullptr) {
    flag = 0;
    return;
  }
  StopElapsedTimer();
  ShowError(refusal);
  flag = 1;
}

// The register gates tell the models of one ID apart, so they name them: the row says which gate
// a model takes, the name which side of it the image is for.

// The PLC's firmware generation (from D1001) must match the image's model.
const char* ByGeneration(uint16_t d1001, const char* v4Model, const char* downgradeText,
                         const char* v2Model, const char* upgradeText) {
  if (IsV4Generation(d1001)) return IsModel(v4Model) ? nullptr : downgradeText;
  return IsModel(v2Model) ? nullptr : upgradeText;
}

// D1148 is set on the larger variant of a family and 0 on the smaller one.
const char* ByD1148(uint16_t d1148, const char* largeModel, const char* notLargeText,
                    const char* smallModel, const char* notSmallText) {
  if (d1148 != 0) return IsModel(largeModel) ? nullptr : notLargeText;
  return IsModel(smallModel) ? nullptr : notSmallText;
}

const char* Id12Gate(LinkHandle link) {
  uint16_t d1386 = READ_D1386(link);
  if (d1386 == kKl2gMarkA || d1386 == kKl2gMarkB) {
    if (!IsModel("KL2-G-V2") && !IsModel("KL2-G-V4")) return kKl2krIsNotKl2g;
    return ByGeneration(READ_D1001(link), "KL2-G-V4", kKl2gNoDowngrade, "KL2-G-V2", kKl2gNoUpgrade);
  }
  // No family test here: a KL2-G image on this PLC meets one of the KL2-KR2 texts.
  return ByGeneration(READ_D1001(link), "KL2-KR2-V4", kKl2krNoDowngrade, "KL2-KR2-V2",
                      kKl2krNoUpgrade);
}

}  // namespace

bool IsV4Generation(uint16_t d1001) {
  return (d1001 & 0xF0) > 63;
}

bool CheckVariant_A(LinkHandle link, RefusalFlags& flags) {
  const Gate gate = SelectedModel().gate;
  if (gate == kId12) {
    Settle(flags.id12Mismatch, Id12Gate(link));
  } else if (gate == kId19) {
    Settle(flags.id19Mismatch,
           ByD1148(READ_D1148(link), "PN32", kPn14IsNot32, "PN2", kPn32IsNot14));
  } else if (gate == kId21) {
    Settle(flags.id21Mismatch, ByD1148(READ_D1148(link), "QD24", kQd14IsNot24, "QD", kQd24IsNot14));
  } else if (InLoaderVersionGroup()) {
    MH_fu_version = read_fu_version_A();
    return CheckFuVersion(MH_fu_version);
  } else if (gate == kId8) {
    Settle(flags.id8Mismatch,
           ByGeneration(READ_D1001(link), "PV-V4", kPvNoDowngrade, "PV-V3", kPvNoUpgrade));
  } else if (gate == kIdA001) {
    Settle(flags.idA001Mismatch, ByGeneration(READ_D1001(link), "BRT-KL2-V4", kBrtNoDowngrade,
                                              "BRT-KL2-V2", kBrtNoUpgrade));
  }
  return true;
}

bool CheckFuVersion(uint8_t version) {
  // A loader too old for the image; the text names the one version just below the oldest.
  const Gate gate = SelectedModel().gate;
  const char* refusal = nullptr;
  if (gate == kLoaderV10 && version < 0x10)
    refusal = version == 0x09 ? kLoaderV09Old : kLoaderUnknown;
  if (gate == kLoaderV12 && version < 0x12)
    refusal = version == 0x10 ? kLoaderV10Old : kLoaderUnknown;
  if (refusal == nullptr) return true;
  // The elapsed seconds keep counting while this message is shown: the timer stops after it.
  ShowError(refusal);
  StopElapsedTimer();
  EndBurn();
  return false;
}

bool CheckFuVersion_B() {
  if (!InLoaderVersionGroup()) return true;
  if (read_fu_version_B() != 0) {
    StopElapsedTimer();
    ShowError(kLoaderVersionUnread);
    EndBurn();
    return false;
  }
  return CheckFuVersion(MH_fu_version);
}
