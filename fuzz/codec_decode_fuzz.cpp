// Arbitrary bytes as a tile blob, once as they come and once with the
// checksum made right, so that the fuzzer reaches the sections and chains
// behind it. The decoder must refuse or decode without touching memory
// outside the blob and the destination; a blob it accepts must read back
// its header, and decoding must be repeatable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <xxhash.h>

#include "varda_codec.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

void decode_checked(std::vector<unsigned char> blob) {
    varda_codec_info info;
    char err[256];
    const int header = varda_codec_read_info(blob.data(), blob.size(), &info, err, sizeof err);
    // Larger tiles than this are legal but make the fuzzer slow.
    const uint64_t room =
        header == 0 && info.raw_bytes <= (uint64_t(1) << 22) ? info.raw_bytes : 4096;
    std::vector<unsigned char> out(room), again(room);
    const int rc =
        varda_codec_decode(blob.data(), blob.size(), out.data(), out.size(), err, sizeof err);
    if (rc == 0) {
        require(header == 0);
        require(varda_codec_decode(blob.data(), blob.size(), again.data(), again.size(), err,
                                   sizeof err) == 0);
        require(out == again);
    } else {
        require(err[0] != '\0');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly sized copies, so that ASan sees any read past the end.
    decode_checked(std::vector<unsigned char>(data, data + size));
    if (size > 8) {
        std::vector<unsigned char> fixed(data, data + size);
        const uint64_t sum = XXH3_64bits(fixed.data(), size - 8);
        for (int i = 0; i < 8; ++i)
            fixed[size - 8 + i] = static_cast<unsigned char>(sum >> (8 * i));
        decode_checked(std::move(fixed));
    }
    return 0;
}
