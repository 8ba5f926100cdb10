#include "cli.h"

#include "messages.h"
#include "namelist.h"
#include "osfile.h"
#include "rewrite.h"
#include "run.h"
#include "watch.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skelvane {

namespace {

constexpr const char* helpheading[] = {
    "skelvane, HTML pattern includer",
    "Usage: skelvane [OPTION] <files>",
    "",
};

constexpr const char* versiontext = "skelvane, HTML pattern includer, v. 1.0";

// The quote is unbalanced in the text callers already match.
constexpr const char* usagetext[] = {
    "Missing file arguments",
    "Try skelvane --help' for more information.",
};

constexpr std::string_view endofoptions = "--";

struct unknownoption {
    std::string said;   // as given, or a letter and the cluster it stood in
    std::string meant;  // the known option that is close, if any
    bool writesless = false;  // ends the run instead of being ignored
};

// The option pass: the settings it makes, and what it saw that is checked
// once it is over.
struct optionpass {
    runsettings settings;
    const char* eolvalue = nullptr;
    const char* rootvalue = nullptr;
    const char* filesfrom = nullptr;
    const char* linksvalue = nullptr;
    namelist names;  // opened once the options are known to be good
    std::vector<std::string> problems;  // each ends the run before any document
    std::vector<unknownoption> unknown;
};

enum class optionaction { set, help, version };

// One option. A switch turns a setting on; a value option keeps what
// follows its '=' for checkvalues().
struct optionspec {
    char letter = 0;           // the one-letter form, if any
    std::string_view name{};   // "--root"
    std::string_view value{};  // "DIR" in the help's --root=DIR; empty for a switch
    std::string_view help{};
    bool runsettings::*field = nullptr;
    const char* optionpass::*slot = nullptr;
    std::string_view needs{};  // said of a value option given without '='
    // A run with it writes less than without. A mistyped word close to
    // one was meant to keep documents as they are; the rank says which is
    // meant when a word holds the letters of several.
    int writeslessrank = 0;
    optionaction action = optionaction::set;
};

// Every option, once, in the order the help lists them: the help lines,
// the parser and the suggestions are made from this table.
constexpr optionspec options[] = {
    {.letter = 'v', .name = "--verbose", .help = "Verbose output", .field = &runsettings::verbose},
    {.letter = 'h', .name = "--help", .help = "Display this help and exit", .action = optionaction::help},
    {.name = "--version", .help = "Display version info and exit", .action = optionaction::version},
    {.name = "--check",
     .help = "Report documents a run would change; write nothing",
     .field = &runsettings::check,
     .writeslessrank = 1},
    {.name = "--diff",
     .help = "Like --check, and show each change as a unified diff",
     .field = &runsettings::diff,
     .writeslessrank = 2},
    {.name = "--if-changed",
     .help = "Leave documents whose text would not change untouched",
     .field = &runsettings::ifchanged,
     .writeslessrank = 4},
    {.name = "--strict", .help = "Fail a document on anything that draws a warning", .field = &runsettings::strict},
    {.name = "--stdout",
     .help = "Write the new texts to standard output instead",
     .field = &runsettings::tostdout,
     .writeslessrank = 3},
    {.name = "--root",
     .value = "DIR",
     .help = "Include only pattern files that lie inside DIR",
     .slot = &optionpass::rootvalue,
     .needs = "its directory after '=': --root=DIR"},
    {.name = "--eol",
     .value = "STYLE",
     .help = "Line ends: keep (the document's), lf or crlf",
     .slot = &optionpass::eolvalue,
     .needs = "its style after '=': --eol=keep, --eol=lf or --eol=crlf"},
    {.name = "--files-from",
     .value = "FILE",
     .help = "Also the documents named in FILE, one per line (- for stdin)",
     .slot = &optionpass::filesfrom,
     .needs = "its list after '=': --files-from=FILE (- for standard input)"},
    {.name = "--null", .help = "Names in --files-from end with a NUL byte, not a line end", .field = &runsettings::nullnames},
    {.name = "--watch", .help = "Keep running, and update documents whenever their files change", .field = &runsettings::watch},
    {.name = "--relative",
     .help = "Pattern names are relative to the document; /NAME is from the site root",
     .field = &runsettings::relative},
    {.name = "--links",
     .value = "relative",
     .help = "Make root-absolute links in inserted text relative to the page",
     .slot = &optionpass::linksvalue,
     .needs = "its kind after '=': --links=relative"},
    {.name = "--mark-current",
     .help = "Mark inserted links to the page itself with aria-current=\"page\"",
     .field = &runsettings::markcurrent},
    {.name = "--indent", .help = "Indent inserted lines as their start directive is indented", .field = &runsettings::indent},
};

// The option as the help shows it: --root=DIR.
std::string shown(const optionspec& option) {
    return std::string(option.name) + (option.value.empty() ? "" : "=") + std::string(option.value);
}

const optionspec* findoption(std::string_view name) {
    for (const optionspec& option : options)
        if (option.name == name) return &option;
    return nullptr;
}

struct meaning {
    std::string_view letters;  // lower case, without - and _
    std::string_view option;   // what to suggest
};
// Words that ask for a run that writes nothing.
constexpr meaning drywords[] = {{"dry", "--check"},      {"dryrun", "--check"},   {"noop", "--check"},
                                {"nowrite", "--check"},  {"readonly", "--check"}, {"preview", "--diff"},
                                {"simulate", "--check"}, {"pretend", "--check"},  {"whatif", "--check"},
                                {"unified", "--diff"},   {"justprint", "--check"}, {"recon", "--check"},
                                {"noact", "--check"},    {"noexec", "--check"},  {"nochange", "--check"},
                                {"trialrun", "--check"}};

// Edits between two words, letter case aside; two neighbours swapped
// count as one edit.
std::size_t distance(std::string_view a, std::string_view b) {
    auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    };
    std::vector<std::size_t> before(b.size() + 1), row(b.size() + 1), next(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        next[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            next[j] = std::min({next[j - 1] + 1, row[j] + 1, row[j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                next[j] = std::min(next[j], before[j - 2] + 1);
        }
        std::swap(before, row);
        std::swap(row, next);
    }
    return row[b.size()];
}

// The known option closest to what was typed, when one is close enough to
// be what was meant.
std::string suggestion(std::string_view typed) {
    std::string_view word = typed.substr(typed.find_first_not_of('-') == std::string_view::npos
                                             ? typed.size()
                                             : typed.find_first_not_of('-'));
    word = word.substr(0, word.find('='));
    std::size_t best = word.size() / 3 > 2 ? word.size() / 3 : 2;
    if (best >= word.size()) return {};
    std::string found;
    for (const optionspec& option : options) {
        std::size_t d = distance(word, option.name.substr(2));
        if (d <= best && (found.empty() || d < best)) {
            best = d;
            found = shown(option);
        }
    }
    return found;
}

// The option that writes less which an unknown long word was meant as, if
// any. Its letters (its ASCII letters and digits before any =VALUE, lower
// case: a zero-width space inside hides nothing) are n, hold check, diff,
// stdout or ifchanged, begin one of them (two letters or more), or are a
// few edits from one; or they hold a word that asks for a dry run, or are a
// few edits from one of five letters or more. A few: a third of the
// letters, at least one.
std::string_view writeslessmeant(std::string_view word) {
    std::string letters;
    for (char c : word.substr(0, word.find('=')))
        if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80)
            letters += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!letters.empty() && letters.find_first_not_of('n') == std::string::npos)
        return "--check";  // -n is a dry run in many tools
    std::size_t few = std::max<std::size_t>(1, letters.size() / 3);
    std::vector<const optionspec*> writesless;
    for (const optionspec& option : options)
        if (option.writeslessrank != 0) writesless.push_back(&option);
    std::sort(writesless.begin(), writesless.end(),
              [](const optionspec* a, const optionspec* b) { return a->writeslessrank < b->writeslessrank; });
    for (const optionspec* known : writesless) {
        std::string name;
        for (char c : known->name)
            if (c != '-') name += c;
        if (letters.find(name) != std::string::npos || (letters.size() >= 2 && name.starts_with(letters)) ||
            distance(letters, name) <= few)
            return known->name;
    }
    for (const meaning& dry : drywords)
        if (letters.find(dry.letters) != std::string::npos ||
            (dry.letters.size() >= 5 && distance(letters, dry.letters) <= few))
            return dry.option;
    return {};
}

// An unknown word of an option, and the option it was taken for: one that
// writes less ends the run.
unknownoption unknownword(const char* argument, std::string_view word) {
    std::string meant(writeslessmeant(word));
    if (meant.empty()) meant = suggestion(word);
    const optionspec* close = findoption(std::string_view(meant).substr(0, meant.find('=')));
    return {argument, meant, close != nullptr && close->writeslessrank != 0};
}

std::string describeunknown(const unknownoption& option, bool ignored) {
    std::string text = "unknown option " + option.said + (ignored ? " ignored" : "");
    if (!option.meant.empty()) text += "; did you mean " + option.meant + "?";
    return text;
}

// The values of --eol and --root, and options that cannot go together,
// checked before any document is touched. False when the run must end.
bool checkvalues(optionpass& pass) {
    runsettings& settings = pass.settings;
    std::vector<std::string>& problems = pass.problems;
    const char *eolvalue = pass.eolvalue, *rootvalue = pass.rootvalue;
    if (settings.tostdout && settings.checking())
        problems.push_back("--stdout cannot be used with --check or --diff: choose one");
    if (settings.watch && (settings.tostdout || settings.checking()))
        problems.push_back("--watch cannot be used with --check, --diff or --stdout: it rewrites documents");
    if (eolvalue != nullptr) {
        const std::pair<const char*, lineendstyle> modes[] = {
            {"keep", lineendstyle::ofdocument}, {"lf", lineendstyle::lf}, {"crlf", lineendstyle::crlf}};
        auto mode = std::find_if(std::begin(modes), std::end(modes),
                                 [&](const auto& m) { return std::strcmp(eolvalue, m.first) == 0; });
        if (mode == std::end(modes))
            problems.push_back(std::string("--eol=") + eolvalue +
                               ": expected keep, lf or crlf (--eol=keep, --eol=lf or --eol=crlf)");
        else
            settings.eol = mode->second;
        if (settings.eol == lineendstyle::lf || settings.eol == lineendstyle::crlf) takefilesasbytes();
    }
    if (rootvalue != nullptr) {
        // Pattern paths are compared with the directory's resolved path.
        std::string resolved;
        filestatus status;
        int error = *rootvalue == '\0' ? ENOENT : resolvepath(rootvalue, resolved);
        if (error == 0) error = statpath(resolved, status);
        if (error == 0 && !status.directory) error = ENOTDIR;
        if (error != 0) {
            problems.push_back(std::string("--root=") + rootvalue + ": " + describe(error));
        } else {
            settings.root = resolved;
            settings.rootname = rootvalue;
        }
    }
    if (pass.linksvalue != nullptr) {
        if (std::strcmp(pass.linksvalue, "relative") == 0)
            settings.relativelinks = true;
        else
            problems.push_back(std::string("--links=") + pass.linksvalue + ": expected relative (--links=relative)");
    }
    if (settings.editslinks() && problems.empty()) {
        // Links lead from the site root: --root, or the current directory.
        if (!settings.root.empty())
            settings.siteroot = settings.root;
        else if (int error = resolvepath(".", settings.siteroot))
            problems.push_back("cannot resolve the current directory, the site root: " + describe(error));
    }
    if (pass.filesfrom != nullptr && problems.empty()) {
        // Read as the run goes, but known to be readable before it begins.
        if (int error = *pass.filesfrom == '\0' ? ENOENT : pass.names.open(pass.filesfrom, settings.nullnames))
            problems.push_back(std::string("--files-from=") + pass.filesfrom + ": " + describe(error));
    }
    for (const unknownoption& option : pass.unknown)
        if (settings.strict || option.writesless) problems.push_back(describeunknown(option, false));
    for (const std::string& problem : problems) complain(problem);
    if (!problems.empty()) return false;
    for (const unknownoption& option : pass.unknown) complain("warning: " + describeunknown(option, true));
    if (settings.nullnames && pass.filesfrom == nullptr)
        complain("warning: --null has no list to read without --files-from");
    return true;
}

int showhelp() {
    for (const char* line : helpheading) std::puts(line);
    for (const optionspec& option : options) {
        std::string line = option.letter != 0 ? std::string("  -") + option.letter + ", " : "      ";
        std::string name = shown(option);
        line += name + std::string(name.size() < 12 ? 12 - name.size() : 0, ' ') + ": " + std::string(option.help);
        std::puts(line.c_str());
    }
    std::puts("");
    return -1;
}

int showversion() {
    std::puts(versiontext);
    return -1;
}

int noargs() {
    for (const char* line : usagetext) std::puts(line);
    return 0;
}

// What an option given alone does: 0 to go on; -1 when a text was printed
// and the run ends.
int take(const optionspec& option, optionpass& pass) {
    if (option.action == optionaction::help) return showhelp();
    if (option.action == optionaction::version) return showversion();
    pass.settings.*option.field = true;
    return 0;
}

// The length of a character (UTF-8) at the start of rest that looks like -
// (a hyphen, an en or em dash, a minus sign, as autocorrect and copied text
// put them) or shows as a blank or nothing before one (a no-break, thin or
// zero-width space, a soft hyphen, a byte order mark); 0 for any other.
std::size_t lookalikeat(std::string_view rest) {
    const auto byte = [&](std::size_t i) { return i < rest.size() ? static_cast<unsigned char>(rest[i]) : 0u; };
    if (byte(0) == 0xC2 && (byte(1) == 0xA0 || byte(1) == 0xAD)) return 2;
    if (byte(0) == 0xE2 && byte(1) == 0x80 && ((byte(2) >= 0x80 && byte(2) <= 0x95) || byte(2) == 0xAF)) return 3;
    for (std::string_view other : {"\xE2\x81\x83", "\xE2\x81\x9F", "\xE2\x81\xA0", "\xE2\x88\x92", "\xE3\x80\x80",
                                   "\xE1\xA0\x8E", "\xEF\xB9\xA3", "\xEF\xBC\x8D", "\xEF\xBB\xBF"})
        if (rest.starts_with(other)) return 3;
    return 0;
}

// How many bytes of dashes begin the word when one of them only looks like
// -; 0 when none does.
std::size_t lookalikedashes(std::string_view word) {
    std::size_t at = 0;
    bool lookalike = false;
    for (;;) {
        if (word.substr(at).starts_with('-')) {
            ++at;
        } else if (const std::size_t length = lookalikeat(word.substr(at)); length > 0) {
            at += length;
            lookalike = true;
        } else {
            return lookalike ? at : 0;
        }
    }
}

// 0 to go on; -1 when a text was printed and the run ends.
int testoption(const char* argument, optionpass& pass) {
    const std::string_view word = argument;
    if (!word.empty() && word[0] != '-') {
        // An em dash and "check" name a document only when there is such a file: else
        // an option that writes less, mistyped, would let the documents
        // before it be written.
        if (const std::size_t dashes = lookalikedashes(word); dashes > 0) {
            unknownoption option = unknownword(argument, "--" + std::string(word.substr(dashes)));
            filestatus status;
            if (option.writesless && statpath(argument, status) == ENOENT) pass.unknown.push_back(option);
        }
        return 0;
    }
    if (word.empty()) return 0;
    if (word.starts_with("--")) {
        const std::string_view name = word.substr(0, word.find('='));
        const optionspec* option = findoption(name);
        if (option != nullptr && option->value.empty() && name.size() == word.size()) return take(*option, pass);
        if (option != nullptr && !option->value.empty() && name.size() == word.size()) {
            pass.problems.push_back(std::string(name) + " needs " + std::string(option->needs));
        } else if (option != nullptr && !option->value.empty()) {
            // One list: a second would silently replace the first.
            if (option->slot == &optionpass::filesfrom && pass.filesfrom != nullptr)
                pass.problems.push_back(std::string(argument) +
                                        ": a second list; give one --files-from (join the lists first)");
            pass.*option->slot = argument + name.size() + 1;
        } else {
            pass.unknown.push_back(unknownword(argument, word));
        }
        return 0;
    }
    // A cluster of one-letter options: -h ends the run at once.
    std::string strange = word.size() == 1 ? "-" : "";
    bool someknown = false;
    for (char letter : word.substr(1)) {
        auto known = std::find_if(std::begin(options), std::end(options),
                                  [&](const optionspec& option) { return option.letter == letter; });
        if (known == std::end(options)) {
            strange += letter;
        } else if (take(*known, pass) != 0) {
            return -1;
        } else {
            someknown = true;
        }
    }
    // A word such as -diff or -dry-run was meant as a long option; in -vx
    // only x is unknown. -n asks for a dry run in many tools, in a cluster
    // too (rsync's -navz).
    if (strange.find('n') != std::string::npos)
        pass.unknown.push_back({someknown ? "-" + strange + " in " + argument : std::string(argument), "--check", true});
    else if (!strange.empty() && someknown)
        pass.unknown.push_back({"-" + strange + " in " + argument, suggestion(strange)});
    else if (!strange.empty())
        pass.unknown.push_back(unknownword(argument, word));
    return 0;
}

// Whether argv[i] is a document: "--" ends the options.
bool namesdocument(char** argv, int i, int endindex) {
    return i != endindex && (i > endindex || argv[i][0] != '-');
}

// --watch needs every name for as long as it runs; a list that cannot be
// read to the end ends it before any document is touched.
int watch(run& current, int argc, char** argv, int endindex, optionpass& options) {
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i)
        if (namesdocument(argv, i, endindex)) names.push_back(argv[i]);
    for (std::string name; options.filesfrom != nullptr && options.names.next(name);) names.push_back(name);
    if (options.filesfrom != nullptr && options.names.error() != 0) {
        reportproblem(options.filesfrom, "cannot read the list of documents: " + describe(options.names.error()));
        return 2;
    }
    if (names.empty()) {
        complain("--watch: no documents to watch");
        return 2;
    }
    return watchdocuments(current, names);
}

}  // namespace

int runcommand(int argc, char** argv) {
    prepareprocess();
    int status = 0;
    int lost = 0;
    // "--" ends the options: every argument after it is a document.
    int endindex = argc;
    for (int i = 1; i < argc && endindex == argc; ++i)
        if (argv[i] == endofoptions) endindex = i;
    bool stopped = argc < 2;
    if (stopped) noargs();
    optionpass options;
    for (int i = 1; i < endindex && !stopped; ++i) stopped = testoption(argv[i], options) != 0;
    if (!stopped && !checkvalues(options)) {
        stopped = true;
        status = 2;
    }
    run current(options.settings);
    const runsettings& settings = current.settings;
    auto process = [&](const char* name) {
        const outcome result = dofile(current, name);
        lost = standardoutputerror();
        if (settings.checking()) {
            // A check goes through every document: 1 when one would
            // change, 2 when one could not be checked or a run would fail.
            // What is left to report has nowhere to go once output is lost.
            if (result != outcome::done) status = std::max(status, result == outcome::wouldchange ? 1 : 2);
            stopped = lost != 0;
        } else if (result != outcome::done || (settings.tostdout && lost != 0)) {
            status = 1;
            stopped = true;
        }
    };
    // A watch takes the documents itself; a lost standard output ends it,
    // and is reported below as for a run.
    if (!stopped && settings.watch) {
        status = watch(current, argc, argv, endindex, options);
        stopped = true;
    }
    for (int i = 1; i < argc && !stopped; ++i) {
        if (namesdocument(argv, i, endindex)) process(argv[i]);
    }
    // Then the list's documents: every name is one, whatever it begins with.
    for (std::string name; options.filesfrom != nullptr && !stopped && options.names.next(name);)
        process(name.c_str());
    if (options.filesfrom != nullptr && !stopped && options.names.error() != 0) {
        current.reportafterstaged(options.filesfrom,
                                  "cannot read the list of documents: " + describe(options.names.error()));
        status = std::max(status, 2);
    }
    if (!settings.checking() && !settings.tostdout && finishdocuments(current) != outcome::done)
        status = std::max(status, 1);
    if (lost == 0) lost = standardoutputerror();
    if (lost != 0) {
        reportproblem("standard output", std::strerror(lost));
        status = std::max(status, settings.checking() ? 2 : 1);
    }
    // A lost message fails the run as lost output does. It is said once,
    // on standard output, unless that carries new texts or diffs, which a
    // line of it would spoil.
    if (int unsaid = standarderrorerror()) {
        if (lost == 0 && !settings.tostdout && !settings.diff) {
            reportonstdout("standard error", std::strerror(unsaid));
        }
        status = std::max(status, 1);
    }
    return status;
}

}  // namespace skelvane
