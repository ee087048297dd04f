// The API catalog: the shipped records read as bytes, the functions that
// walk them, the generator's refusals, the bash completion driven in a real
// bash, and the simulator's APIs held against the catalog.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "reqview/api_catalog.h"
#include "sim_apis.h"

#if !defined(CATALOG_GEN) || !defined(REQTOOL_COMPLETION)
#error "CATALOG_GEN and REQTOOL_COMPLETION must name the generator and its completion output"
#endif

namespace
{

// One record as the bytes lay it out: texts within their fields and the
// three words read little-endian.
struct record {
    std::string name;
    std::string type;
    int32_t role;
    int32_t attribute;
    int32_t reserved;
    bool zero; // every byte is 0
};

int32_t little_endian(const unsigned char *p)
{
    return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                uint32_t{p[3]} << 24);
}

std::string field_text(const unsigned char *p)
{
    const char *text = reinterpret_cast<const char *>(p);
    return std::string(text, strnlen(text, 64));
}

// The shipped catalog up to and including its terminator.
std::vector<record> shipped_records()
{
    std::vector<record> records;
    for (const api_catalog_rec *r = api_catalog;; r++) {
        unsigned char bytes[140];
        memcpy(bytes, r, sizeof bytes);
        record rec{field_text(bytes),
                   field_text(bytes + 64),
                   little_endian(bytes + 128),
                   little_endian(bytes + 132),
                   little_endian(bytes + 136),
                   std::all_of(bytes, bytes + 140, [](unsigned char b) { return b == 0; })};
        records.push_back(rec);
        if (rec.name.empty())
            return records;
    }
}

// The API headers with their parameter records.
struct api_rows {
    const record *header;
    std::vector<const record *> inputs, outputs;
};

std::vector<api_rows> by_api(const std::vector<record> &records)
{
    std::vector<api_rows> apis;
    for (const record &r : records) {
        if (r.name.empty())
            break;
        if (r.role == -1)
            apis.push_back(api_rows{&r, {}, {}});
        else if (!apis.empty())
            (r.role == 1 ? apis.back().outputs : apis.back().inputs).push_back(&r);
    }
    return apis;
}

std::string display(const char *name)
{
    char buffer[80];
    api_catalog_display_name(name, buffer, sizeof buffer);
    return buffer;
}

struct run_result {
    int status;
    std::string output; // standard output and standard error together
};

run_result run(const std::string &command)
{
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {-1, "popen failed"};
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

class temp_dir
{
  public:
    temp_dir()
    {
        char name[] = "/tmp/api-catalog-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~temp_dir() { run("rm -rf '" + path_ + "'"); }
    std::string file(const std::string &name, const std::string &text = "") const
    {
        std::string path = path_ + "/" + name;
        if (!text.empty())
            std::ofstream(path) << text;
        return path;
    }

  private:
    std::string path_;
};

} // namespace

TEST(ApiCatalog, ShippedRecordsHoldEveryFigure)
{
    std::vector<record> records = shipped_records();
    std::vector<api_rows> apis = by_api(records);
    size_t inputs = 0, outputs = 0, without_inputs = 0, longest_api = 0, longest_input = 0,
           longest_type = 0, most_inputs = 0;
    std::vector<size_t> long_input_types;
    std::vector<std::string> many_inputs;
    const std::set<int32_t> required_roles{0, 6, 7, 9, 11, 14, 15};
    for (size_t k = 0; k < apis.size(); k++) {
        const api_rows &a = apis[k];
        SCOPED_TRACE(a.header->name);
        EXPECT_EQ(a.header->name.rfind("rova_", 0), 0u);
        EXPECT_TRUE(a.header->type.empty() && a.header->attribute == 0 && a.header->reserved == 0);
        EXPECT_TRUE(k == 0 || apis[k - 1].header->name < a.header->name);
        inputs += a.inputs.size();
        outputs += a.outputs.size();
        without_inputs += a.inputs.empty();
        longest_api = std::max(longest_api, a.header->name.size());
        most_inputs = std::max(most_inputs, a.inputs.size());
        if (a.inputs.size() > 8)
            many_inputs.push_back(a.header->name);
        // Inputs first, then outputs, each in ascending order of name.
        for (size_t p = 0; p < a.inputs.size(); p++)
            EXPECT_EQ(a.inputs[p], a.header + 1 + p);
        for (auto *list : {&a.inputs, &a.outputs})
            for (size_t p = 1; p < list->size(); p++)
                EXPECT_LT((*list)[p - 1]->name, (*list)[p]->name);
        for (const record *p : a.inputs) {
            longest_input = std::max(longest_input, p->name.size());
            if (p->type.size() > 23)
                long_input_types.push_back(p->type.size());
            if (p->role != 3) {
                EXPECT_TRUE(required_roles.count(p->role)) << p->name << " role " << p->role;
                EXPECT_TRUE(p->type != "integer" || p->role == 6 || p->role == 14) << p->name;
                EXPECT_TRUE(p->type != "boolean" || p->role == 7 || p->role == 15) << p->name;
            }
        }
        for (auto *list : {&a.inputs, &a.outputs})
            for (const record *p : *list) {
                longest_type = std::max(longest_type, p->type.size());
                bool secret = false;
                for (const char *word : {"password", "passphrase", "secret", "community"})
                    secret = secret || p->name.find(word) != std::string::npos;
                EXPECT_EQ(p->attribute, secret ? 5 : 4) << p->name;
                EXPECT_EQ(p->reserved, 0);
            }
    }
    EXPECT_EQ(apis.size(), 630u);
    EXPECT_EQ(inputs, 1128u);
    EXPECT_EQ(outputs, 543u);
    EXPECT_EQ(inputs + outputs, 1671u);
    EXPECT_EQ(records.size(), 2302u);
    EXPECT_TRUE(records.back().zero);
    EXPECT_EQ(longest_api, 60u);
    EXPECT_EQ(longest_input, 32u);
    EXPECT_EQ(longest_type, 44u);
    EXPECT_EQ(without_inputs, 108u);
    EXPECT_EQ(many_inputs.size(), 10u);
    EXPECT_EQ(most_inputs, 17u);
    ASSERT_EQ(long_input_types.size(), 8u);
    EXPECT_EQ(*std::min_element(long_input_types.begin(), long_input_types.end()), 25u);
    EXPECT_EQ(*std::max_element(long_input_types.begin(), long_input_types.end()), 42u);

    // The examples, record by record.
    auto at = [&](const std::string &name) {
        return std::find_if(records.begin(), records.end(),
                            [&](const record &r) { return r.name == name && r.role == -1; });
    };
    auto version = at("rova_system_get_version");
    ASSERT_NE(version, records.end());
    EXPECT_EQ(version[1].name, "version");
    EXPECT_EQ(version[1].type, "string");
    EXPECT_EQ(version[1].role, 1);
    EXPECT_EQ(version[1].attribute, 4);
    EXPECT_EQ(version[2].role, -1);
    auto write = at("rova_file_write_file");
    ASSERT_NE(write, records.end());
    const std::vector<std::tuple<std::string, std::string, int>> expected{
        {"data", "string", 0},
        {"offset", "integer", 6},
        {"overwrite", "boolean", 3},
        {"path", "string", 0},
        {"length", "integer", 1}};
    for (size_t p = 0; p < expected.size(); p++) {
        EXPECT_EQ(write[1 + p].name, std::get<0>(expected[p]));
        EXPECT_EQ(write[1 + p].type, std::get<1>(expected[p]));
        EXPECT_EQ(write[1 + p].role, std::get<2>(expected[p]));
    }
    EXPECT_EQ(write[6].role, -1);
}

TEST(ApiCatalog, WalksFindsAndNamesApis)
{
    EXPECT_EQ(api_catalog_count(api_catalog), 630u);
    EXPECT_EQ(api_catalog_count(nullptr), 0u);
    size_t walked = 0;
    for (const api_catalog_rec *a = api_catalog_first(api_catalog); a; a = api_catalog_next(a)) {
        EXPECT_EQ(a->role, API_ROLE_HEADER);
        EXPECT_EQ(api_catalog_find(api_catalog, display(a->name).c_str()), a);
        walked++;
    }
    EXPECT_EQ(walked, 630u);

    const api_catalog_rec *write = api_catalog_find(api_catalog, "file-write-file");
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(api_catalog_find(api_catalog, "rova_file_write_file"), write);
    size_t count = 0;
    const api_catalog_rec *params = api_catalog_params(write, &count);
    ASSERT_EQ(count, 5u);
    EXPECT_STREQ(params[2].name, "overwrite");
    EXPECT_EQ(api_catalog_param_kind(&params[0]), API_PARAM_REQUIRED);
    EXPECT_EQ(api_catalog_param_kind(&params[2]), API_PARAM_OPTIONAL);
    EXPECT_EQ(api_catalog_param_kind(&params[4]), API_PARAM_OUTPUT);
    EXPECT_EQ(api_catalog_input_count(write), 4u);
    EXPECT_EQ(api_catalog_output_count(write), 1u);
    const api_catalog_rec *none = api_catalog_find(api_catalog, "system-ping");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(api_catalog_params(none, &count), nullptr);
    EXPECT_EQ(count, 0u);

    for (const char *unknown : {"", "file-write", "File-write-file", "rova-file-write-file", "x"})
        EXPECT_EQ(api_catalog_find(api_catalog, unknown), nullptr) << unknown;
    EXPECT_EQ(api_catalog_find(api_catalog, nullptr), nullptr);
    EXPECT_EQ(api_catalog_find(nullptr, "file-write-file"), nullptr);
    EXPECT_EQ(api_catalog_next(nullptr), nullptr);
    EXPECT_EQ(api_catalog_params(nullptr, &count), nullptr);

    // Display names: "_" to "-", then a leading "rova-" goes; other names stay whole.
    const std::vector<std::pair<const char *, const char *>> names{
        {"rova_system_get_version", "system-get-version"},
        {"storage_list_all", "storage-list-all"},
        {"rova", "rova"},
        {"rova_", ""},
        {"rovax_a", "rovax-a"},
        {"my_rova_x", "my-rova-x"}};
    for (auto [name, expected] : names)
        EXPECT_EQ(display(name), expected) << name;
    char small[8];
    EXPECT_EQ(api_catalog_display_name("rova_system_get_version", small, sizeof small), 18u);
    EXPECT_STREQ(small, "system-");
    EXPECT_EQ(api_catalog_display_name(nullptr, small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(api_catalog_display_name("rova_a_b", nullptr, 0), 3u);
}

TEST(ApiCatalog, GeneratorRefusesBrokenSourcesNamingTheLine)
{
    temp_dir dir;
    const std::string good = "# fine\napi rova_a_list\n  opt max-records integer\n"
                             "  in  name string secret\n  out names string[]\n\napi rova_b\n";
    const std::string records = dir.file("records.cpp"), completion = dir.file("completion.bash");
    run_result ok = run(std::string(CATALOG_GEN) + " " + dir.file("good.txt", good) +
                        " --records " + records + " --completion " + completion);
    ASSERT_EQ(ok.status, 0) << ok.output;
    std::ifstream in(records);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("    {\"rova_a_list\", \"\", -1, 0, 0},\n"
                        "    {\"max-records\", \"integer\", 3, 4, 0},\n"
                        "    {\"name\", \"string\", 0, 5, 0},\n"
                        "    {\"names\", \"string[]\", 1, 4, 0},\n"
                        "    {\"rova_b\", \"\", -1, 0, 0},\n"
                        "    {\"\", \"\", 0, 0, 0},\n};"),
              std::string::npos)
        << text;

    const std::string long_name(59, 'a'), too_long(59, 'b');
    const std::vector<std::pair<std::string, std::string>> broken{
        {"api rova_b\napi rova_a\n", ":2: API \"rova_a\" after \"rova_b\" on line 1"},
        {"api rova_a\n\napi rova_a\n", ":3: API \"rova_a\" is defined again"},
        {"api rova_a\n  out x string\n  in y string\n",
         ":3: input \"y\" of rova_a after its outputs"},
        {"api rova_a\n  in b string\n  opt a string\n",
         ":3: input \"a\" of rova_a is out of order"},
        {"api rova_a\n  out b string\n  out b integer\n",
         ":3: output \"b\" of rova_a is given again"},
        {"api system_get\n", ":1: API name \"system_get\" is not \"rova_\""},
        {"api rova_Get_x\n", ":1: API name \"rova_Get_x\" is not"},
        {"api rova__x\n", ":1: API name \"rova__x\" is not \"rova_\""},
        {"api rova_a\n  in max_records integer\n", ":2: parameter name \"max_records\" is not"},
        {"api rova_a\n  in -x string\n", ":2: parameter name \"-x\" is not"},
        {"api rova_a\n  in x String\n", ":2: type \"String\" is not"},
        {"api rova_a\n  in x string[][]\n", ":2: type \"string[][]\" is not"},
        {"api rova_a\n  req x string\n", ":2: unknown role \"req\""},
        {"api rova_a\n  in x\n", ":2: a parameter line holds its role, its name and its type"},
        {"api rova_a\n  in x string hidden\n", ":2: unexpected \"hidden\" after the type"},
        {"  in x string\n", ":1: parameter before the first api line"},
        {"api rova_a extra\n", ":1: an api line holds"},
        {"api rova_" + long_name + "\n",
         ":1: API name \"rova_" + long_name + "\" has 64 characters"},
        {"api rova_a\n  in x " + too_long + "-cdef\n", ":2: type \"" + too_long + "-cdef\" has 64"},
        {"api rova_a\n  in " + too_long + "-cdef string\n", ":2: parameter name"}};
    for (auto &[source, message] : broken) {
        std::string path = dir.file("broken.txt", source);
        std::remove(records.c_str());
        run_result r = run(std::string(CATALOG_GEN) + " " + path + " --records " + records);
        EXPECT_EQ(r.status, 1) << source;
        EXPECT_NE(r.output.find(path + message), std::string::npos)
            << "source:\n"
            << source << "said: " << r.output;
        EXPECT_NE(access(records.c_str(), F_OK), 0) << "records written for a refused source";
    }
    EXPECT_EQ(run(std::string(CATALOG_GEN) + " " + dir.file("absent.txt")).status, 1);
    EXPECT_EQ(run(std::string(CATALOG_GEN)).status, 2);
}

TEST(ApiCatalog, CompletionCompletesApisAndTheirInputsInBash)
{
    // Each case: the words typed so far (the last one being completed) and
    // the candidates bash offers.
    const std::vector<std::pair<std::string, std::string>> cases{
        {"reqtool -", "-c -h -i -I -p -Q -r -s -t -v -x -X --describe --fail --help --json "
                      "--list-apis --literal --password-env --password-file --password-prompt "
                      "--strict --value-file --version --xml"},
        {"reqtool -x --pass", "--password-env --password-file --password-prompt"},
        {"reqtool --describe file-w", "file-write-file"},
        {"reqtool --list-apis --xml quota-rep", "quota-report quota-report-errors"},
        {"reqtool --password-env REQTOOL_COMPLETION_T", "REQTOOL_COMPLETION_TEST"},
        {"reqtool --password-env PW -p 8080 storage1 admin system-get-v", "system-get-version"},
        {"reqtool --password-file=pw --literal data=x storage1 admin file-write-file ''",
         "data offset overwrite path"},
        {"reqtool -t s", "sentry"},
        {"reqtool -xt ''", "vault fleet sentry relay"},
        {"reqtool storage1 admin secret file-w", "file-write-file"},
        {"reqtool -p 8080 -s storage1 admin secret system-get-v", "system-get-version"},
        {"reqtool -p8080 -x storage1 admin secret volume-cr",
         "volume-create volume-create-in-pool"},
        {"reqtool -h storage1 quota-rep", "quota-report quota-report-errors"},
        {"reqtool -- -x admin secret volume-des", "volume-destroy"},
        {"reqtool storage1 admin secret file-write-file ''", "data offset overwrite path"},
        {"reqtool storage1 admin secret file-write-file data hello o", "offset overwrite"},
        {"reqtool storage1 admin secret file-write-file offset 0 path /vol/vol0/a ''",
         "data overwrite"},
        {"reqtool storage1 admin secret file-write-file overwrite ''", "true false"},
        {"reqtool storage1 admin secret file-write-file data ''", ""},
        {"reqtool storage1 admin secret system-get-version ''", ""},
        {"reqtool storage1 admin secre", ""},
        {"reqtool -i storage1 admin secret vol", ""},
        {"reqtool -I storage1 admin secret ''", ""}};
    temp_dir dir;
    std::string script = "source '" + std::string(REQTOOL_COMPLETION) +
                         "'\n"
                         "complete -p reqtool\n"
                         "REQTOOL_COMPLETION_TEST=1\n";
    for (auto &[line, expected] : cases)
        script += "COMP_WORDS=(" + line +
                  "); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))\n"
                  "_reqtool; echo \"[${COMPREPLY[*]}]\"\n";
    run_result r = run("bash --norc --noprofile " + dir.file("drive.sh", script));
    ASSERT_EQ(r.status, 0) << r.output;
    std::string expected_output = "complete -F _reqtool reqtool\n";
    for (auto &[line, expected] : cases)
        expected_output += "[" + expected + "]\n";
    EXPECT_EQ(r.output, expected_output);
}

TEST(ApiCatalog, SimulatorAnswersEveryApiAsTheCatalogHasIt)
{
    const std::map<std::string, std::string> values{
        {"volume", "vol0"}, {"size", "20m"}, {"new-size", "30m"}, {"path", "/vol/vol0/a"},
        {"data", "hello"},  {"offset", "0"}, {"length", "5"},     {"overwrite", "true"}};
    ASSERT_FALSE(sim::api_all().empty());
    for (const sim::api_def &def : sim::api_all()) {
        std::string name(def.name);
        SCOPED_TRACE(name);
        const api_catalog_rec *api = api_catalog_find(api_catalog, name.c_str());
        ASSERT_NE(api, nullptr);
        size_t count = 0;
        const api_catalog_rec *params = api_catalog_params(api, &count);
        std::map<std::string, bool> catalog_inputs;         // name: required
        std::map<std::string, std::string> catalog_outputs; // name: type
        for (size_t p = 0; p < count; p++) {
            if (api_catalog_param_kind(&params[p]) == API_PARAM_OUTPUT)
                catalog_outputs[params[p].name] = params[p].type;
            else
                catalog_inputs[params[p].name] =
                    api_catalog_param_kind(&params[p]) == API_PARAM_REQUIRED;
        }
        std::map<std::string, bool> sim_inputs;
        std::map<std::string, std::string, std::less<>> given;
        for (const sim::param_def &in : def.inputs) {
            sim_inputs[std::string(in.name)] = in.required;
            given[std::string(in.name)] = values.at(std::string(in.name));
        }
        EXPECT_EQ(sim_inputs, catalog_inputs);

        // Run the handler with every input on a store holding vol0 and a file.
        sim::store store;
        store.volume_create("vol0", 10 << 20);
        store.file_write("/vol/vol0/a", "hello", 0, false);
        if (name == "volume-create")
            given["volume"] = "vol1";
        sim::outputs outputs = def.run(sim::api_inputs(given), store);
        std::map<std::string, std::string> answered;
        for (const sim::out_elem &out : outputs) {
            answered[out.name] = catalog_outputs.count(out.name) ? catalog_outputs[out.name] : "?";
            // An array output holds elements named by its type.
            std::string type = answered[out.name];
            for (const sim::out_elem &item : out.children)
                EXPECT_TRUE(!type.ends_with("[]") || item.name + "[]" == type) << item.name;
        }
        EXPECT_EQ(answered, catalog_outputs);
    }
}
