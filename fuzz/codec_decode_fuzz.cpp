// Arbitrary bytes as a tile blob, once as they come and once with the
// checksum made right, so that the fuzzer reaches the sections and chains
// behind it. The decoder must refuse or decode without touching memory
// outside the blob and the destination; a blob it accepts must read back
// its header, and decoding must be repeatable. The description read without
// the checksum must be the verified one wherever that one is given.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#include <xxhash.h>

#include "varda_codec.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

// A tile the blob could plausibly hold: up to 256 bytes of samples per byte
// of blob (never past 4 MiB). A larger claim gets a small destination,
// which the decoder must refuse; the buffers are left uninitialised and
// sized to the claim, so that a run costs what the blob asks for and a
// byte the decoder fails to write shows up as two decodes that differ.
uint64_t room_for(int header, const varda_codec_info &info, size_t size) {
    const uint64_t plausible = std::min<uint64_t>(uint64_t(1) << 22, 4096 + uint64_t(size) * 256);
    return header == 0 && info.raw_bytes <= plausible ? info.raw_bytes : 4096;
}

void decode_checked(std::vector<unsigned char> blob) {
    varda_codec_info info;
    char err[256];
    const int header = varda_codec_read_info(blob.data(), blob.size(), &info, err, sizeof err);
    varda_codec_info peeked;
    const int peek = varda_codec_peek_info(blob.data(), blob.size(), &peeked, err, sizeof err);
    require(peek == 0 || header != 0);
    if (header == 0) require(std::memcmp(&peeked, &info, sizeof info) == 0);
    // The fields a blob records beside its samples: read with every length
    // checked, with and without the checksum, and alike where both read.
    varda_codec_tile_meta meta, checked;
    const int fields =
        varda_codec_read_tile_meta(blob.data(), blob.size(), 0, &meta, err, sizeof err);
    const int fields_checked =
        varda_codec_read_tile_meta(blob.data(), blob.size(), 1, &checked, err, sizeof err);
    require(fields == 0 || fields_checked != 0);
    if (fields_checked == 0) require(std::memcmp(&meta, &checked, sizeof meta) == 0);
    const uint64_t room = room_for(header, info, blob.size());
    const std::unique_ptr<unsigned char[]> out(new unsigned char[room]);
    const int rc = varda_codec_decode(blob.data(), blob.size(), out.get(), room, err, sizeof err);
    if (rc == 0) {
        require(header == 0 && info.raw_bytes <= room);
        const std::unique_ptr<unsigned char[]> again(new unsigned char[room]);
        require(varda_codec_decode(blob.data(), blob.size(), again.get(), room, err, sizeof err) ==
                0);
        require(std::memcmp(out.get(), again.get(), info.raw_bytes) == 0);
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
