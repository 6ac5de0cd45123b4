// Replays fuzz inputs without libFuzzer: every file named on the command line (or found in
// a named folder), then seeded mutations of each, so a normal build exercises the target.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Targets that need set-up define it; the others get this empty one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int*, char***) { return 0; }

namespace {

int gVariants = 300;

void Replay(const std::vector<uint8_t>& input, uint32_t seed) {
    LLVMFuzzerTestOneInput(input.data(), input.size());
    std::mt19937 random(seed);
    for (int i = 0; i < gVariants; ++i) {
        std::vector<uint8_t> mutated = input;
        if (!mutated.empty()) {
            const int flips = 1 + static_cast<int>(random() % 16);
            for (int f = 0; f < flips; ++f) mutated[random() % mutated.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
            if (random() % 4 == 0) mutated.resize(random() % (mutated.size() + 1));
        }
        LLVMFuzzerTestOneInput(mutated.data(), mutated.size());
    }
}

}  // namespace

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string argument(argv[i]);
        if (argument.rfind("--variants=", 0) == 0) {
            gVariants = std::atoi(argument.c_str() + 11);
            continue;
        }
        const std::filesystem::path path(argument);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.push_back(path);
        }
    }
    uint32_t seed = 1;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        Replay(input, seed++);
    }
    Replay({}, seed);
    std::printf("replayed %zu inputs with %d variants each\n", files.size() + 1, gVariants);
    return 0;
}
