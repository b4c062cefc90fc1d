// Replays every file of a corpus folder through a fuzz target, so that the
// corpus stays a regression suite with any compiler. A folder that is
// missing, unreadable or holds no input fails the run: a replay of nothing
// would pass without testing anything.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
        return 1;
    }
    size_t replayed = 0;
    for (int a = 1; a < argc; ++a) {
        const std::filesystem::path folder(argv[a]);
        std::error_code ec;
        if (!std::filesystem::is_directory(folder, ec)) {
            std::fprintf(stderr, "%s: no such corpus folder\n", argv[a]);
            return 1;
        }
        size_t here = 0;
        for (const auto &entry : std::filesystem::directory_iterator(folder, ec)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "%s: cannot be read\n", entry.path().c_str());
                return 1;
            }
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++here;
        }
        if (ec || here == 0) {
            std::fprintf(stderr, "%s: %s\n", argv[a],
                         ec ? ec.message().c_str() : "the corpus holds no input");
            return 1;
        }
        replayed += here;
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
