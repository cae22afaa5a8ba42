// Runs a fuzz target once over every file given, or found in a folder given, on the command line.
// It makes the corpus a regression test in builds without libFuzzer (gcc, the sanitizer build):
// a crash, a broken property or a parse that differs from the oracle's fails it.
#include "fuzzinput.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    std::set<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path path = argv[i];
        if (fs::is_directory(path)) {
            for (const fs::directory_entry &entry : fs::directory_iterator(path))
                if (entry.is_regular_file())
                    files.insert(entry.path());
        } else {
            files.insert(path);
        }
    }
    for (const fs::path &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::cerr << "cannot read " << file << '\n';
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(data.data()), data.size());
    }
    std::cout << "replayed " << files.size() << " inputs, " << fuzzinput::oracleChecks
              << " of them checked against the oracle\n";
    // An empty corpus, or one the oracle never reads, would test little beyond crashes.
    return files.empty() || fuzzinput::oracleChecks == 0 ? 1 : 0;
}
