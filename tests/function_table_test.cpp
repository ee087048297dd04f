// The dialog's function table and parameter area, without a display: the
// shipped catalog, small handmade catalogs, and one larger than the table.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "function_table.h"

namespace
{

api_catalog_rec rec(const std::string &name, const std::string &type, int role, int attribute)
{
    api_catalog_rec r{};
    strncpy(r.name, name.c_str(), sizeof r.name - 1);
    strncpy(r.type, type.c_str(), sizeof r.type - 1);
    r.role = role;
    r.attribute = attribute;
    return r;
}

api_catalog_rec header(const std::string &name)
{
    return rec(name, "", -1, 0);
}

std::unique_ptr<FunctionTable> loaded(const api_catalog_rec *catalog = api_catalog)
{
    auto table = std::make_unique<FunctionTable>();
    ClearFunctionTable(*table);
    EXPECT_TRUE(LoadFunctionTable(*table, catalog));
    return table;
}

std::vector<std::string> shown_labels(const ParameterArea &area)
{
    std::vector<std::string> labels;
    for (const ParamPairState &pair : area.pairs) {
        if (pair.visible)
            labels.push_back(pair.label);
    }
    return labels;
}

} // namespace

TEST(FunctionTable, ShippedCatalogListsEveryApiAndLabelsItsInputs)
{
    auto table = loaded();
    ASSERT_EQ(table->count, 630);
    EXPECT_EQ(table->notLoaded, 0);
    std::vector<std::string> names;
    FillFunctionList(*table, [&](const char *name) { names.push_back(name); });
    ASSERT_EQ(names.size(), 630u);
    for (const std::string &name : names) {
        EXPECT_FALSE(name.empty());
        EXPECT_EQ(name.find('_'), std::string::npos) << name;
        EXPECT_NE(name.rfind("rova", 0), 0u) << name;
    }
    EXPECT_EQ(table->entries[630].name[0], '\0');

    // file-write-file: four pairs with exactly these labels; its output gives no field.
    const FunctionEntry *write = FindFunction(*table, "file-write-file");
    ASSERT_NE(write, nullptr);
    ParameterArea area = ParameterAreaFor(*write);
    EXPECT_EQ(shown_labels(area),
              (std::vector<std::string>{"data (string)", "offset (integer)",
                                        "overwrite (boolean, optional)", "path (string)"}));
    EXPECT_TRUE(area.hintVisible);
    EXPECT_EQ(area.notShown, 0);
    EXPECT_EQ(area.pairs[2].tooltip, "overwrite: boolean, optional");

    // An API without inputs hides every pair and the hint.
    area = ParameterAreaFor(*FindFunction(*table, "system-get-version"));
    EXPECT_TRUE(shown_labels(area).empty());
    EXPECT_FALSE(area.hintVisible);

    // Exactly eight inputs show eight; more than eight show the first eight
    // in catalog order and say how many are left out.
    const FunctionEntry *eight = FindFunction(*table, "block-device-create");
    ASSERT_NE(eight, nullptr);
    EXPECT_EQ(shown_labels(ParameterAreaFor(*eight)).size(), 8u);
    EXPECT_TRUE(ParameterAreaFor(*eight).notShownNote.empty());
    const FunctionEntry *many = FindFunction(*table, "auth-directory-set-config");
    ASSERT_NE(many, nullptr);
    area = ParameterAreaFor(*many);
    EXPECT_EQ(shown_labels(area),
              (std::vector<std::string>{
                  "attribute-map (ldap-attribute-mapping-entry[], optional)",
                  "base-dn (string, optional)", "bind-dn (string, optional)",
                  "bind-password (string, optional)", "ca-certificate (string, optional)",
                  "enabled (boolean, optional)", "group-base (string, optional)",
                  "group-filter (string, optional)"}));
    EXPECT_EQ(many->inputTotal, 17);
    EXPECT_EQ(area.notShownNote, "9 more inputs of this API are not shown");
    EXPECT_EQ(area.pairs[3].tooltip,
              "bind-password: string, optional; a password, never kept in the history");

    // Types of up to 42 characters are held whole.
    const FunctionEntry *wide = FindFunction(*table, "pool-create-with-placement");
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(shown_labels(ParameterAreaFor(*wide))[1],
              "placement (pool-raid-group-placement-constraint-set[])");

    EXPECT_EQ(FindFunction(*table, "File-write-file"), nullptr);
    EXPECT_EQ(FindFunction(*table, "rova_file_write_file"), nullptr);
    EXPECT_EQ(FindFunction(*table, ""), nullptr);
}

TEST(FunctionTable, AnyCatalogInTheRecordFormat)
{
    std::string long_name(63, 'n'), long_type(63, 't');
    const std::vector<api_catalog_rec> catalog{header("rova_a_b"),
                                               rec("flag", "boolean", 15, 4),
                                               rec("count", "integer", 14, 4),
                                               rec("item", "thing", 9, 4),
                                               rec("items", "thing[]", 11, 4),
                                               rec("old_style", "string", 3, 5),
                                               rec("result", "string", 1, 4),
                                               header("plain_name_x"),
                                               rec(long_name, long_type, 0, 4),
                                               header("rova_outputs_only"),
                                               rec("x", "string", 1, 4),
                                               rec("y", "string", 1, 4),
                                               header("rova_none"),
                                               api_catalog_rec{}};
    auto table = loaded(catalog.data());
    ASSERT_EQ(table->count, 4);
    EXPECT_STREQ(table->entries[0].name, "a-b");
    EXPECT_STREQ(table->entries[1].name, "plain-name-x");
    EXPECT_STREQ(table->entries[2].name, "outputs-only");
    EXPECT_STREQ(table->entries[3].name, "none");

    // Every required role reads as required; role 3 as optional; "_" in a
    // parameter name becomes "-"; attribute 5 marks a password.
    ParameterArea area = ParameterAreaFor(table->entries[0]);
    EXPECT_EQ(shown_labels(area),
              (std::vector<std::string>{"flag (boolean)", "count (integer)", "item (thing)",
                                        "items (thing[])", "old-style (string, optional)"}));
    EXPECT_EQ(table->entries[0].params[4].secret, 1);
    EXPECT_EQ(table->entries[0].params[0].secret, 0);
    EXPECT_EQ(shown_labels(ParameterAreaFor(table->entries[1]))[0],
              long_name + " (" + long_type + ")");
    for (int k : {2, 3}) {
        EXPECT_EQ(table->entries[k].inputCount, 0);
        EXPECT_FALSE(ParameterAreaFor(table->entries[k]).hintVisible);
    }

    // An empty catalog loads nothing; a cleared table is empty throughout.
    const api_catalog_rec empty{};
    EXPECT_TRUE(LoadFunctionTable(*table, &empty));
    EXPECT_EQ(table->count, 0);
    ClearFunctionTable(*table);
    EXPECT_EQ(table->entries[0].name[0], '\0');
    EXPECT_EQ(table->entries[kFunctionTableSize - 1].params[7].type[0], '\0');
    EXPECT_FALSE(LoadFunctionTable(*table, nullptr));
}

TEST(FunctionTable, LargerCatalogFillsTheTableAndStops)
{
    // 1,500 APIs of two inputs and one output each.
    std::vector<api_catalog_rec> catalog;
    for (int i = 0; i < 1500; i++) {
        char name[32];
        snprintf(name, sizeof name, "rova_api_%04d", i);
        catalog.push_back(header(name));
        catalog.push_back(rec("first", "string", 0, 4));
        catalog.push_back(rec("second", "integer", 3, 4));
        catalog.push_back(rec("out", "string", 1, 4));
    }
    catalog.push_back(api_catalog_rec{});

    // The table sits between guards; nothing beyond it may change.
    struct guarded {
        unsigned char before[256];
        FunctionTable table;
        unsigned char after[256];
    };
    auto g = std::make_unique<guarded>();
    memset(g.get(), 0xA5, sizeof *g);
    EXPECT_FALSE(LoadFunctionTable(g->table, catalog.data()));
    EXPECT_EQ(g->table.count, kFunctionTableSize);
    EXPECT_EQ(g->table.notLoaded, 1500 - kFunctionTableSize);
    EXPECT_STREQ(g->table.entries[kFunctionTableSize - 1].name, "api-1023");
    EXPECT_EQ(shown_labels(ParameterAreaFor(g->table.entries[kFunctionTableSize - 1])),
              (std::vector<std::string>{"first (string)", "second (integer, optional)"}));
    for (unsigned char b : g->before)
        ASSERT_EQ(b, 0xA5);
    for (unsigned char b : g->after)
        ASSERT_EQ(b, 0xA5);
    EXPECT_EQ(FindFunction(g->table, "api-1024"), nullptr);
}
