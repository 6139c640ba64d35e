// The completion scripts: the command table written as data in each shell's language (which
// commands a command has, its options, the kinds of its arguments and of its options' values),
// then the same walk over the words typed so far in each language. Folder paths and store names
// come from the hidden command folder-paths, which opens the profile read-only.
#include <cctype>
#include <map>
#include <string_view>

#include "standin_host/cli/docgen/DocGen.h"

namespace nubra::cli::docgen {
namespace {

// `word` as one word of a POSIX shell (bash and zsh read the data alike).
std::string ShWord(const std::string& word) {
    bool plain = !word.empty();
    for (const char c : word)
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::string_view("-_.,:/=+@%").find(c) != std::string_view::npos);
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// `word` as one word of fish.
std::string FishWord(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return quoted + "'";
}

const char* KindWord(OptionSpec::Names names) {
    switch (names) {
        case OptionSpec::Names::Folder: return "folder";
        case OptionSpec::Names::Store: return "store";
        case OptionSpec::Names::File: return "file";
        case OptionSpec::Names::Directory: return "directory";
        case OptionSpec::Names::Text: break;
    }
    return "text";
}

// One command as the scripts know it.
struct Entry {
    std::string name;                      // "" for the program, "store add", ...
    std::vector<std::string> subcommands;  // the words that may follow it
    std::vector<std::string> options;      // "--name=" for one that takes a value
    std::vector<std::string> arguments;    // kinds in order; "file*" takes every remaining word
    // The options that take a value: choices, else a kind.
    std::map<std::string, std::pair<std::vector<std::string>, std::string>> values;
};

void AddOptions(Entry& e, const std::vector<OptionSpec>& options) {
    for (const auto& o : options) {
        if (o.kind == OptionSpec::Kind::Positional) {
            e.arguments.push_back(std::string(KindWord(o.names)) + (o.many ? "*" : ""));
            continue;
        }
        const bool value = o.kind == OptionSpec::Kind::Value;
        e.options.push_back(o.name + (value ? "=" : ""));
        if (value) e.values[o.name] = {o.choices, KindWord(o.names)};
    }
}

std::vector<Entry> Entries(const ProgramSpec& program, const std::vector<CommandSpec>& table) {
    std::vector<Entry> entries(1);
    AddOptions(entries[0], program.options);
    entries[0].options.push_back("--help");
    entries[0].options.push_back("--version");
    std::map<std::string, size_t> at{{"", 0}};
    for (const auto* c : VisibleCommands(table)) {
        const size_t cut = c->name.rfind(' ');
        const std::string parent = cut == std::string::npos ? "" : c->name.substr(0, cut);
        entries[at.at(parent)].subcommands.push_back(cut == std::string::npos ? c->name : c->name.substr(cut + 1));
        Entry e;
        e.name = c->name;
        AddOptions(e, c->options);
        at[c->name] = entries.size();
        entries.push_back(std::move(e));
    }
    return entries;
}

std::string ShArray(const std::vector<std::string>& words) {
    std::string text = "(";
    for (size_t i = 0; i < words.size(); ++i) text += (i ? " " : "") + ShWord(words[i]);
    return text + ")";
}

// The table as the POSIX shells' data functions (bash and zsh both read them).
std::string ShData(const ProgramSpec& program, const std::vector<CommandSpec>& table) {
    const auto entries = Entries(program, table);
    std::string text =
        "# The command table. For command $1 (\"\" for the program itself): the commands that may\n"
        "# follow it (_nubrasweep_subs), its options (_nubrasweep_opts; \"=\" after one that takes a\n"
        "# value) and the kinds of its arguments in order (_nubrasweep_args; \"*\" after one that\n"
        "# takes every remaining word). Fails for a word that is no command.\n"
        "_nubrasweep_command() {\n"
        "    _nubrasweep_subs=() _nubrasweep_opts=() _nubrasweep_args=()\n"
        "    case $1 in\n";
    for (const auto& e : entries) {
        text += "        " + (e.name.empty() ? std::string("''") : ShWord(e.name)) + ")\n";
        text += "            _nubrasweep_subs=" + ShArray(e.subcommands) + "\n";
        text += "            _nubrasweep_opts=" + ShArray(e.options) + "\n";
        text += "            _nubrasweep_args=" + ShArray(e.arguments) + " ;;\n";
    }
    text += "        *) return 1 ;;\n    esac\n}\n\n";
    text +=
        "# The value of option $2 of command $1 (program options go with every command): one of\n"
        "# _nubrasweep_choices, else what _nubrasweep_kind names (folder, store, file, directory, text).\n"
        "_nubrasweep_value() {\n"
        "    _nubrasweep_choices=() _nubrasweep_kind=text\n"
        "    case $2 in\n";
    for (const auto& [option, value] : entries[0].values)
        text += "        " + ShWord(option) + ") _nubrasweep_choices=" + ShArray(value.first) +
                " _nubrasweep_kind=" + value.second + "; return ;;\n";
    text += "    esac\n    case \"$1 $2\" in\n";
    for (size_t i = 1; i < entries.size(); ++i)
        for (const auto& [option, value] : entries[i].values)
            text += "        " + ShWord(entries[i].name + " " + option) + ") _nubrasweep_choices=" + ShArray(value.first) +
                    " _nubrasweep_kind=" + value.second + " ;;\n";
    text += "    esac\n}\n";
    return text;
}

// What bash and zsh share beyond the data: which word is what.
const char* kShWalk = R"sh(
# Walks the words before the one being completed (words[first] up to before it, quotes taken
# away): sets _nubrasweep_cmd (the command they name, "" for none yet), _nubrasweep_profile
# (the value of --profile), _nubrasweep_expect (an option whose value comes next) and
# _nubrasweep_positionals (how many arguments were given).
_nubrasweep_walk() {
    local word
    _nubrasweep_cmd="" _nubrasweep_profile="" _nubrasweep_expect="" _nubrasweep_positionals=0
    for word in "$@"; do
        if [[ -n $_nubrasweep_expect ]]; then
            [[ $_nubrasweep_expect == --profile ]] && _nubrasweep_profile=$word
            _nubrasweep_expect=""
            continue
        fi
        case $word in
            --*=*)
                [[ ${word%%=*} == --profile ]] && _nubrasweep_profile=${word#*=}
                continue ;;
            -?*)
                _nubrasweep_command ""
                local opts=("${_nubrasweep_opts[@]}")
                _nubrasweep_command "$_nubrasweep_cmd"
                opts+=("${_nubrasweep_opts[@]}")
                local o
                for o in "${opts[@]}"; do [[ $o == "$word=" ]] && _nubrasweep_expect=$word; done
                continue ;;
        esac
        _nubrasweep_command "$_nubrasweep_cmd"
        if [[ ${#_nubrasweep_subs[@]} -gt 0 ]] && _nubrasweep_command "${_nubrasweep_cmd:+$_nubrasweep_cmd }$word"; then
            _nubrasweep_cmd=${_nubrasweep_cmd:+$_nubrasweep_cmd }$word
            continue
        fi
        _nubrasweep_positionals=$((_nubrasweep_positionals + 1))
    done
    [[ $_nubrasweep_profile == '~/'* ]] && _nubrasweep_profile=$HOME/${_nubrasweep_profile#'~/'}
    _nubrasweep_command "$_nubrasweep_cmd"
}

# The kind of the next argument of the command walked: sets _nubrasweep_kind (and no choices).
_nubrasweep_argument() {
    _nubrasweep_choices=() _nubrasweep_kind=""
    local n=$_nubrasweep_positionals kind
    for kind in "${_nubrasweep_args[@]}"; do
        if [[ $n -eq 0 || $kind == *'*' ]]; then
            _nubrasweep_kind=${kind%'*'}
            return
        fi
        n=$((n - 1))
    done
}
)sh";

const char* kBashLogic = R"sh(
# The words of the command line up to the cursor as the program will get them, quotes and
# backslashes taken away: _nubrasweep_words (the last is the word being completed, maybe empty).
# bash ends a word at an unquoted ":" or "=" too and replaces only what follows:
# _nubrasweep_cut is how much of the last word comes before that.
_nubrasweep_split() {
    local line=${COMP_LINE:0:COMP_POINT} c word="" quote="" started="" i
    _nubrasweep_words=() _nubrasweep_cut=0
    for ((i = 0; i < ${#line}; i++)); do
        c=${line:i:1}
        if [[ $quote == "'" ]]; then
            if [[ $c == "'" ]]; then quote=""; else word+=$c; fi
        elif [[ $quote == '"' ]]; then
            if [[ $c == '"' ]]; then
                quote=""
            elif [[ $c == '\' && ${line:i+1:1} == [\$\`\"\\] ]]; then
                i=$((i + 1))
                word+=${line:i:1}
            else
                word+=$c
            fi
        else
            case $c in
                [[:space:]])
                    [[ -n $started ]] && _nubrasweep_words+=("$word")
                    word="" started="" _nubrasweep_cut=0
                    continue ;;
                "'" | '"') quote=$c ;;
                '\')
                    i=$((i + 1))
                    word+=${line:i:1} ;;
                *)
                    word+=$c
                    [[ $c == ':' || $c == '=' ]] && _nubrasweep_cut=${#word} ;;
            esac
        fi
        started=1
    done
    _nubrasweep_words+=("$word")
}

# Adds the words of $1... that begin with the word being completed to COMPREPLY, without the
# part bash does not replace.
_nubrasweep_offer() {
    local w
    for w in "$@"; do
        [[ $w == "$_nubrasweep_cur"* ]] && COMPREPLY+=("${w:_nubrasweep_cut}")
    done
}

_nubrasweep() {
    local IFS=$' \t\n'
    _nubrasweep_split
    local words=("${_nubrasweep_words[@]}")
    local cword=$((${#words[@]} - 1))
    local _nubrasweep_cur=${words[cword]} pre="" value
    COMPREPLY=()
    _nubrasweep_walk "${words[@]:1:cword-1}"
    if [[ -n $_nubrasweep_expect ]]; then
        _nubrasweep_value "$_nubrasweep_cmd" "$_nubrasweep_expect"
    elif [[ $_nubrasweep_cur == --*=* ]]; then
        _nubrasweep_value "$_nubrasweep_cmd" "${_nubrasweep_cur%%=*}"
        pre=${_nubrasweep_cur%%=*}=
    elif [[ $_nubrasweep_cur == -* ]]; then
        local opts=("${_nubrasweep_opts[@]}")
        _nubrasweep_command ""
        [[ -n $_nubrasweep_cmd ]] && opts+=("${_nubrasweep_opts[@]}")
        _nubrasweep_offer "${opts[@]%=}"
        return 0
    elif [[ ${#_nubrasweep_subs[@]} -gt 0 ]]; then
        _nubrasweep_offer "${_nubrasweep_subs[@]}"
        return 0
    else
        _nubrasweep_argument
    fi
    value=${_nubrasweep_cur#"$pre"}
    if [[ ${#_nubrasweep_choices[@]} -gt 0 ]]; then
        _nubrasweep_offer "${_nubrasweep_choices[@]/#/$pre}"
        return 0
    fi
    local found=()
    case $_nubrasweep_kind in
        file) mapfile -t found < <(compgen -f -- "$value") ;;
        directory) mapfile -t found < <(compgen -d -- "$value") ;;
        folder | store)
            local list=(folder-paths)
            [[ $_nubrasweep_kind == store ]] && list+=(--stores)
            mapfile -t found < <("${words[0]}" ${_nubrasweep_profile:+--profile "$_nubrasweep_profile"} \
                "${list[@]}" -- "$value" 2>/dev/null) ;;
        *) return 0 ;;
    esac
    # bash quotes what it puts in as it quotes file names: backslashes, spaces and the rest,
    # or inside the quote the word was begun with.
    compopt -o filenames 2>/dev/null
    _nubrasweep_offer "${found[@]/#/$pre}"
    return 0
}
complete -F _nubrasweep nubrasweep
)sh";

const char* kZshLogic = R"sh(
_nubrasweep_offer() {
    if (( ${#_nubrasweep_choices} )); then
        compadd -a _nubrasweep_choices
        return
    fi
    case $_nubrasweep_kind in
        file) _files ;;
        directory) _files -/ ;;
        folder|store)
            # What was typed so far, without the quoting zsh puts back on what it inserts.
            local value=$PREFIX
            [[ -z $compstate[quote] ]] && value=${(Q)PREFIX}
            local -a list found
            list=(folder-paths)
            [[ $_nubrasweep_kind == store ]] && list+=(--stores)
            found=("${(@f)$(${(Q)words[1]} ${_nubrasweep_profile:+--profile} ${_nubrasweep_profile:+$_nubrasweep_profile} \
                $list -- $value 2>/dev/null)}")
            found=(${found:#})
            compadd -a found ;;
    esac
}

_nubrasweep() {
    local -a before
    before=("${(@Q)words[2,CURRENT-1]}")
    _nubrasweep_walk "${before[@]}"
    if [[ -n $_nubrasweep_expect ]]; then
        _nubrasweep_value "$_nubrasweep_cmd" "$_nubrasweep_expect"
    elif [[ $PREFIX == --*=* ]]; then
        _nubrasweep_value "$_nubrasweep_cmd" "${PREFIX%%=*}"
        compset -P '*='
    elif [[ $PREFIX == -* ]]; then
        local -a opts
        opts=("${_nubrasweep_opts[@]}")
        _nubrasweep_command ""
        [[ -n $_nubrasweep_cmd ]] && opts+=("${_nubrasweep_opts[@]}")
        compadd -- "${opts[@]%=}"
        return
    elif (( ${#_nubrasweep_subs} )); then
        compadd -a _nubrasweep_subs
        return
    else
        _nubrasweep_argument
    fi
    _nubrasweep_offer
}

_nubrasweep "$@"
)sh";

// The table as fish's data functions.
std::string FishData(const ProgramSpec& program, const std::vector<CommandSpec>& table) {
    const auto entries = Entries(program, table);
    auto list = [](const std::vector<std::string>& words) {
        std::string text;
        for (const auto& w : words) text += " " + FishWord(w);
        return text;
    };
    std::string text =
        "# The command table. For command $argv[1] ('' for the program itself): the commands that may\n"
        "# follow it (__nubrasweep_subs), its options (__nubrasweep_opts; '=' after one that takes a\n"
        "# value) and the kinds of its arguments in order (__nubrasweep_args; '*' after one that\n"
        "# takes every remaining word). Fails for a word that is no command.\n"
        "function __nubrasweep_command\n"
        "    set -g __nubrasweep_subs\n    set -g __nubrasweep_opts\n    set -g __nubrasweep_args\n"
        "    switch \"$argv[1]\"\n";
    for (const auto& e : entries) {
        text += "        case " + FishWord(e.name) + "\n";
        text += "            set __nubrasweep_subs" + list(e.subcommands) + "\n";
        text += "            set __nubrasweep_opts" + list(e.options) + "\n";
        text += "            set __nubrasweep_args" + list(e.arguments) + "\n";
    }
    // `set` keeps the status it found, so a known command says so itself.
    text += "        case '*'\n            return 1\n    end\n    return 0\nend\n\n";
    text +=
        "# The value of option $argv[2] of command $argv[1] (program options go with every command):\n"
        "# one of __nubrasweep_choices, else what __nubrasweep_kind names.\n"
        "function __nubrasweep_value\n"
        "    set -g __nubrasweep_choices\n    set -g __nubrasweep_kind text\n"
        "    switch \"$argv[2]\"\n";
    for (const auto& [option, value] : entries[0].values)
        text += "        case " + FishWord(option) + "\n            set __nubrasweep_choices" + list(value.first) +
                "\n            set __nubrasweep_kind " + value.second + "\n            return\n";
    text += "    end\n    switch \"$argv[1] $argv[2]\"\n";
    for (size_t i = 1; i < entries.size(); ++i)
        for (const auto& [option, value] : entries[i].values)
            text += "        case " + FishWord(entries[i].name + " " + option) + "\n            set __nubrasweep_choices" +
                    list(value.first) + "\n            set __nubrasweep_kind " + value.second + "\n";
    text += "    end\nend\n";
    return text;
}

const char* kFishLogic = R"sh(
# The candidates for the word at the cursor, one a line; fish matches them against what was
# typed and quotes what it puts in.
function __nubrasweep_complete
    set -l words (commandline -opc)
    set -l cur (commandline -ct)
    set -l program $words[1]
    set -e words[1]
    set -l cmd ''
    set -l profile ''
    set -l expect ''
    set -l positionals 0
    for word in $words
        if test -n "$expect"
            test "$expect" = --profile; and set profile $word
            set expect ''
            continue
        end
        switch $word
            case '--*=*'
                string match -q -- '--profile=*' $word; and set profile (string replace -- '--profile=' '' $word)
                continue
            case '-?*'
                __nubrasweep_command ''
                set -l opts $__nubrasweep_opts
                __nubrasweep_command $cmd
                contains -- "$word=" $opts $__nubrasweep_opts; and set expect $word
                continue
        end
        __nubrasweep_command $cmd
        if test (count $__nubrasweep_subs) -gt 0; and __nubrasweep_command (string trim -- "$cmd $word")
            set cmd (string trim -- "$cmd $word")
            continue
        end
        set positionals (math $positionals + 1)
    end
    __nubrasweep_command $cmd
    set -l pre ''
    if test -n "$expect"
        __nubrasweep_value $cmd $expect
    else if string match -q -- '--*=*' $cur
        set pre (string replace -r -- '=.*' '=' $cur)
        __nubrasweep_value $cmd (string replace -r -- '=.*' '' $cur)
    else if string match -q -- '-*' $cur
        set -l opts $__nubrasweep_opts
        __nubrasweep_command ''
        test -n "$cmd"; and set -a opts $__nubrasweep_opts
        string replace -r -- '=$' '' $opts
        return
    else if test (count $__nubrasweep_subs) -gt 0
        printf '%s\n' $__nubrasweep_subs
        return
    else
        set -g __nubrasweep_choices
        set -g __nubrasweep_kind ''
        set -l n $positionals
        for kind in $__nubrasweep_args
            if test $n -eq 0; or string match -q -- '*\*' $kind
                set __nubrasweep_kind (string replace -- '*' '' $kind)
                break
            end
            set n (math $n - 1)
        end
    end
    if test (count $__nubrasweep_choices) -gt 0
        printf "$pre%s\n" $__nubrasweep_choices
        return
    end
    switch "$__nubrasweep_kind"
        case file
            __fish_complete_path (string replace -- "$pre" '' $cur)
        case directory
            __fish_complete_directories (string replace -- "$pre" '' $cur)
        case folder store
            # What was typed of the path, quotes and escapes taken away (an open quote too).
            set -l value (string unescape -- (string replace -- "$pre" '' $cur) 2>/dev/null)
            set -l list folder-paths
            test "$__nubrasweep_kind" = store; and set -a list --stores
            set -l profileargs
            test -n "$profile"; and set profileargs --profile $profile
            $program $profileargs $list -- "$value" 2>/dev/null
    end
end

complete -c nubrasweep -f -a '(__nubrasweep_complete)'
)sh";

}  // namespace

std::vector<GeneratedFile> Completions(const ProgramSpec& program, const std::vector<CommandSpec>& table) {
    const std::string header = "# Completion of " + program.name + "(1) for the ";
    const std::string made = ", made from its command table when it was built; do not edit.\n";
    const std::string data = ShData(program, table);
    return {
        {"bash-completion/completions/" + program.name, header + "bash" + made + "\n" + data + kShWalk + kBashLogic},
        {"zsh/site-functions/_" + program.name,
         "#compdef " + program.name + "\n" + header + "Z shell" + made + "\n" + data + kShWalk + kZshLogic},
        {"fish/vendor_completions.d/" + program.name + ".fish",
         header + "fish shell" + made + "\n" + FishData(program, table) + kFishLogic},
    };
}

}  // namespace nubra::cli::docgen
