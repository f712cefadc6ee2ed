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

bool InLoaderVersionGroup() {
  return SelectedModel().gate >= kAnyLoader;
}

constexpr EndingId kPass = kEndingCount;

// A register gate's verdict: kPass passes, any row refuses with its text.
void Settle(uint8_t& flag, EndingId refusal) {
  if (refusal == kPass) {
    flag = 0;
    return;
  }
  StopElapsedTimer();
  ShowEnding(refusal);
  flag = 1;
}

// A gate register that does not answer must not pass as 0: it could pass a gate that its true
// value refuses (a V4 PLC would take V2 firmware). Its reading ends the burn before the erase.
bool Unanswered(GateRegister r) {
  return !burnDetail.identity.registers[r].answered;
}

// The register gates tell the models of one ID apart, so they name them: the row says which gate
// a model takes, the name which side of it the image is for.

// The PLC's firmware generation (from D1001) must match the image's model.
EndingId ByGeneration(uint16_t d1001, const char* v4Model, EndingId downgrade, const char* v2Model,
                      EndingId upgrade) {
  if (Unanswered(kD1001)) return kEndGateRegisterUnanswered;
  if (IsV4Generation(d1001)) return IsModel(v4Model) ? kPass : downgrade;
  return IsModel(v2Model) ? kPass : upgrade;
}

// D1148 is set on the larger variant of a family and 0 on the smaller one.
EndingId ByD1148(uint16_t d1148, const char* largeModel, EndingId notLarge, const char* smallModel,
                 EndingId notSmall) {
  if (Unanswered(kD1148)) return kEndGateRegisterUnanswered;
  if (d1148 != 0) return IsModel(largeModel) ? kPass : notLarge;
  return IsModel(smallModel) ? kPass : notSmall;
}

EndingId Id12Gate(LinkHandle link) {
  uint16_t d1386 = READ_D1386(link);
  if (Unanswered(kD1386)) return kEndGateRegisterUnanswered;
  if (d1386 == kKl2gMarkA || d1386 == kKl2gMarkB) {
    if (!IsModel("KL2-G-V2") && !IsModel("KL2-G-V4")) return kEndKl2krIsNotKl2g;
    return ByGeneration(READ_D1001(link), "KL2-G-V4", kEndKl2gNoDowngrade, "KL2-G-V2",
                        kEndKl2gNoUpgrade);
  }
  // No family test here: a KL2-G image on this PLC meets one of the KL2-KR2 texts.
  return ByGeneration(READ_D1001(link), "KL2-KR2-V4", kEndKl2krNoDowngrade, "KL2-KR2-V2",
                      kEndKl2krNoUpgrade);
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
           ByD1148(READ_D1148(link), "PN32", kEndPn14IsNot32, "PN2", kEndPn32IsNot14));
  } else if (gate == kId21) {
    Settle(flags.id21Mismatch,
           ByD1148(READ_D1148(link), "QD24", kEndQd14IsNot24, "QD", kEndQd24IsNot14));
  } else if (InLoaderVersionGroup()) {
    MH_fu_version = read_fu_version_A();
    return CheckFuVersion(MH_fu_version);
  } else if (gate == kId8) {
    Settle(flags.id8Mismatch,
           ByGeneration(READ_D1001(link), "PV-V4", kEndPvNoDowngrade, "PV-V3", kEndPvNoUpgrade));
  } else if (gate == kIdA001) {
    Settle(flags.idA001Mismatch, ByGeneration(READ_D1001(link), "BRT-KL2-V4", kEndBrtNoDowngrade,
                                              "BRT-KL2-V2", kEndBrtNoUpgrade));
  }
  return true;
}

bool CheckFuVersion(uint8_t version) {
  // A loader too old for the image; the text names the one version just below the oldest.
  const Gate gate = SelectedModel().gate;
  EndingId refusal = kPass;
  if (gate == kLoaderV10 && version < 0x10)
    refusal = version == 0x09 ? kEndLoaderV09Old : kEndLoaderUnknown;
  if (gate == kLoaderV12 && version < 0x12)
    refusal = version == 0x10 ? kEndLoaderV10Old : kEndLoaderUnknown;
  if (refusal == kPass) return true;
  // The same texts in loader mode leave the PLC in its boot loader.
  if (burnReach.load() == kReachedLoader) {
    refusal = static_cast<EndingId>(refusal + (kEndLoaderV09OldInLoader - kEndLoaderV09Old));
  }
  // The elapsed seconds keep counting while this message is shown: the timer stops after it.
  ShowEnding(refusal);
  StopElapsedTimer();
  EndBurn();
  return false;
}

bool CheckFuVersion_B() {
  if (!InLoaderVersionGroup()) return true;
  if (read_fu_version_B() != 0) {
    StopElapsedTimer();
    ShowEnding(kEndLoaderVersionUnread);
    EndBurn();
    return false;
  }
  return CheckFuVersion(MH_fu_version);
}
