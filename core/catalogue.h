// The catalogue of the 32 PLC models the tool knows, the selected model and the model sets.
//
// Every per-model decision compares the catalogue name at selectedPLCIdx with fixed names, exactly
// and case-sensitively; only the identity checks and the compatibility gates use the model ID.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int kModelCount = 32;
constexpr int kModelNameSize = 15;  // 14 characters and the terminator

extern const char plcList[kModelCount][kModelNameSize];
extern const uint16_t plcID[kModelCount];

// The selected model. The window writes them (only before a burn can start: the model list is
// disabled); the worker reads them.
extern std::atomic<int32_t> selectedPLCIdx;
extern std::atomic<uint16_t> selectedPLCID;
// The model name as taken from the image name or read back from the model list.
extern char selectedPLC[kModelNameSize];

// Model test: the catalogue name at selectedPLCIdx is exactly `name`.
bool IsModel(const char* name);
// Model test against a list of names.
bool IsOneOf(const char* const* names, int count);

// Set tests on the selected catalogue entry.
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
