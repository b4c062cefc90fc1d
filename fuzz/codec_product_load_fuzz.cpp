// Product text from anywhere: loading it either refuses with a message and
// leaves the record alone, or gives a product that saves, loads back to the
// same bytes, and encodes a small tile that decodes.
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
    varda_codec_product p, untouched;
    std::memset(&p, 0x5a, sizeof p);
    untouched = p;
    char err[256] = "";
    const int rc =
        varda_codec_product_load(&p, reinterpret_cast<const char *>(data), size, err, sizeof err);
    if (rc != 0) {
        require(err[0] != '\0');
        require(rc == VARDA_CODEC_CORRUPT || rc == VARDA_CODEC_REFUSED);
        require(std::memcmp(&p, &untouched, sizeof p) == 0);
        return 0;
    }
    char text[VARDA_CODEC_PRODUCT_TEXT_MAX];
    size_t len = 0;
    require(varda_codec_product_save(&p, text, sizeof text, &len, err, sizeof err) == 0);
    varda_codec_product again;
    require(varda_codec_product_load(&again, text, len, err, sizeof err) == 0);
    require(std::memcmp(&again, &p, sizeof p) == 0);

    // Zeros are inside every lossy domain the stats can describe or the
    // encoder refuses them with a message; either way nothing breaks.
    std::vector<unsigned char> tile(4 * 3 * 8, 0), out(tile.size());
    std::vector<unsigned char> blob(varda_codec_bound(&p, 4, 3));
    require(!blob.empty());
    uint64_t blob_len = 0;
    if (varda_codec_encode(&p, tile.data(), 4, 3, blob.data(), blob.size(), &blob_len, err,
                           sizeof err) != 0) {
        require(err[0] != '\0');
        return 0;
    }
    require(varda_codec_decode(blob.data(), blob_len, out.data(), out.size(), err, sizeof err) ==
            0);
    return 0;
}
