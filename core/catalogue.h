// The catalogue of the 32 PLC models the tool knows, one row per model with every fact a burn
// decides by, and the selected model.
//
// Every per-model decision asks the row of the catalogue name at selectedPLCIdx; only the identity
// checks use the model ID. A model set is the rows with one fact: the USB set those reached over
// USB, the AIO set those of group 0x5B, the sector set those that keep back their last sector.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int kModelCount = 32;
constexpr int kModelNameSize = 15;  // 14 characters and the terminator

// The image's final 4,096 bytes, which the sector set neither erases nor sends.
constexpr uint32_t kKeptBackBytes = 4096;
// The group bytes of monitor-mode requests: the AIO set's, and every other model's.
constexpr uint8_t kAioGroup = 0x5B;
constexpr uint8_t kPlainGroup = 0x59;
// The data bytes of the largest image block: what the transfer's block buffer holds.
constexpr uint16_t kLargestBlock = 256;

enum LinkKind { kCom, kUsb };
// After an accepted erase request: a wait, or a prompt to re-power the PLC or to replug its USB
// cable and a wait after it.
enum HandOverKind { kWait, kRepower, kReplug };
// The compatibility gate: the register gate of the model's ID or, from kAnyLoader on, the
// loader-version gate with the oldest boot loader the model's image runs on.
enum Gate { kNoGate, kId12, kId19, kId21, kId8, kIdA001, kAnyLoader, kLoaderV10, kLoaderV12 };

// Erase units for N bytes to erase: floor(N / size) + 1, ceil(N / size), or `size` units.
enum EraseRule { kPlusOne, kRoundUp, kFixed };
struct EraseUnits {
  EraseRule rule;
  uint32_t size;
};

// The largest image a model takes, and the text that refuses a larger one.
struct SizeLimit {
  uint32_t bytes;
  const char* text;
};

struct ModelRow {
  const char* name;
  uint16_t id;
  LinkKind link;
  HandOverKind handOver;
  uint8_t handOverSeconds;
  uint8_t group;
  bool silentErase;  // an unanswered erase request counts as accepted
  EraseUnits erase;
  uint16_t blockSize;    // 128 or 256
  bool keepsLastSector;  // kKeptBackBytes
  const SizeLimit& sizeLimit;
  Gate gate;
};

extern const ModelRow kModels[kModelCount];

// The names and IDs of the rows, in table order: the window's model list and the identity checks.
extern const char (&plcList)[kModelCount][kModelNameSize];
extern const uint16_t (&plcID)[kModelCount];

// The selected model. The window writes them (only before a burn can start: the model list is
// disabled); the worker reads them.
extern std::atomic<int32_t> selectedPLCIdx;
extern std::atomic<uint16_t> selectedPLCID;
// The model name as taken from the image name or read back from the model list.
extern char selectedPLC[kModelNameSize];

// The row of the catalogue name at selectedPLCIdx.
const ModelRow& SelectedModel();

// Model test: the catalogue name at selectedPLCIdx is exactly `name`.
bool IsModel(const char* name);
// Model test against a list of names.
bool IsOneOf(const char* const* names, int count);

// Set tests on the selected row.
bool InUsbSet();
bool InAioSet();
bool InSectorSet();

// Set test on a text (the window's choice between the COM-port list and the USB entry).
bool NameInUsbSet(const char* name);

// Selects the catalogue entry whose name equals `name` exactly; no match changes nothing.
// Returns true when an entry was selected.
bool SelectPLCByName(const char* name);

// Copies the model part of an image name (the text before its first '_') into `out`, which holds
// kModelNameSize bytes. A name without '_' gives the empty text; a model part longer than 14
// characters cannot be a catalogue name and gives the empty text.
void ModelPartOfImageName(const char* imageName, char out[kModelNameSize]);
