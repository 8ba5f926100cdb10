// The fuzz target over each file of the directories given (the seeds), without
// libFuzzer; it aborts where the pass, its model and the diff disagree.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i)
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            ++inputs;
            std::ifstream in(entry.path(), std::ios::binary);
            std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // Every read size the first byte could choose, with the line ends it picks.
            for (int chunk = 0; chunk < 256 && !input.empty(); chunk += 1 + chunk / 4) {
                input[0] = static_cast<char>(chunk);
                LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
            }
        }
    std::printf("%d seeds replayed\n", inputs);
    return inputs > 0 ? 0 : 1;
}
