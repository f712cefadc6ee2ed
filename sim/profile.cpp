#include "sim/profile.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

namespace plcsim {

namespace {

enum class EraseRule { kPerBigUnit, kPerQdUnit, kSector, kAio2k, kFixedFour, kPer2k };

struct Model {
  const char* name;
  uint16_t id;
  bool usb, aio, sector;
  uint16_t blockData;
  uint32_t limit;  // the largest image the tool burns for the model
  Handover handover;
  EraseRule erase;
  uint16_t d1386, d1001, d1148;  // values that pass the model's own gate
};

// The size limits.
constexpr uint32_t k4K = 4096, k40K = 0xA000, k480K = 0x78000, k512K = 0x80000, k896K = 0xE0000,
                   k2028K = 0x1FB000;

constexpr Handover R = Handover::kReplug;
constexpr Handover P = Handover::kPowerCycle;
constexpr Handover I = Handover::kImmediate;

// D1001 of generation V2/V3 has 0..3 in bits 4-7, of V4 4 or more.
const Model kModels[] = {
    {"KL2-KR2-V2", 12, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0x0031, 0},
    {"PT2", 14, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0, 0},
    {"PV2", 15, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0, 0},
    {"PN2", 19, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0, 0},
    {"KL2-G-V2", 12, false, false, false, 128, k512K, P, EraseRule::kPerBigUnit, 16696, 0x0031, 0},
    {"QD", 21, true, false, false, 256, k480K, R, EraseRule::kPerQdUnit, 0, 0, 0},
    {"KW3", 0, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0, 0},
    {"16KR2-AIO", 13, false, true, false, 256, k4K, I, EraseRule::kFixedFour, 0, 0, 0},
    {"PV-V3", 8, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0x0030, 0},
    {"BRT-KL2-V2", 0xA001, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0x0021, 0},
    {"QD-R", 0xA002, true, false, false, 256, k480K, R, EraseRule::kPerQdUnit, 0, 0, 0},
    {"PN2-R", 0xA003, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0, 0},
    {"MH700", 0x3000, true, false, true, 256, k2028K, R, EraseRule::kSector, 0, 0, 0},
    {"KL-KR-KW2", 3, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0, 0},
    {"KR2-VAN", 0xA006, false, false, false, 128, k512K, P, EraseRule::kPerBigUnit, 0, 0, 0},
    {"PN32", 19, false, false, false, 128, k512K, I, EraseRule::kPerBigUnit, 0, 0, 1},
    {"KL2-N", 23, false, false, false, 128, k896K, I, EraseRule::kPerBigUnit, 0, 0, 0},
    {"MH500", 0x3010, true, false, true, 256, k2028K, R, EraseRule::kSector, 0, 0, 0},
    {"MH500-AIO", 0x3010, true, true, false, 256, k40K, R, EraseRule::kAio2k, 0, 0, 0},
    {"QD24", 21, true, false, false, 128, k896K, R, EraseRule::kPerBigUnit, 0, 0, 1},
    {"KL3-KR3", 32, true, false, true, 256, k2028K, R, EraseRule::kSector, 0, 0, 0},
    {"VGT-Y", 0xA00B, true, false, true, 256, k2028K, R, EraseRule::kSector, 0, 0, 0},
    {"MH400", 0x3020, true, false, true, 256, k2028K, R, EraseRule::kSector, 0, 0, 0},
    {"KR3-AIO", 32, true, true, false, 256, k40K, R, EraseRule::kAio2k, 0, 0, 0},
    {"KL2-KR2-V4", 12, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0x0041, 0},
    {"PV-V4", 8, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0x0040, 0},
    {"BRT-KL2-V4", 0xA001, false, false, false, 128, k480K, I, EraseRule::kPer2k, 0, 0x0044, 0},
    {"KL3-PACKAGE", 32, true, false, true, 256, k2028K, R, EraseRule::kSector, 0, 0, 0},
    {"KL2-G-V4", 12, false, false, false, 128, k512K, P, EraseRule::kPerBigUnit, 16695, 0x0041, 0},
    {"MB3PV3", 34, true, false, true, 256, k2028K, R, EraseRule::kSector, 0, 0, 0},
    {"PV3-AIO", 34, true, true, false, 256, k40K, R, EraseRule::kAio2k, 0, 0, 0},
    {"MH500-TO-MH700", 0x3010, true, false, true, 256, k2028K, R, EraseRule::kSector, 0, 0, 0},
};

// Variants that a gate refuses, with what the operator is told.
struct Variant {
  const char* name;
  const char* description;
};
const Variant kVariants[] = {
    {"KL2-G-V2@KL2-KR2-V2", "a KL2-G PLC on a KL2-KR2 image: refused as KL2-G"},
    {"KL2-G-V4@KL2-KR2-V4", "a KL2-G PLC on a KL2-KR2 image: refused as KL2-G"},
    {"KL2-G-V4@KL2-G-V2", "a KL2-G of V4 generation on a V2 image: no downgrade"},
    {"KL2-G-V2@KL2-G-V4", "a KL2-G of V2/V3 generation on a V4 image: no upgrade"},
    {"KL2-KR2-V4@KL2-KR2-V2", "a KL2-KR2 of V4 generation on a V2 image: no downgrade"},
    {"KL2-KR2-V2@KL2-KR2-V4", "a KL2-KR2 of V2/V3 generation on a V4 image: no upgrade"},
    {"KL2-KR2-V2@KL2-G-V2", "a KL2-KR2 PLC on a KL2-G image: refused with a KL2-KR2 text"},
    {"KL2-KR2-V4@KL2-G-V4", "a KL2-KR2 PLC on a KL2-G image: refused with a KL2-KR2 text"},
    {"PN32@PN2", "a 32PN2 PLC on a 14PN2 image"},
    {"PN2@PN32", "a 14PN2 PLC on a 32PN2 image"},
    {"QD24@QD", "a 24QD PLC on a 14QD image"},
    {"QD@QD24", "a 14QD PLC on a 24QD image"},
    {"PV-V4@PV-V3", "a PV of V4 generation on a V3 image: no downgrade"},
    {"PV-V3@PV-V4", "a PV of V3 generation on a V4 image: no upgrade"},
    {"BRT-KL2-V4@BRT-KL2-V2", "a BRT-KL2 of V4 generation on a V2 image: no downgrade"},
    {"BRT-KL2-V2@BRT-KL2-V4", "a BRT-KL2 of V2/V3 generation on a V4 image: no upgrade"},
    {"MH500-AIO/loader-0.9", "boot loader V0.9, too old for an AIO image"},
    {"PV3-AIO/loader-0.9", "boot loader V0.9, too old for an AIO image"},
    {"MH500-AIO/loader-0.F", "boot loader of an unknown version (0x0F)"},
    {"KR3-AIO/loader-1.0", "boot loader V1.0, too old for a KR3-AIO image"},
    {"KR3-AIO/loader-1.1", "boot loader of an unknown version (0x11) for KR3-AIO"},
    {"KL2-G-V2/silent-erase", "firmware that does not answer the erase request"},
    {"KL2-G-V4/silent-erase", "firmware that does not answer the erase request"},
    {"KR2-VAN/silent-erase", "firmware that does not answer the erase request"},
};

const Model* FindModel(const std::string& name) {
  for (const Model& m : kModels) {
    if (name == m.name) return &m;
  }
  return nullptr;
}

const uint8_t kWakeupEcho[] = {':', '0', '0', '7', 'F', '8', '1', '\r', '\n'};

Profile FromModel(const Model& m) {
  Profile p;
  p.name = m.name;
  p.model = m.name;
  p.toolModel = m.name;
  p.catalogueId = m.id;
  p.monitorId = m.id;
  // Loaders of COM models report the ID with bit 15 cleared; the USB-set loaders report it whole.
  p.loaderId = m.usb ? m.id : static_cast<uint16_t>(m.id & 0x7FFF);
  p.d1386 = m.d1386;
  p.d1001 = m.d1001;
  p.d1148 = m.d1148;
  p.groupByte = m.aio ? 0x5B : 0x59;
  p.blockData = m.blockData;
  p.handover = m.handover;
  p.usb = m.usb;
  p.sectorSet = m.sector;
  p.wakeupReply.assign(std::begin(kWakeupEcho), std::end(kWakeupEcho));
  p.description = std::string(m.usb ? "USB" : "COM") + ", ID " + std::to_string(m.id) +
                  ", blocks of " + std::to_string(m.blockData) + ", hand-over " +
                  HandoverName(m.handover);
  return p;
}

bool ParseNumber(const std::string& s, uint32_t max, uint32_t& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  const unsigned long v = std::strtoul(s.c_str(), &end, 0);
  if (*end != '\0' || v > max || s[0] == '-') return false;
  out = static_cast<uint32_t>(v);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ApplyModifier(const std::string& mod, Profile& p) {
  if (mod.rfind("loader-", 0) == 0) {
    const std::string v = mod.substr(7);
    if (v.size() != 3 || v[1] != '.') return false;
    const int major = HexDigit(v[0]), minor = HexDigit(v[2]);
    if (major < 0 || minor < 0) return false;
    p.monitorVersion = static_cast<uint8_t>(major << 4 | minor);
    p.loaderVersion[0] = static_cast<uint8_t>(major);
    p.loaderVersion[1] = static_cast<uint8_t>(minor << 4);
    return true;
  }
  if (mod == "silent-erase") {
    p.silentErase = true;
    return true;
  }
  if (mod == "wakeup-none") {
    p.wakeupReply.clear();
    return true;
  }
  if (mod == "wakeup-junk") {
    p.wakeupReply = {0x00, 0xFF, 0x55, 0xAA, 0x13, 0x11, 0x7F, 0x80, 0x0D, 0x0A, 0x3A};
    return true;
  }
  const size_t eq = mod.find('=');
  if (eq == std::string::npos) return false;
  const std::string key = mod.substr(0, eq);
  uint32_t v = 0;
  if (!ParseNumber(mod.substr(eq + 1), 0xFFFF, v)) return false;
  const uint16_t value = static_cast<uint16_t>(v);
  if (key == "id") {
    p.monitorId = p.loaderId = value;
  } else if (key == "monitor-id") {
    p.monitorId = value;
  } else if (key == "loader-id") {
    p.loaderId = value;
  } else if (key == "d1386") {
    p.d1386 = value;
  } else if (key == "d1001") {
    p.d1001 = value;
  } else if (key == "d1148") {
    p.d1148 = value;
  } else {
    return false;
  }
  return true;
}

bool Build(const std::string& name, Profile& out) {
  const size_t slash = name.find('/');
  const std::string base = name.substr(0, slash);
  const size_t at = base.find('@');
  const Model* plc = FindModel(base.substr(0, at));
  if (plc == nullptr) return false;
  out = FromModel(*plc);
  if (at != std::string::npos) {
    const Model* tool = FindModel(base.substr(at + 1));
    if (tool == nullptr) return false;
    // The frames, the expected requests and the checks follow the model the tool burns; the
    // answers follow the PLC that is really there.
    const Profile t = FromModel(*tool);
    out.toolModel = t.toolModel;
    out.groupByte = t.groupByte;
    out.usb = t.usb;
    out.sectorSet = t.sectorSet;
  }
  out.name = name;
  size_t pos = slash;
  while (pos != std::string::npos) {
    const size_t next = name.find('/', pos + 1);
    const std::string mod = name.substr(pos + 1, next == std::string::npos ? next : next - pos - 1);
    if (!ApplyModifier(mod, out)) return false;
    pos = next;
  }
  for (const Variant& v : kVariants) {
    if (name == v.name) out.description = v.description;
  }
  return true;
}

const Model& ToolModel(const Profile& p) {
  const Model* m = FindModel(p.toolModel);
  return m != nullptr ? *m : kModels[0];
}

}  // namespace

const char* HandoverName(Handover h) {
  switch (h) {
    case Handover::kReplug:
      return "replug";
    case Handover::kPowerCycle:
      return "power-cycle";
    case Handover::kImmediate:
      return "immediate";
  }
  return "?";
}

const Profile* FindProfile(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<Profile>> built;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = built.find(name);
  if (it != built.end()) return it->second.get();
  auto p = std::make_unique<Profile>();
  if (!Build(name, *p)) return nullptr;
  return built.emplace(name, std::move(p)).first->second.get();
}

std::vector<std::string> ProfileNames() {
  std::vector<std::string> names;
  for (const Model& m : kModels) names.push_back(m.name);
  for (const Variant& v : kVariants) names.push_back(v.name);
  return names;
}

uint32_t ExpectedEraseUnits(const Profile& p, uint32_t n) {
  switch (ToolModel(p).erase) {
    case EraseRule::kPerBigUnit:
      return n / 131072 + 1;
    case EraseRule::kPerQdUnit:
      return n / 16384 + 1;
    case EraseRule::kSector:
      return n <= 4096 ? 0 : (n - 4096 + 4095) / 4096;
    case EraseRule::kAio2k:
      return (n + 2047) / 2048;
    case EraseRule::kFixedFour:
      return 4;
    case EraseRule::kPer2k:
      return n / 2048 + 1;
  }
  return 0;
}

uint32_t ImageBytesSent(const Profile& p, uint32_t n) {
  if (!ToolModel(p).sector) return n;
  return n <= 4096 ? 0 : n - 4096;
}

uint32_t ExpectedBlocks(const Profile& p, uint32_t n) {
  const uint32_t d = ToolModel(p).blockData;
  return (ImageBytesSent(p, n) + d - 1) / d;
}

uint32_t SizeLimit(const Profile& p) {
  return ToolModel(p).limit;
}

std::string Describe(const Profile& p, uint32_t n) {
  const Model& m = ToolModel(p);
  return "model=" + p.toolModel + "\nlink=" + (m.usb ? "usb" : "com") +
         "\nlimit=" + std::to_string(m.limit) + "\nimage_size=" + std::to_string(n) +
         "\nsent=" + std::to_string(ImageBytesSent(p, n)) +
         "\nblock_size=" + std::to_string(m.blockData) +
         "\nblocks=" + std::to_string(ExpectedBlocks(p, n)) +
         "\nerase_units=" + std::to_string(ExpectedEraseUnits(p, n)) +
         "\nhandover=" + HandoverName(m.handover) + "\n";
}

bool GateReadsRegister(const Profile& p, uint16_t reg) {
  switch (ToolModel(p).id) {
    case 12:
      return reg == 1386 || reg == 1001;
    case 19:
    case 21:
      return reg == 1148;
    case 8:
    case 0xA001:
      return reg == 1001;
    default:
      return false;
  }
}

bool ReadsLoaderVersion(const Profile& p) {
  switch (ToolModel(p).id) {
    case 0x3000:
    case 0x3010:
    case 0x0020:
    case 0xA00B:
    case 0x3020:
    case 0x0022:
      return true;
    default:
      return false;
  }
}

}  // namespace plcsim
