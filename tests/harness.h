// Black-box harness: runs skelvane in a fresh directory and reads back all it left there.
#ifndef SKELVANE_TESTS_HARNESS_H
#define SKELVANE_TESTS_HARNESS_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace skelvane::test {

namespace fs = std::filesystem;

// Relative path -> content; a symbolic link appears as "-> TARGET".
using tree = std::map<std::string, std::string>;

struct runoptions {
    bool unprivileged = false;    // run as nobody when the tests run as root
    std::string stdoutpath;       // send stdout here instead of capturing it
    bool mergeoutputs = false;    // stderr into stdout's file, as 2>&1 does
    std::vector<std::string> wrapper;  // a command that runs skelvane, such as strace
    int timeoutseconds = 60;      // a run still going then is killed and fails
};

struct runresult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
    long peakkib = 0;  // the child's peak resident memory
};

// A fresh directory, removed again with everything in it.
class scratch {
public:
    scratch();
    ~scratch();
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;

    const fs::path& path() const { return path_; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    tree snapshot() const;
    // Hands the whole directory to the unprivileged user.
    void giveaway() const;

private:
    fs::path path_;
};

runresult runskelvane(const scratch& dir, const std::vector<std::string>& args,
                      const runoptions& options = {});

std::string describe(const tree& files);

// What the machine decides in a message, made the same everywhere: on
// Windows no CR before a line end; the scratch directory as $DIR.
std::string normalised(std::string text, const fs::path& directory);


// True when the tests run the Windows build (SKELVANE_PLATFORM=windows),
// which writes text as windowstext() gives it: LF without CR as CR LF.
bool testingwindows();
std::string windowstext(const std::string& text);

}  // namespace skelvane::test

#endif
