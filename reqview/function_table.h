// The function table of the dialog: the catalog turned into display names
// and up to eight input slots per API, and the texts and visibility of the
// parameter area for a chosen function. Plain data and functions, no
// widgets: the dialog only puts the results into its controls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "reqview/api_catalog.h"

constexpr int kFunctionTableSize = 1024;
constexpr int kParamSlots = 8;
constexpr int kFunctionNameSize = 72;

// One input of an API. Name and type are as wide as the catalog's fields,
// so every name and every type is held whole.
struct ParamSlot {
    char name[API_CATALOG_NAME_SIZE];
    int32_t optional; // 1 when the catalog role is 3
    char type[API_CATALOG_TYPE_SIZE];
    int32_t secret; // the parameter carries a password
};

struct FunctionEntry {
    char name[kFunctionNameSize];  // display name
    int32_t inputCount;            // slots in use, 0 to 8
    int32_t inputTotal;            // all inputs of the API, also those beyond the eighth
    ParamSlot params[kParamSlots]; // the first eight inputs in catalog order
};

struct FunctionTable {
    FunctionEntry entries[kFunctionTableSize];
    int32_t count;     // entries in use
    int32_t notLoaded; // APIs of the catalog that did not fit
};

// Every entry emptied: empty names, no inputs, zeroed slots.
void ClearFunctionTable(FunctionTable &table);

// Fill the table from a catalog (the shipped one by default). A catalog of
// more than 1024 APIs fills the table with the first 1024, counts the rest
// in notLoaded and returns false; nothing is written beyond the table.
bool LoadFunctionTable(FunctionTable &table, const api_catalog_rec *catalog = api_catalog);

// Hand the name of every entry in use to add, in table order.
void FillFunctionList(const FunctionTable &table, const std::function<void(const char *)> &add);

// The first entry in use whose display name is exactly name, or null.
const FunctionEntry *FindFunction(const FunctionTable &table, std::string_view name);

// "name (type)", or "name (type, optional)" for an optional input.
std::string SlotLabel(const ParamSlot &slot);

// What a parameter field's tooltip says: type, whether required, and
// whether the value is a password.
std::string SlotTooltip(const ParamSlot &slot);

// The parameter area for a chosen function: one shown pair per input slot,
// the others hidden, the "Choose input parameters" hint shown when there
// is any input, and a note when inputs beyond the eighth are not shown.
struct ParamPairState {
    bool visible = false;
    std::string label;
    std::string tooltip;
};

struct ParameterArea {
    bool hintVisible = false;
    ParamPairState pairs[kParamSlots];
    int notShown = 0;
    std::string notShownNote;
};

ParameterArea ParameterAreaFor(const FunctionEntry &entry);
