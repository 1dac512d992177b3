// Runs a fuzz target without libFuzzer: every file of the given corpus folders (or files) is
// fed to the target whole, then cut at a spread of lengths, so the kept corpora stay
// regression inputs in every build and the sanitizer build checks them on each test run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

// Each input is also run cut short: many parser faults sit at a length that ends inside a field.
void RunWithPrefixes(const std::vector<uint8_t>& input) {
    LLVMFuzzerTestOneInput(input.data(), input.size());
    const size_t step = input.size() > 256 ? input.size() / 64 : 1;
    for (size_t n = 0; n < input.size(); n += step) {
        // A copy of exactly n bytes, so that a read past the cut is a read past the buffer.
        std::vector<uint8_t> cut(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
        LLVMFuzzerTestOneInput(cut.data(), cut.size());
    }
}

// The targets keep their files in folders under $TMPDIR. Unless the caller chose a place, they
// go to a private folder on the memory file system, removed at the end: the stores sync what
// they write, and on a disk those syncs stretch a replay of a large corpus to minutes.
class ScratchRoot {
public:
    ScratchRoot() {
        const char* chosen = std::getenv("TMPDIR");
        if (chosen && *chosen) return;
        std::string pattern = "/dev/shm/qmreplay.XXXXXX";
        if (!mkdtemp(pattern.data())) return;  // no memory file system: the default place
        dir_ = pattern;
        setenv("TMPDIR", dir_.c_str(), 1);
    }
    ~ScratchRoot() {
        if (dir_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

private:
    std::string dir_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help") {
        std::printf("usage: %s CORPUS_FOLDER_OR_FILE...\n"
                    "Feeds every input (whole and cut short) to the fuzz target once.\n",
                    argv[0]);
        return argc < 2 ? 2 : 0;
    }
    const ScratchRoot scratch;
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    size_t inputs = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;  // a libFuzzer flag (an initializer may add some)
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(argv[i], ec))
                if (e.is_regular_file()) files.push_back(e.path());
        } else {
            files.emplace_back(argv[i]);
        }
        for (const auto& f : files) {
            std::ifstream in(f, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", f.c_str());
                return 1;
            }
            std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            RunWithPrefixes(data);
            ++inputs;
        }
    }
    std::printf("%zu inputs replayed\n", inputs);
    return inputs > 0 ? 0 : 1;
}
