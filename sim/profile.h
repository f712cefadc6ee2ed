// What a simulated PLC is: the model it reports, the registers and versions it answers with and
// how its firmware hands over to its boot loader. One profile per catalogue model passes a burn
// of that model; named variants are PLCs that the tool must refuse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plcsim {

// How the PLC gets from its firmware into its boot loader after an accepted erase.
enum class Handover {
  kReplug,      // when the USB link is closed and opened again
  kPowerCycle,  // when the COM link is closed and opened again (the operator cycles the power)
  kImmediate,   // at once; the link stays open
};
const char* HandoverName(Handover h);

struct Profile {
  std::string name;       // "KL3-KR3", "KL2-G-V2@KL2-KR2-V2", "KR3-AIO/loader-1.0", ...
  std::string model;      // the catalogue model the PLC is
  std::string toolModel;  // the model whose image the tool burns; the tool's frames follow it
  uint16_t catalogueId = 0;
  uint16_t monitorId = 0;  // reported to the identity check in monitor mode
  uint16_t loaderId = 0;   // reported by the boot loader to "ID"
  uint16_t d1386 = 0;
  uint16_t d1001 = 0;
  uint16_t d1148 = 0;
  uint8_t monitorVersion = 0x12;            // answer to the version query
  uint8_t loaderVersion[2] = {0x01, 0x25};  // answer to "VERSION"
  uint8_t groupByte = 0x59;                 // of the tool's model: 0x5B for the AIO set
  uint16_t blockData = 128;                 // data bytes per image block
  Handover handover = Handover::kImmediate;
  bool usb = false;          // the tool's model is reached over USB: no line settings before UPDATE
  bool sectorSet = false;    // the tool's model erases 4,096-byte units and keeps the last 4 KiB
  bool silentErase = false;  // the firmware does not answer the erase request (and needs no ack)
  std::vector<uint8_t> wakeupReply;  // what the firmware answers to a wake-up frame (<= 11 bytes)
  std::string description;
};

// A profile by name, or null. Names:
//   MODEL                 one of the 32 catalogue models, passing a burn of that model
//   PLC@MODEL             a PLC of catalogue model PLC (its IDs, registers, versions) on a tool
//                         that burns MODEL
//   NAME/MOD[/MOD...]     NAME with modifications: loader-X.Y (boot loader version, hex digits),
//                         silent-erase, id=N, monitor-id=N, loader-id=N, d1386=N, d1001=N, d1148=N,
//                         wakeup-none, wakeup-junk
// The returned profile lives as long as the process.
const Profile* FindProfile(const std::string& name);

// The 32 catalogue models, then the named variants that the gates refuse.
std::vector<std::string> ProfileNames();

// Expectations of a burn of the tool's model with an image of `imageLength` bytes.
uint32_t ExpectedEraseUnits(const Profile& p, uint32_t imageLength);
uint32_t ImageBytesSent(const Profile& p, uint32_t imageLength);
uint32_t ExpectedBlocks(const Profile& p, uint32_t imageLength);

// The largest image the tool burns for its model.
uint32_t SizeLimit(const Profile& p);

// What a script needs to know of a burn of the tool's model with an image of `imageLength` bytes,
// as key=value lines: model, link (usb or com), limit, image_size, sent (the bytes the blocks
// carry), block_size, blocks, erase_units, handover (replug, power-cycle or immediate).
std::string Describe(const Profile& p, uint32_t imageLength);

// Which requests the tool's model makes in monitor mode: a register (1386, 1001, 1148) read by its
// gate, and whether it queries the boot loader version.
bool GateReadsRegister(const Profile& p, uint16_t reg);
bool ReadsLoaderVersion(const Profile& p);

}  // namespace plcsim
