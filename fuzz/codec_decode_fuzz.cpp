// Arbitrary bytes as a tile blob. The decoder must refuse or decode without
// touching memory outside the blob and the destination; a blob it accepts
// must read back the same header, and decoding must be repeatable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varda_codec.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exactly sized, so that ASan sees any read past the end.
    std::vector<unsigned char> blob(data, data + size);
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
    return 0;
}
