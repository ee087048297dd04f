// The function table: loading it from the catalog and the texts of the
// parameter area.

#include "function_table.h"

#include <cstring>

namespace
{

// Copy at most the field's width of src into dst (size bytes, terminated),
// turning "_" into "-".
void CopyParamName(char *dst, size_t size, const char *src, size_t srcWidth)
{
    size_t length = strnlen(src, srcWidth);
    if (length >= size)
        length = size - 1;
    for (size_t i = 0; i < length; i++)
        dst[i] = src[i] == '_' ? '-' : src[i];
    dst[length] = '\0';
}

void CopyText(char *dst, size_t size, const char *src, size_t srcWidth)
{
    size_t length = strnlen(src, srcWidth);
    if (length >= size)
        length = size - 1;
    memcpy(dst, src, length);
    dst[length] = '\0';
}

bool IsEnd(const api_catalog_rec *record)
{
    return record->name[0] == '\0';
}

// Read the parameters after a header into entry; returns the record after them.
const api_catalog_rec *LoadInputs(FunctionEntry &entry, const api_catalog_rec *record)
{
    for (; !IsEnd(record) && record->role != API_ROLE_HEADER; record++) {
        if (record->role == API_ROLE_OUTPUT)
            continue;
        entry.inputTotal++;
        if (entry.inputCount >= kParamSlots)
            continue;
        ParamSlot &slot = entry.params[entry.inputCount++];
        CopyParamName(slot.name, sizeof slot.name, record->name, sizeof record->name);
        CopyText(slot.type, sizeof slot.type, record->type, sizeof record->type);
        slot.optional = record->role == API_ROLE_OPTIONAL ? 1 : 0;
        slot.secret = record->attribute == API_ATTR_PASSWORD ? 1 : 0;
    }
    return record;
}

} // namespace

void ClearFunctionTable(FunctionTable &table)
{
    memset(&table, 0, sizeof table);
}

bool LoadFunctionTable(FunctionTable &table, const api_catalog_rec *catalog)
{
    table.count = 0;
    table.notLoaded = 0;
    if (!catalog)
        return false;
    const api_catalog_rec *record = catalog;
    while (!IsEnd(record)) {
        if (table.count == kFunctionTableSize) {
            // Full: count the API and step over it.
            table.notLoaded++;
            for (record++; !IsEnd(record) && record->role != API_ROLE_HEADER; record++) {
            }
            continue;
        }
        FunctionEntry &entry = table.entries[table.count++];
        memset(&entry, 0, sizeof entry);
        api_catalog_record_display_name(record, entry.name, sizeof entry.name);
        record = LoadInputs(entry, record + 1);
    }
    return table.notLoaded == 0;
}

void FillFunctionList(const FunctionTable &table, const std::function<void(const char *)> &add)
{
    for (int i = 0; i < table.count; i++)
        add(table.entries[i].name);
}

const FunctionEntry *FindFunction(const FunctionTable &table, std::string_view name)
{
    for (int i = 0; i < table.count; i++) {
        if (name == table.entries[i].name)
            return &table.entries[i];
    }
    return nullptr;
}

std::string SlotLabel(const ParamSlot &slot)
{
    return std::string(slot.name) + " (" + slot.type + (slot.optional ? ", optional)" : ")");
}

std::string SlotTooltip(const ParamSlot &slot)
{
    std::string tip =
        std::string(slot.name) + ": " + slot.type + (slot.optional ? ", optional" : ", required");
    if (slot.secret)
        tip += "; a password, never kept in the history";
    return tip;
}

ParameterArea ParameterAreaFor(const FunctionEntry &entry)
{
    ParameterArea area;
    for (int k = 0; k < entry.inputCount && k < kParamSlots; k++) {
        area.pairs[k].visible = true;
        area.pairs[k].label = SlotLabel(entry.params[k]);
        area.pairs[k].tooltip = SlotTooltip(entry.params[k]);
    }
    area.hintVisible = entry.inputCount > 0;
    area.notShown = entry.inputTotal > entry.inputCount ? entry.inputTotal - entry.inputCount : 0;
    if (area.notShown == 1)
        area.notShownNote = "1 more input of this API is not shown";
    else if (area.notShown > 1)
        area.notShownNote =
            std::to_string(area.notShown) + " more inputs of this API are not shown";
    return area;
}
