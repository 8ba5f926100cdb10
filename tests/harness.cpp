#include "harness.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace skelvane::test {

namespace {

constexpr uid_t nobody = 65534;

fs::path maketemp(const char* prefix) {
    std::string name = (fs::temp_directory_path() / prefix).string() + "XXXXXX";
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return name;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string binaryfor(const runoptions& options) {
    // SKELVANE_EXE tests another build of the program, such as skelvane.exe under Wine.
    if (const char* other = std::getenv("SKELVANE_EXE"); other != nullptr && *other != '\0') return other;
    if (!options.unprivileged || geteuid() != 0) return SKELVANE_BINARY;
    // An unprivileged child may not reach the build tree (a checkout under
    // a home directory, say), so it runs a copy from a public place.
    static const scratch copy;
    static const fs::path program = copy.path() / "skelvane";
    if (!fs::exists(program)) {
        fs::copy_file(SKELVANE_BINARY, program);
        fs::permissions(program, fs::perms(0755));
    }
    return program;
}

}  // namespace

scratch::scratch() : path_(maketemp("skelvane-case-")) {
    fs::permissions(path_, fs::perms(0755));
}

scratch::~scratch() {
    std::error_code ignored;
    // Tests may leave read-only directories behind.
    for (auto& entry : fs::recursive_directory_iterator(path_, ignored))
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void scratch::write(const std::string& name, const std::string& content) const {
    fs::path file = path_ / name;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

std::string scratch::read(const std::string& name) const { return slurp(path_ / name); }

tree scratch::snapshot() const {
    tree files;
    for (auto& entry : fs::recursive_directory_iterator(path_)) {
        std::string name = entry.path().lexically_relative(path_).string();
        if (entry.is_symlink())
            files[name] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_regular_file())
            files[name] = slurp(entry.path());
    }
    return files;
}

void scratch::giveaway() const {
    if (geteuid() != 0) return;
    for (const fs::path& path : std::vector<fs::path>(fs::recursive_directory_iterator(path_), {}))
        if (lchown(path.c_str(), nobody, nobody) != 0) throw std::runtime_error("lchown failed");
    if (lchown(path_.c_str(), nobody, nobody) != 0) throw std::runtime_error("lchown failed");
}

namespace {

runresult runonce(const scratch& dir, const std::vector<std::string>& args, const runoptions& options) {
    fs::path outputs = maketemp("skelvane-output-");
    fs::path outfile = options.stdoutpath.empty() ? outputs / "stdout" : fs::path(options.stdoutpath);
    fs::path errfile = outputs / "stderr";

    std::vector<std::string> copies(options.wrapper);
    // SKELVANE_WRAPPER runs every case under a checker such as valgrind.
    if (const char* wrapper = std::getenv("SKELVANE_WRAPPER"); wrapper != nullptr && options.wrapper.empty()) {
        std::istringstream words(wrapper);
        for (std::string word; words >> word;) copies.push_back(word);
    }
    copies.push_back(binaryfor(options));
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child == 0) {
        int out = open(outfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = options.mergeoutputs ? dup(out) : open(errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(120);
        if (chdir(dir.path().c_str()) != 0) _exit(121);
        if (options.unprivileged && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(123);
        }
        // LeakSanitizer stops the process with ptrace, which it cannot do under strace, used directly or in shell
        // cases; runs without a wrapper check leaks. (The tests start one child at a time from one thread, so the child
        // may still allocate.)
        if (!options.wrapper.empty()) setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        execvp(argv[0], argv.data());
        _exit(124);
    }
    runresult result;
    int wstatus = 0;
    // A run that hangs is a failure of its own, not a reason to stall the suite.
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutseconds);
    struct rusage usage {};
    while (wait4(child, &wstatus, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() > stop) {
            kill(child, SIGKILL);
            wait4(child, &wstatus, 0, &usage);
            result.err = "(killed after " + std::to_string(options.timeoutseconds) + " s)\n";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.peakkib = usage.ru_maxrss;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    if (options.stdoutpath.empty()) result.out = slurp(outfile);
    result.err += slurp(errfile);
    std::error_code ignored;
    fs::remove_all(outputs, ignored);
    return result;
}

// Wine's own failures: its messages, or a run that ended in failure
// without a word, which skelvane never does (every failure says why).
bool winelost(const runresult& result) {
    for (const char* sign : {"wine client error", "wineserver", "wine: "})
        if (result.err.find(sign) != std::string::npos) return true;
    return result.status != 0 && result.out.empty() && result.err.empty();
}

}  // namespace

runresult runskelvane(const scratch& dir, const std::vector<std::string>& args, const runoptions& options) {
    if (!testingwindows()) return runonce(dir, args, options);
    // Under Wine a lost run is run again, as long as it touched nothing;
    // one that Wine keeps losing is reported as Wine's, not as a verdict.
    const tree before = dir.snapshot();
    runresult result;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        result = runonce(dir, args, options);
        if (!winelost(result) || !(dir.snapshot() == before)) return result;
        std::fprintf(stderr, "Wine lost a run (status %d%s%s); %s\n", result.status, result.err.empty() ? "" : ": ",
                     result.err.substr(0, 200).c_str(), attempt < 3 ? "running it again" : "giving up");
    }
    result.err = "Wine failed to run skelvane.exe three times; this is no verdict of skelvane's\n" + result.err;
    return result;
}

std::string describe(const tree& files) {
    std::string text;
    for (auto& [name, content] : files)
        text += "  " + name + " (" + std::to_string(content.size()) + " bytes): " + content.substr(0, 300) + "\n";
    return text;
}

std::string normalised(std::string text, const fs::path& directory) {
    if (testingwindows()) std::erase(text, '\r');
    // The scratch directory, as Linux and as Wine spell it.
    std::string wine = "Z:" + directory.string();
    std::replace(wine.begin(), wine.end(), '/', '\\');
    for (const std::string& spelled : {directory.string(), wine})
        for (std::size_t at = 0; (at = text.find(spelled, at)) != std::string::npos;)
            text.replace(at, spelled.size(), "$DIR");
    return text;
}

bool testingwindows() {
    const char* platform = std::getenv("SKELVANE_PLATFORM");
    return platform != nullptr && std::string_view(platform) == "windows";
}

std::string windowstext(const std::string& text) {
    std::string converted;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) converted += '\r';
        converted += text[i];
    }
    return converted;
}

}  // namespace skelvane::test
