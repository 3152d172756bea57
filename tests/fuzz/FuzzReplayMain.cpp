// Replays a fuzz target's corpus without libFuzzer: every regular file of the
// folders (or the files) named on the command line is handed to
// LLVMFuzzerTestOneInput once. A crash or a sanitizer report fails the test.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool replay(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A heap copy of exactly the input's size, so a read past it is caught by
    // the sanitizers as it would be under libFuzzer.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    LLVMFuzzerTestOneInput(copy.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p, ec)) {
            for (const auto &entry : std::filesystem::recursive_directory_iterator(p, ec))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else if (std::filesystem::is_regular_file(p, ec)) {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    size_t ran = 0;
    for (const auto &f : files)
        if (replay(f)) ++ran;
    std::printf("replayed %zu inputs\n", ran);
    return ran == files.size() ? 0 : 1;
}
