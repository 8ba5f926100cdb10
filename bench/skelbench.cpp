// skelbench: generates seeded corpora and times skelvane against the lower
// bound of its job, a plain in-place script and cat+mv, alternating the
// programs, each run on a fresh copy of the corpus, also under a model of a
// disk whose cache flushes cost 2 ms each (libflushcost.so, preloaded).
// Checks that skelvane's output is exactly the expected text. Prints
// medians, throughput, peak memory, flushes per run, system calls per
// document, the ratios that the performance targets are stated in, and a
// one-line summary.
//
// The folders load times a site in three levels of folders with and without
// --relative --links=relative --mark-current --indent.
//
// usage: skelbench [--quick] [--runs N] [--only site,big,line,folders] [--dir DIR] [--keep]
// (DIR defaults to /dev/shm, where flushes cost nothing but the model's;
// --keep leaves the folders load's four trees in DIR, to time runs by hand.)
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <sys/resource.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct settings {
    bool quick = false;
    bool keep = false;
    int runs = 5;
    std::vector<std::string> only = {"site", "big", "line", "folders"};
    fs::path directory;
    fs::path skelvane;
    fs::path lowerbound;
    fs::path flushcost;  // the preload library
    fs::path inplace;    // the plain in-place script
};

// The flush cost the model gives each call that waits for the disk.
constexpr long modelflushmicros = 2000;

// ---- Corpora ----------------------------------------------------------------

const char* const words[] = {"bread", "harbour", "lane", "oven", "rye", "spelt", "crust", "flour",
                             "morning", "market", "baker", "loaf", "sourdough", "butter", "salt"};
const char* const patternnames[] = {"parts/header.inc", "parts/nav.inc", "parts/footer.inc"};

class textmaker {
public:
    explicit textmaker(std::uint64_t seed) : random_(seed) {}
    std::size_t between(std::size_t low, std::size_t high) {
        return std::uniform_int_distribution<std::size_t>(low, high)(random_);
    }
    // One line of HTML of about the given length, with its line end.
    std::string line(std::size_t length) {
        std::string text = "<p class=\"c" + std::to_string(between(0, 9)) + "\">";
        while (text.size() + 5 < length) {
            text += words[between(0, std::size(words) - 1)];
            text += ' ';
        }
        text.resize(std::max<std::size_t>(length, 8) - 5);
        return text + "</p>\n";
    }
    std::string lines(std::size_t bytes) {
        std::string text;
        while (text.size() < bytes) text += line(between(40, 200));
        return text;
    }

private:
    std::mt19937_64 random_;
};

struct corpus {
    std::vector<std::string> documents;  // relative to the corpus root
    std::uint64_t bytes = 0;             // the documents' size before the run
};

// Writes the same document twice: as it stands before the run (old region
// text) and as skelvane must leave it.
class docpair {
public:
    docpair(const fs::path& master, const fs::path& expected, const std::string& name)
        : old_(master / name, std::ios::binary), new_(expected / name, std::ios::binary) {}
    void both(const std::string& text) {
        old_ << text;
        new_ << text;
        bytes += text.size();
    }
    void region(const std::string& pattern, const std::string& patterntext, const std::string& oldtext) {
        both("  <!--#pattern file=\"" + pattern + "\" -->\n");
        old_ << oldtext;
        bytes += oldtext.size();
        new_ << patterntext << "\n";
        both("  <!--#endpattern -->\n");
    }
    std::uint64_t bytes = 0;

private:
    std::ofstream old_;
    std::ofstream new_;
};

std::map<std::string, std::string> writepatterns(textmaker& make, const fs::path& master,
                                                 const fs::path& expected) {
    std::map<std::string, std::string> patterns;
    for (const char* name : patternnames) {
        patterns[name] = make.lines(make.between(1000, 5000));
        for (const fs::path& root : {master, expected}) {
            fs::create_directories(root / "parts");
            std::ofstream(root / name, std::ios::binary) << patterns[name];
        }
    }
    return patterns;
}

corpus makesite(const settings& s, const fs::path& master, const fs::path& expected) {
    textmaker make(1);
    auto patterns = writepatterns(make, master, expected);
    corpus c;
    std::size_t count = s.quick ? 200 : 5000;
    for (std::size_t i = 0; i < count; ++i) {
        std::string name = "page" + std::to_string(i) + ".html";
        docpair doc(master, expected, name);
        doc.both("<!DOCTYPE html>\n<html>\n<head><title>Page " + std::to_string(i) + "</title></head>\n<body>\n");
        doc.region(patternnames[0], patterns[patternnames[0]], make.lines(make.between(100, 600)));
        doc.region(patternnames[1], patterns[patternnames[1]], make.lines(make.between(100, 600)));
        std::string body;
        while (body.size() < 13000) {
            // Some lines are longer than a piece.
            body += make.between(0, 49) == 0 ? make.line(make.between(300, 1000)) : make.line(make.between(40, 200));
        }
        doc.both(body);
        doc.region(patternnames[2], patterns[patternnames[2]], make.lines(make.between(100, 600)));
        doc.both("</body>\n</html>\n");
        c.documents.push_back(name);
        c.bytes += doc.bytes;
    }
    return c;
}

corpus makebig(const settings& s, const fs::path& master, const fs::path& expected) {
    textmaker make(2);
    auto patterns = writepatterns(make, master, expected);
    const std::uint64_t target = s.quick ? (8ull << 20) : (512ull << 20);
    docpair doc(master, expected, "big.html");
    std::size_t region = 0;
    while (doc.bytes < target) {
        const char* pattern = patternnames[region++ % 3];
        doc.region(pattern, patterns[pattern], make.lines(make.between(100, 400)));
        std::string block;
        for (std::size_t n = make.between(150, 250); n > 0; --n)
            block += make.between(0, 4999) == 0 ? make.line(make.between(100000, 200000)) : make.line(make.between(40, 200));
        doc.both(block);
    }
    return {{"big.html"}, doc.bytes};
}

corpus makeline(const settings& s, const fs::path& master, const fs::path& expected) {
    const std::uint64_t target = s.quick ? (16ull << 20) : (1ull << 30);
    docpair doc(master, expected, "line.html");
    const std::string block(1 << 20, 'x');
    while (doc.bytes < target) doc.both(block);
    return {{"line.html"}, doc.bytes};
}

// ---- Runs -------------------------------------------------------------------

struct measurement {
    double seconds = 0;
    long peakkib = 0;
};

using environment = std::vector<std::pair<std::string, std::string>>;

measurement runin(const fs::path& directory, const std::vector<std::vector<std::string>>& commands,
                  const environment& env = {}) {
    auto started = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (const auto& command : commands) {
        std::vector<char*> argv;
        std::vector<std::string> copy(command);
        for (auto& word : copy) argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_t child = fork();
        if (child == 0) {
            for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
            if (chdir(directory.c_str()) != 0) _exit(126);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        children.push_back(child);
    }
    measurement m;
    for (pid_t child : children) {
        int status = 0;
        struct rusage usage {};
        wait4(child, &status, 0, &usage);
        m.peakkib = std::max(m.peakkib, usage.ru_maxrss);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "skelbench: %s failed\n", commands.front().front().c_str());
            std::exit(1);
        }
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return m;
}

// The system calls a run makes per document besides the reads and writes
// of its bytes, counted by strace on a copy of its own (untimed); -1
// without strace.
double callsperdocument(const fs::path& work, const std::vector<std::string>& command, std::size_t documents) {
    const fs::path log = work.parent_path() / "strace.log";
    std::vector<std::string> traced = {"strace", "-f", "-c", "-o", log.string()};
    traced.insert(traced.end(), command.begin(), command.end());
    if (std::system("strace -V >/dev/null 2>&1") != 0) return -1;
    runin(work, {traced});
    std::ifstream in(log);
    long calls = 0;
    for (std::string line; std::getline(in, line);) {
        // "% time seconds usecs/call calls [errors] syscall"
        std::vector<std::string> words;
        for (std::size_t at = 0; at < line.size();) {
            std::size_t end = std::min(line.find(' ', at), line.size());
            if (end > at) words.push_back(line.substr(at, end - at));
            at = end + 1;
        }
        if (words.size() < 5 || !std::isdigit(static_cast<unsigned char>(words[0][0]))) continue;
        const std::string& name = words.back();
        if (name == "read" || name == "write" || name == "pread64" || name == "pwrite64" || name == "total") continue;
        calls += std::atol(words[3].c_str());
    }
    fs::remove(log);
    return static_cast<double>(calls) / static_cast<double>(documents);
}

bool sametree(const fs::path& a, const fs::path& b) {
    for (auto& entry : fs::recursive_directory_iterator(b)) {
        if (!entry.is_regular_file()) continue;
        fs::path other = a / fs::relative(entry.path(), b);
        std::ifstream x(entry.path(), std::ios::binary);
        std::ifstream y(other, std::ios::binary);
        std::vector<char> bx(1 << 20);
        std::vector<char> by(1 << 20);
        for (;;) {
            x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
            y.read(by.data(), static_cast<std::streamsize>(by.size()));
            if (x.gcount() != y.gcount() || !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin())) {
                std::fprintf(stderr, "skelbench: %s differs from the expected text\n", other.c_str());
                return false;
            }
            if (x.gcount() == 0) break;
        }
    }
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct program {
    std::string name;
    std::vector<std::vector<std::string>> commands;  // run at once
    environment env = {};
    bool skelvane = false;   // its output must be the expected text
    bool inplace = false;    // the script's output must be too
    bool counted = false;    // its flushes are counted by the model
};

struct result {
    std::string workload;
    std::map<std::string, double> seconds;
    std::map<std::string, long> peakkib;
    std::map<std::string, long> flushes;  // per run, for the programs the model counts
    double skelvanecalls = -1;            // per document
    double boundcalls = -1;
    std::uint64_t bytes = 0;
    std::size_t documents = 0;
};

long countedflushes(const fs::path& log) {
    long total = 0;
    std::ifstream in(log);
    for (long count = 0; in >> count;) total += count;
    fs::remove(log);
    return total;
}

result measure(const settings& s, const std::string& workload) {
    fs::path master = s.directory / ("master-" + workload);
    fs::path expected = s.directory / ("expected-" + workload);
    fs::path work = s.directory / "work";
    const fs::path flushlog = s.directory / "flushes.log";
    for (const fs::path& p : {master, expected}) {
        fs::remove_all(p);
        fs::create_directories(p);
    }
    corpus c = workload == "site" ? makesite(s, master, expected)
             : workload == "big"  ? makebig(s, master, expected)
                                  : makeline(s, master, expected);

    auto with = [&](std::vector<std::string> command, std::size_t from, std::size_t to) {
        command.insert(command.end(), c.documents.begin() + static_cast<long>(from),
                       c.documents.begin() + static_cast<long>(to));
        return command;
    };
    const std::size_t all = c.documents.size();
    const environment model = {{"LD_PRELOAD", s.flushcost.string()},
                               {"SKELBENCH_FLUSH_US", std::to_string(modelflushmicros)},
                               {"SKELBENCH_FLUSH_LOG", flushlog.string()},
                               {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}};
    std::vector<program> programs = {
        {"skelvane", {with({s.skelvane.string()}, 0, all)}, {}, true},
        {"skelvane, 2 ms flushes", {with({s.skelvane.string()}, 0, all)}, model, true, false, true},
        {"lower bound (sync)", {with({s.lowerbound.string(), "--sync"}, 0, all)}},
        {"lower bound", {with({s.lowerbound.string()}, 0, all)}},
    };
    if (workload == "site") {
        programs.push_back({"lower bound (sync), 2 ms", {with({s.lowerbound.string(), "--sync"}, 0, all)}, model,
                            false, false, true});
        programs.push_back({"in-place script", {with({"perl", s.inplace.string()}, 0, all)}, {}, false, true});
        programs.push_back({"skelvane, 2 at once",
                            {with({s.skelvane.string()}, 0, all / 2), with({s.skelvane.string()}, all / 2, all)},
                            {}, true});
        // What the machine allows two writers at once, for comparison.
        programs.push_back({"lower bound (sync), 2",
                            {with({s.lowerbound.string(), "--sync"}, 0, all / 2),
                             with({s.lowerbound.string(), "--sync"}, all / 2, all)}});
    } else {
        // One process per document: on the site it would time process starts.
        programs.push_back(
            {"cat + mv", {with({"sh", "-c", "for f; do cat \"$f\" > \"$f.new\" && mv \"$f.new\" \"$f\"; done", "sh"}, 0, all)}});
    }

    std::map<std::string, std::vector<double>> times;
    result r{workload, {}, {}, {}, -1, -1, c.bytes, all};
    for (int run = 0; run < s.runs; ++run) {
        for (const program& p : programs) {
            fs::remove_all(work);
            fs::copy(master, work, fs::copy_options::recursive);
            fs::remove(flushlog);
            measurement m = runin(work, p.commands, p.env);
            times[p.name].push_back(m.seconds);
            r.peakkib[p.name] = std::max(r.peakkib[p.name], m.peakkib);
            if (p.counted) r.flushes[p.name] = countedflushes(flushlog);
            const bool check = (p.skelvane || p.inplace) ? run == 0 || s.quick : run == 0;
            if (check && !sametree(work, p.skelvane || p.inplace ? expected : master)) std::exit(1);
        }
    }
    for (auto& [name, list] : times) r.seconds[name] = median(list);
    for (const program& p : {programs[0], programs[3]}) {
        fs::remove_all(work);
        fs::copy(master, work, fs::copy_options::recursive);
        (p.skelvane ? r.skelvanecalls : r.boundcalls) = callsperdocument(work, p.commands.front(), all);
    }
    fs::remove_all(work);
    fs::remove_all(master);
    fs::remove_all(expected);
    return r;
}

// ---- A site with folders, with and without the options for one --------------

const std::vector<std::string> folderoptions = {"--relative", "--links=relative", "--mark-current", "--indent"};
// Root-absolute links in the shared navigation: a real site's menu of 50 or more.
constexpr std::size_t navlinks = 58;

std::string indented(const std::string& text) {
    std::string out;
    bool start = true;
    for (char c : text) {
        if (start && c != '\n') out += "  ";
        out += c;
        start = c == '\n';
    }
    return out;
}

// The pages, the shared navigation in root-absolute links to the first 58 of
// them, and what each page must become: with the options (names from the
// site root, links relative, its own link marked, lines indented) and
// without them (names from the current directory).
std::size_t makefolders(const settings& s, const fs::path& plain, const fs::path& optioned, const fs::path& plainafter,
                        const fs::path& optionedafter, std::vector<std::string>& documents) {
    textmaker make(4);
    const std::size_t count = s.quick ? 200 : 5000;
    for (std::size_t i = 0; i < count; ++i) {
        std::string name;
        if (i % 3 != 0) name.append("s").append(std::to_string(i % 10)).append("/");
        if (i % 3 == 2) name.append("t").append(std::to_string(i % 7)).append("/");
        documents.push_back(name.append("page").append(std::to_string(i)).append(".html"));
    }
    const std::string header = make.lines(2000), footer = make.lines(3000);
    std::string nav = "<nav><img src=\"/img/logo.svg\" alt=\"\">\n";
    for (std::size_t i = 0; i < navlinks; ++i) nav += "<a href=\"/" + documents[i] + "\">Page " + std::to_string(i) + "</a>\n";
    nav += "</nav>\n";
    for (const fs::path& root : {plain, optioned, plainafter, optionedafter}) {
        fs::create_directories(root / "parts");
        std::ofstream(root / "parts/header.inc", std::ios::binary) << header;
        std::ofstream(root / "parts/nav.inc", std::ios::binary) << nav;
        std::ofstream(root / "parts/footer.inc", std::ios::binary) << footer;
    }
    std::size_t bytes = 0;
    for (const std::string& name : documents) {
        std::string up;
        for (char c : name)
            if (c == '/') up.append("../");
        std::string mynav = "<nav><img src=\"" + up + "img/logo.svg\" alt=\"\">\n";
        for (std::size_t i = 0; i < navlinks; ++i)
            mynav += "<a href=\"" + up + documents[i] + "\"" + (documents[i] == name ? " aria-current=\"page\"" : "") +
                     ">Page " + std::to_string(i) + "</a>\n";
        mynav += "</nav>\n";
        std::string body;
        while (body.size() < 13000) body += make.line(make.between(40, 200));
        const std::string old = make.lines(300);
        auto page = [&](const std::string& prefix, bool after, bool options) {
            auto region = [&](const char* part, const std::string& text, const std::string& edited) {
                return "  <!--#pattern file=\"" + prefix + "parts/" + part + ".inc\" -->\n" +
                       (!after ? old : options ? indented(edited) + "\n" : text + "\n") + "  <!--#endpattern -->\n";
            };
            return "<!DOCTYPE html>\n<html>\n<body>\n" + region("header", header, header) + region("nav", nav, mynav) +
                   body + region("footer", footer, footer) + "</body>\n</html>\n";
        };
        for (auto [root, prefix, after, options] :
             {std::tuple{plain, "", false, false}, {optioned, "/", false, true}, {plainafter, "", true, false},
              {optionedafter, "/", true, true}}) {
            fs::create_directories((root / name).parent_path());
            const std::string text = page(prefix, after, options);
            std::ofstream(root / name, std::ios::binary) << text;
            if (!after && !options) bytes += text.size();
        }
    }
    return bytes;
}

// Times both runs alternately; prints them and returns the ratio and the
// peak memory of each.
result measurefolders(const settings& s) {
    const fs::path plain = s.directory / "plain", optioned = s.directory / "optioned";
    const fs::path plainafter = s.directory / "plain-after", optionedafter = s.directory / "optioned-after";
    const fs::path work = s.directory / "work";
    for (const fs::path& p : {plain, optioned, plainafter, optionedafter}) fs::remove_all(p);
    std::vector<std::string> documents;
    result r{"folders", {}, {}, {}, -1, -1, 0, 0};
    r.bytes = makefolders(s, plain, optioned, plainafter, optionedafter, documents);
    r.documents = documents.size();
    std::vector<std::string> without = {s.skelvane.string()}, with = without;
    with.insert(with.end(), folderoptions.begin(), folderoptions.end());
    without.insert(without.end(), documents.begin(), documents.end());
    with.insert(with.end(), documents.begin(), documents.end());
    std::map<std::string, std::vector<double>> times;
    for (int run = 0; run < s.runs; ++run)
        for (auto [name, master, expected, command] :
             {std::tuple{"skelvane", plain, plainafter, without}, {"skelvane, four options", optioned, optionedafter, with}}) {
            fs::remove_all(work);
            fs::copy(master, work, fs::copy_options::recursive);
            measurement m = runin(work, {command});
            times[name].push_back(m.seconds);
            r.peakkib[name] = std::max(r.peakkib[name], m.peakkib);
            if (!sametree(work, expected)) std::exit(1);
        }
    for (auto& [name, list] : times) r.seconds[name] = median(list);
    fs::remove_all(work);
    if (!s.keep)
        for (const fs::path& p : {plain, optioned, plainafter, optionedafter}) fs::remove_all(p);
    return r;
}

fs::path besideself(const char* name) {
    return fs::read_symlink("/proc/self/exe").parent_path() / name;
}

}  // namespace

bool istmpfs(const fs::path& directory) {
    struct statfs fs;
    return statfs(directory.c_str(), &fs) == 0 && fs.f_type == 0x01021994;
}

int main(int argc, char** argv) {
    settings s;
    s.skelvane = besideself("../skelvane");
    s.lowerbound = besideself("lowerbound");
    s.flushcost = besideself("libflushcost.so");
    s.inplace = fs::path(SKELBENCH_SOURCE_DIR) / "inplace.pl";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--quick") {
            s.quick = true;
        } else if (arg == "--keep") {
            s.keep = true;
        } else if (arg == "--runs" && i + 1 < argc) {
            s.runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--dir" && i + 1 < argc) {
            s.directory = argv[++i];
        } else if (arg == "--only" && i + 1 < argc) {
            s.only.clear();
            std::string list = argv[++i];
            for (std::size_t from = 0; from <= list.size();) {
                std::size_t comma = std::min(list.find(',', from), list.size());
                s.only.push_back(list.substr(from, comma - from));
                from = comma + 1;
            }
        } else {
            std::fprintf(stderr, "usage: skelbench [--quick] [--runs N] [--only site,big,line,folders] [--dir DIR] [--keep]\n");
            return 2;
        }
    }
    if (s.quick && s.runs == 5) s.runs = 1;
    bool madedirectory = false;
    if (s.directory.empty()) {
        const fs::path base = istmpfs("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string name = (base / "skelbench-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) return 1;
        s.directory = name;
        madedirectory = true;
    }
    std::printf("in %s (%s); the model's flushes cost %ld us\n", s.directory.c_str(),
                istmpfs(s.directory) ? "tmpfs: no flush cost of its own" : "not tmpfs", modelflushmicros);
    std::printf("%-6s %-26s %9s %9s %9s %8s %8s %8s\n", "load", "program", "median s", "MB/s", "peak KiB",
                "flushes", "÷ bound", "÷ sync");
    std::vector<result> results;
    for (const std::string& workload : s.only) {
        if (workload == "folders") {
            result r = measurefolders(s);
            for (auto& [name, seconds] : r.seconds)
                std::printf("%-6s %-26s %9.3f %9.1f %9ld\n", "folder", name.c_str(), seconds,
                            static_cast<double>(r.bytes) / 1e6 / seconds, r.peakkib[name]);
            std::fflush(stdout);
            results.push_back(r);
            continue;
        }
        result r = measure(s, workload);
        for (auto& [name, seconds] : r.seconds) {
            std::string flushes = r.flushes.count(name) != 0 ? std::to_string(r.flushes[name]) : "";
            std::printf("%-6s %-26s %9.3f %9.1f %9ld %8s %8.2f %8.2f\n", workload.c_str(), name.c_str(), seconds,
                        static_cast<double>(r.bytes) / 1e6 / seconds, r.peakkib[name], flushes.c_str(),
                        seconds / r.seconds["lower bound"], seconds / r.seconds["lower bound (sync)"]);
        }
        std::printf("%-6s system calls per document besides reads and writes: skelvane %.1f, lower bound %.1f\n",
                    workload.c_str(), r.skelvanecalls, r.boundcalls);
        std::fflush(stdout);
        results.push_back(r);
    }
    if (madedirectory) fs::remove_all(s.directory);

    std::string summary = "summary:";
    long peak = 0;
    for (result& r : results) {
        char part[400];
        if (r.workload == "folders") {
            std::snprintf(part, sizeof part, " folders with the four options %.2fx the time and %+ld KiB of peak memory;",
                          r.seconds["skelvane, four options"] / r.seconds["skelvane"],
                          r.peakkib["skelvane, four options"] - r.peakkib["skelvane"]);
            summary += part;
            continue;
        }
        const double flushed = r.seconds["skelvane, 2 ms flushes"];
        std::snprintf(part, sizeof part,
                      " %s %.2fx of the lower bound (%.2fx of it with sync), %.2fx of itself with 2 ms flushes "
                      "(%ld flushes), %.1f calls per document;",
                      r.workload.c_str(), r.seconds["skelvane"] / r.seconds["lower bound"],
                      r.seconds["skelvane"] / r.seconds["lower bound (sync)"], flushed / r.seconds["skelvane"],
                      r.flushes["skelvane, 2 ms flushes"], r.skelvanecalls);
        summary += part;
        peak = std::max(peak, r.peakkib["skelvane"]);
        if (r.workload == "site") {
            std::snprintf(part, sizeof part, " with 2 ms flushes %.2fx the time of the in-place script;",
                          flushed / r.seconds["in-place script"]);
            summary += part;
        }
    }
    std::printf("%s peak memory %.1f MiB%s\n", summary.c_str(), static_cast<double>(peak) / 1024,
                s.quick ? " (quick mode: sizes too small for the targets)" : "");
    return 0;
}
