// catalog_gen: reads the readable API catalog (api_catalog.txt), checks its
// arrangement, and writes the compiled records and the bash completion of
// reqtool from it.
//
//   catalog_gen SOURCE [--records FILE.cpp] [--completion FILE.bash]
//
// A source that breaks a rule is refused with "SOURCE:LINE: message" on
// standard error and exit status 1, and nothing is written. Outputs are
// written whole or not at all (a temporary file renamed into place).

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace
{

constexpr size_t field_size = 64; // name and type fields of a record, terminator included

struct param {
    std::string role; // "in", "opt" or "out"
    std::string name;
    std::string type;
    bool secret = false;
    int line = 0;
    bool output() const { return role == "out"; }
};

struct api {
    std::string name;
    int line = 0;
    std::vector<param> params;
};

struct refusal {
    int line;
    std::string message;
};

std::vector<std::string> words_of(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

std::string quoted(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

std::optional<std::string> field_problem(std::string_view what, const std::string &text)
{
    if (text.size() < field_size)
        return std::nullopt;
    return std::string(what) + " " + quoted(text) + " has " + std::to_string(text.size()) +
           " characters; at most " + std::to_string(field_size - 1) + " fit";
}

class catalog_reader
{
  public:
    // The APIs of the source, or the first rule it breaks.
    std::optional<refusal> read(std::istream &in)
    {
        std::string line;
        for (int number = 1; std::getline(in, line); number++) {
            if (auto problem = read_line(line, number))
                return refusal{number, *problem};
        }
        return std::nullopt;
    }
    const std::vector<api> &apis() const { return apis_; }

  private:
    std::optional<std::string> read_line(const std::string &line, int number)
    {
        std::vector<std::string> words = words_of(line);
        if (words.empty() || words[0][0] == '#')
            return std::nullopt;
        if (words[0] == "api")
            return read_api(words, number);
        if (words[0] == "in" || words[0] == "opt" || words[0] == "out")
            return read_param(words, number);
        return "unknown role " + quoted(words[0]) + ": a line starts with api, in, opt or out";
    }

    std::optional<std::string> read_api(const std::vector<std::string> &words, int number)
    {
        static const std::regex api_name("rova(_[a-z][a-z0-9]*)+");
        if (words.size() != 2)
            return std::string("an api line holds the word api and one name");
        const std::string &name = words[1];
        if (!std::regex_match(name, api_name))
            return "API name " + quoted(name) +
                   " is not \"rova_\" followed by lower-case words joined by \"_\"";
        if (auto problem = field_problem("API name", name))
            return problem;
        if (!apis_.empty() && !(apis_.back().name < name))
            return "API " + quoted(name) + (apis_.back().name == name ? " is defined again" : "") +
                   " after " + quoted(apis_.back().name) + " on line " +
                   std::to_string(apis_.back().line) + ": APIs stand in ascending order of name";
        apis_.push_back(api{name, number, {}});
        return std::nullopt;
    }

    std::optional<std::string> read_param(const std::vector<std::string> &words, int number)
    {
        static const std::regex param_name("[a-z][a-z0-9]*(-[a-z][a-z0-9]*)*");
        static const std::regex type_name("[a-z][a-z0-9]*(-[a-z][a-z0-9]*)*(\\[\\])?");
        if (apis_.empty())
            return "parameter before the first api line";
        if (words.size() < 3)
            return "a parameter line holds its role, its name and its type";
        param p{words[0], words[1], words[2], false, number};
        if (words.size() > 4 || (words.size() == 4 && words[3] != "secret"))
            return "unexpected " + quoted(words[3]) + " after the type: only \"secret\" may follow";
        p.secret = words.size() == 4;
        if (!std::regex_match(p.name, param_name))
            return "parameter name " + quoted(p.name) + " is not lower-case words joined by \"-\"";
        if (!std::regex_match(p.type, type_name))
            return "type " + quoted(p.type) +
                   " is not lower-case words joined by \"-\", with \"[]\" for an array";
        if (auto problem = field_problem("parameter name", p.name))
            return problem;
        if (auto problem = field_problem("type", p.type))
            return problem;
        return add_param(apis_.back(), std::move(p));
    }

    static std::optional<std::string> add_param(api &a, param p)
    {
        const param *last = a.params.empty() ? nullptr : &a.params.back();
        if (last && last->output() && !p.output())
            return "input " + quoted(p.name) + " of " + a.name + " after its outputs (line " +
                   std::to_string(last->line) + "): inputs come first";
        if (last && last->output() == p.output() && !(last->name < p.name))
            return std::string(p.output() ? "output " : "input ") + quoted(p.name) + " of " +
                   a.name + (last->name == p.name ? " is given again" : " is out of order") +
                   " after " + quoted(last->name) + " on line " + std::to_string(last->line) +
                   ": they stand in ascending order of name";
        a.params.push_back(std::move(p));
        return std::nullopt;
    }

    std::vector<api> apis_;
};

// The record roles: outputs 1, optional inputs 3; a required input 6 when
// it is an integer, 7 a boolean, 11 an array, 9 another structured type and
// 0 a string.
int role_number(const param &p)
{
    if (p.role == "out")
        return 1;
    if (p.role == "opt")
        return 3;
    if (p.type == "integer")
        return 6;
    if (p.type == "boolean")
        return 7;
    if (p.type.size() > 2 && p.type.ends_with("[]"))
        return 11;
    return p.type == "string" ? 0 : 9;
}

std::string display_name(const std::string &name)
{
    std::string display = name.substr(5); // names are checked to start with "rova_"
    for (char &c : display)
        c = c == '_' ? '-' : c;
    return display;
}

void write_records(std::ostream &out, const std::vector<api> &apis)
{
    out << "// Generated by catalog_gen from api_catalog.txt; edit that file, not this one.\n"
           "#include \"reqview/api_catalog.h\"\n\n"
           "const api_catalog_rec api_catalog[] = {\n";
    for (const api &a : apis) {
        out << "    {\"" << a.name << "\", \"\", -1, 0, 0},\n";
        for (const param &p : a.params)
            out << "    {\"" << p.name << "\", \"" << p.type << "\", " << role_number(p) << ", "
                << (p.secret ? 5 : 4) << ", 0},\n";
    }
    out << "    {\"\", \"\", 0, 0, 0},\n};\n";
}

constexpr std::string_view completion_function = R"(
# Options stand before the first operand: -c, -p, -t and -v take an argument,
# attached or as the next word, as do the long options below; "-" or "--"
# ends them. The operands are host, user, password and API (host and API
# with -h, no password with a --password-* option), then parameter names and
# values in pairs; -i and -I take the request as XML instead. After
# --list-apis and --describe the operands are API names.
_reqtool()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local i=1 j word letter hostequiv=0 xml=0 wants= ended=0 nopass=0 listing=0
    COMPREPLY=()
    while (( i < COMP_CWORD )); do
        word=${COMP_WORDS[i]}
        if [[ $word == - || $word == -- ]]; then
            (( i++ ))
            ended=1
            break
        fi
        if [[ $word == --?* ]]; then
            (( i++ ))
            case $word in
            --password-*) nopass=1 ;;
            --list-apis|--describe*) listing=1 ;;
            esac
            case $word in
            --password-file|--password-env|--literal|--value-file|--describe)
                (( i == COMP_CWORD )) && wants=$word
                (( i++ )) ;;
            esac
            continue
        fi
        [[ $word == [-/]?* ]] || break
        (( i++ ))
        for (( j = 1; j < ${#word}; j++ )); do
            letter=${word:j:1}
            case $letter in
            h) hostequiv=1 ;;
            i) xml=1 ;;
            I) xml=2 ;;
            [cptv])
                if (( j + 1 == ${#word} )); then
                    (( i == COMP_CWORD )) && wants=$letter
                    (( i++ ))
                fi
                break ;;
            esac
        done
    done
    case $wants in
    t) COMPREPLY=($(compgen -W 'vault fleet sentry relay' -- "$cur")) ;;
    --password-file) COMPREPLY=($(compgen -f -- "$cur")) ;;
    --password-env) COMPREPLY=($(compgen -v -- "$cur")) ;;
    --describe) COMPREPLY=($(compgen -W "$_reqtool_apis" -- "$cur")) ;;
    esac
    [[ -n $wants ]] && return 0
    if (( i == COMP_CWORD && ! ended )) && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-c -h -i -I -p -Q -r -s -t -v -x -X
            --describe --fail --help --json --list-apis --literal --password-env
            --password-file --password-prompt --strict --value-file --version --xml' -- "$cur"))
        return 0
    fi
    if (( listing )); then
        COMPREPLY=($(compgen -W "$_reqtool_apis" -- "$cur"))
        return 0
    fi
    local n=$(( COMP_CWORD - i )) api_at=$(( 3 - nopass ))
    (( hostequiv )) && api_at=1
    if (( n == 0 )); then
        if declare -F _known_hosts_real >/dev/null; then
            _known_hosts_real -- "$cur"
        else
            COMPREPLY=($(compgen -A hostname -- "$cur"))
        fi
        return 0
    fi
    (( xml || n < api_at )) && return 0
    if (( n == api_at )); then
        COMPREPLY=($(compgen -W "$_reqtool_apis" -- "$cur"))
        return 0
    fi
    local api=${COMP_WORDS[i + api_at]}
    if (( (n - api_at) % 2 == 1 )); then
        local given=' ' k name left=()
        for (( k = i + api_at + 1; k < COMP_CWORD; k += 2 )); do
            given+="${COMP_WORDS[k]} "
        done
        for name in ${_reqtool_inputs[$api]-}; do
            [[ $given == *" $name "* ]] || left+=("$name")
        done
        COMPREPLY=($(compgen -W "${left[*]}" -- "$cur"))
    elif [[ " ${_reqtool_booleans[$api]-} " == *" ${COMP_WORDS[COMP_CWORD - 1]} "* ]]; then
        COMPREPLY=($(compgen -W 'true false' -- "$cur"))
    fi
    return 0
}
complete -F _reqtool reqtool
)";

void write_completion(std::ostream &out, const std::vector<api> &apis)
{
    out << "# bash completion for reqtool: options, the server types of -t, API names,\n"
           "# then the names of the chosen API's inputs, and true or false for boolean\n"
           "# inputs. Generated by catalog_gen from the API catalog; do not edit.\n\n"
           "_reqtool_apis='";
    for (size_t i = 0; i < apis.size(); i++)
        out << (i == 0 ? "" : i % 6 == 0 ? "\n" : " ") << display_name(apis[i].name);
    out << "'\n\ndeclare -gA _reqtool_inputs=(\n";
    std::ostringstream booleans;
    for (const api &a : apis) {
        std::string inputs, flags;
        for (const param &p : a.params) {
            if (p.output())
                continue;
            inputs += (inputs.empty() ? "" : " ") + p.name;
            if (p.type == "boolean")
                flags += (flags.empty() ? "" : " ") + p.name;
        }
        if (!inputs.empty())
            out << "    [" << display_name(a.name) << "]='" << inputs << "'\n";
        if (!flags.empty())
            booleans << "    [" << display_name(a.name) << "]='" << flags << "'\n";
    }
    out << ")\n\ndeclare -gA _reqtool_booleans=(\n" << booleans.str() << ")\n";
    out << completion_function;
}

template <typename Writer>
bool write_whole(const std::string &path, Writer writer)
{
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        writer(out);
        out.flush();
        if (!out) {
            std::cerr << "catalog_gen: cannot write " << temporary << "\n";
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::perror(("catalog_gen: " + path).c_str());
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int usage()
{
    std::cerr << "usage: catalog_gen SOURCE [--records FILE] [--completion FILE]\n";
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string source = argv[1], records, completion;
    for (int i = 2; i < argc; i += 2) {
        std::string option = argv[i];
        if (i + 1 >= argc || (option != "--records" && option != "--completion"))
            return usage();
        (option == "--records" ? records : completion) = argv[i + 1];
    }
    std::ifstream in(source);
    if (!in) {
        std::perror(("catalog_gen: " + source).c_str());
        return 1;
    }
    catalog_reader reader;
    if (std::optional<refusal> r = reader.read(in)) {
        std::cerr << source << ":" << r->line << ": " << r->message << "\n";
        return 1;
    }
    if (!records.empty() &&
        !write_whole(records, [&](std::ostream &out) { write_records(out, reader.apis()); }))
        return 1;
    if (!completion.empty() &&
        !write_whole(completion, [&](std::ostream &out) { write_completion(out, reader.apis()); }))
        return 1;
    return 0;
}
