#include "update/endings.h"

#include "core/catalogue.h"
#include "link/monitor.h"

namespace {

constexpr MessageIcon kError = MessageIcon::Error;
constexpr MessageIcon kInfo = MessageIcon::Information;
constexpr PlcLeft kUntouched = PlcLeft::kUntouched;
constexpr PlcLeft kInBootLoader = PlcLeft::kInBootLoader;
constexpr PlcLeft kErased = PlcLeft::kErased;
constexpr Remedy kAgain = Remedy::kAgain;
constexpr Remedy kPowerCycle = Remedy::kPowerCycle;
constexpr Remedy kOtherCopy = Remedy::kOtherCopy;
constexpr Remedy kNotReached = Remedy::kNotReached;

const char kWrongType[] = "PLC type is WRONG";
const char kNoResponse1[] = "NO RESPONSE @ State 1";
const char kRunMode[] = "PLC in RUN MODE";
const char kUnknownCode1[] = "UNKNOWN ERROR CODE @ State 1";
const char kUnknownMessage1[] = "UNKNOWN MESSAGE";
const char kNoResponse2[] = "NO RESPONSE @ State 2";
const char kLoaderV09Old[] = "The bootloader version is V0.9, do not support AIO FW update";
const char kLoaderV10Old[] = "The bootloader version is V1.0, do not support AIO FW update";
const char kLoaderUnknown[] = "The bootloader version is unknown, do not support AIO FW update";

}  // namespace

// clang-format off
const Ending kEndings[kEndingCount] = {
    {"Firmware update is SUCCESSFUL!, please REPLUG the USB cable", "Information", kInfo,
     PlcLeft::kNewFirmware, kExitSuccess, Remedy::kDone, false},
    {"Firmware update is SUCCESSFUL", "INFORMATION", kInfo, PlcLeft::kNewFirmware, kExitSuccess,
     Remedy::kDone, false},
    {"CANNOT load the firmware image", "ERROR", kError, kUntouched, kExitRefused, kNotReached,
     false},
    {nullptr, "ERROR", kError, kUntouched, kExitRefused, kNotReached, false},
    {"The file size is BELOW the MINIMUM size (4 * 1024)", "ERROR", kError, kUntouched,
     kExitRefused, kNotReached, false},
    {"CANNOT open %s Port!!!", "ERROR", kError, kUntouched, kExitNoLink, kNotReached, false},

    {kNoResponse1, "ERROR", kError, kUntouched, kExitBeforeHandOver, kAgain, true},
    {kRunMode, "ERROR", kError, kUntouched, kExitBeforeHandOver, kAgain, true},
    {kWrongType, "ERROR", kError, kUntouched, kExitBeforeHandOver, kAgain, true},
    {kUnknownCode1, "ERROR", kError, kUntouched, kExitBeforeHandOver, kPowerCycle, true},
    {kUnknownMessage1, "ERROR", kError, kUntouched, kExitBeforeHandOver, kPowerCycle, true},
    {kNoResponse1, "ERROR", kError, kInBootLoader, kExitInBootLoader, kAgain, true},
    {kRunMode, "ERROR", kError, kInBootLoader, kExitInBootLoader, kAgain, true},
    {kWrongType, "ERROR", kError, kInBootLoader, kExitInBootLoader, kAgain, true},
    {kUnknownCode1, "ERROR", kError, kInBootLoader, kExitInBootLoader, kPowerCycle, true},
    {kUnknownMessage1, "ERROR", kError, kInBootLoader, kExitInBootLoader, kPowerCycle, true},
    {"PLC DOES NOT enter the boot loader, RE-POWER PLC and try again", "ERROR", kError,
     PlcLeft::kRunsFirmware, kExitBeforeHandOver, kPowerCycle, false},

    {kNoResponse2, "ERROR", kError, kUntouched, kExitBeforeHandOver, kAgain, true},
    {kWrongType, "ERROR", kError, kUntouched, kExitBeforeHandOver, kAgain, true},
    {"UNKNOWN ERROR CODE @ State 2", "ERROR", kError, kUntouched, kExitBeforeHandOver,
     kPowerCycle, true},
    {"UNKNOWN MESSAGE @ State 2", "ERROR", kError, kUntouched, kExitBeforeHandOver, kPowerCycle,
     true},
    {kNoResponse2, "ERROR", kError, kUntouched, kExitBeforeHandOver, kAgain, true},

    {"Check PLC, KL2-KR2 is different than KL2-G", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kOtherCopy, false},
    // The generation texts end with a blank that belongs to them.
    {"KL2-G V4.xx CAN NOT downgrade to V2.xx / V3.xx ", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kOtherCopy, false},
    {"KL2-G V2.xx / V3.xx CAN NOT upgrade to V4.xx ", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kAgain, false},
    {"KL2-KR2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kAgain, false},
    {"KL2-KR2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kAgain, false},
    {"Check PLC, 14PN2 is different than 32PN2", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kOtherCopy, false},
    {"Check PLC, 32PN2 is different than 14PN2", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kAgain, false},
    {"Check PLC, 14QD is different than 24QD", "ERROR", kError, kUntouched, kExitBeforeHandOver,
     kOtherCopy, false},
    {"Check PLC, 24QD is different than 14QD", "ERROR", kError, kUntouched, kExitBeforeHandOver,
     kAgain, false},
    {"PV V4.xx CAN NOT downgrade to V3.xx ", "ERROR", kError, kUntouched, kExitBeforeHandOver,
     kOtherCopy, false},
    {"PV V3.xx CAN NOT upgrade to V4.xx ", "ERROR", kError, kUntouched, kExitBeforeHandOver,
     kAgain, false},
    {"BRT-KL2 V4.xx CAN NOT downgrade to V2.xx / V3.xx ", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kOtherCopy, false},
    {"BRT-KL2 V2.xx / V3.xx CAN NOT upgrade to V4.xx ", "ERROR", kError, kUntouched,
     kExitBeforeHandOver, kAgain, false},

    {kLoaderV09Old, "ERROR", kError, kUntouched, kExitBeforeHandOver, Remedy::kNone, false},
    {kLoaderV10Old, "ERROR", kError, kUntouched, kExitBeforeHandOver, Remedy::kNone, false},
    {kLoaderUnknown, "ERROR", kError, kUntouched, kExitBeforeHandOver, kAgain, false},
    {kLoaderV09Old, "ERROR", kError, kInBootLoader, kExitInBootLoader, Remedy::kNone, false},
    {kLoaderV10Old, "ERROR", kError, kInBootLoader, kExitInBootLoader, Remedy::kNone, false},
    {kLoaderUnknown, "ERROR", kError, kInBootLoader, kExitInBootLoader, kAgain, false},
    {"PLC DOES NOT respond to the version read", "ERROR", kError, kInBootLoader,
     kExitInBootLoader, kAgain, true},

    // An unanswered erase request may have been taken: the PLC may be restarting.
    {"NO RESPONSE @ State 3", "ERROR", kError, PlcLeft::kUnknown, kExitBeforeHandOver,
     kPowerCycle, true},
    {kWrongType, "ERROR", kError, kUntouched, kExitBeforeHandOver, kAgain, true},
    {"UNKNOWN ERROR CODE @ State 3", "ERROR", kError, kUntouched, kExitBeforeHandOver,
     kPowerCycle, true},
    {"UNKNOWN MESSAGE @ State 3", "ERROR", kError, kUntouched, kExitBeforeHandOver, kPowerCycle,
     true},

    {kWrongType, "ERROR", kError, kInBootLoader, kExitInBootLoader, kAgain, true},
    {"PLC DOES NOT respond to the erasing signal", "ERROR", kError, kErased, kExitFirmwareGone,
     kAgain, true},
    {"PLC DOES NOT respond to the update signal", "ERROR", kError, kErased, kExitFirmwareGone,
     kAgain, true},
    {"Flash write error, maybe due to flash write protection. RE-POWER PLC and update FW again",
     "ERROR", kError, kErased, kExitFlashWriteError, kPowerCycle, true},
    {"Firmware update is FAILED", "ERROR", kError, kErased, kExitFirmwareGone, kPowerCycle, true},
};
// clang-format on

const char* EndingText(EndingId id) {
  if (id == kEndImageTooLarge) return SelectedModel().sizeLimit.text;
  return kEndings[id].text;
}

namespace {

// The row of a failure code of one state, from the state's rows in the order no response, wrong
// type, unknown code, unknown message: the two codes of a negative reply that the state's
// request knows (`first` and the next) and a class-2 code it does not know say the type is wrong.
EndingId StateEnding(uint8_t code, int first, EndingId noResponse, EndingId wrongType,
                     EndingId unknownCode, EndingId unknownMessage) {
  const int low = code & 0x0F;
  if (low == first || low == first + 1 || low == kFailClass2Other) return wrongType;
  if (low == kFailOtherClass) return unknownCode;
  return low == kFailNoUsableReply ? noResponse : unknownMessage;
}

}  // namespace

EndingId State1Ending(uint8_t code, bool handedOver) {
  const int shift = handedOver ? kEndHandedOverNoResponse - kEndState1NoResponse : 0;
  const auto in = [shift](EndingId id) { return static_cast<EndingId>(id + shift); };
  if ((code & 0x0F) == kFailClass1) return in(kEndState1RunMode);
  return StateEnding(code, 1, in(kEndState1NoResponse), in(kEndState1WrongType),
                     in(kEndState1UnknownCode), in(kEndState1UnknownMessage));
}

EndingId State2Ending(uint8_t code) {
  return StateEnding(code, 2, kEndState2NoResponse, kEndState2WrongType, kEndState2UnknownCode,
                     kEndState2UnknownMessage);
}

EndingId State3Ending(uint8_t code) {
  return StateEnding(code, 3, kEndState3NoResponse, kEndState3WrongType, kEndState3UnknownCode,
                     kEndState3UnknownMessage);
}

void RecordEnding(EndingId id) {
  burnDetail.failed = kEndings[id].requestFailed ? burnDetail.current : RequestRecord{};
  burnEnding.store(id);
}

EndingId RecordedEndingId() {
  const int32_t id = burnEnding.load();
  return id >= 0 && id < kEndingCount ? static_cast<EndingId>(id) : kEndingCount;
}

const Ending* RecordedEnding() {
  const EndingId id = RecordedEndingId();
  return id == kEndingCount ? nullptr : &kEndings[id];
}

bool RecordedSuccess() {
  const Ending* ending = RecordedEnding();
  return ending != nullptr && ending->plcLeft == PlcLeft::kNewFirmware;
}

const char* RecordedPlcLeft() {
  const Ending* ending = RecordedEnding();
  return ending != nullptr ? PlcLeftName(ending->plcLeft) : "";
}
