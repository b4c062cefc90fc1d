// Arbitrary bin tables, selectors and packed bytes for the bit-packed
// binary-offset join, each in an exactly sized buffer so that ASan sees any
// read past one. Byte 0: element size (bits 0-1), nbins + 256 (bits 2-3
// both set), raw widths (bit 4); byte 1: nbins; bytes 2-3: the count. Then
// the widths, the bases, the selectors; the rest is the stream. The output
// must match a bit-at-a-time reading, and the status the consistency of the
// input. The full-width table join gets the same table and selectors.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varda_kernels.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

struct Input {
    const uint8_t *data;
    size_t size, at = 0;
    // n bytes, zeros once the input runs out.
    std::vector<uint8_t> take(size_t n) {
        std::vector<uint8_t> out(n);
        const size_t have = at < size ? std::min(n, size - at) : 0;
        if (have) std::memcpy(out.data(), data + at, have);
        at += n;
        return out;
    }
};

uint64_t read_bits(const std::vector<uint8_t> &packed, uint64_t p, unsigned w) {
    uint64_t v = 0;
    for (unsigned k = 0; k < w; ++k, ++p)
        if (p / 8 < packed.size() && ((packed[p / 8] >> (p % 8)) & 1)) v |= uint64_t(1) << k;
    return v;
}

uint64_t get(const std::vector<uint8_t> &bytes, size_t i, uint64_t es) {
    uint64_t v = 0;
    std::memcpy(&v, bytes.data() + i * es, es);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const uint64_t es = uint64_t(1) << (data[0] & 3);
    const unsigned bits = unsigned(8 * es);
    const uint32_t nbins = data[1] + ((data[0] & 0x0C) == 0x0C ? 256u : 0u);
    const size_t count = (size_t(data[2]) | size_t(data[3]) << 8) & 0x3FF;
    Input in{data, size, 4};
    const size_t table_size = nbins > 256 ? 1 : nbins;
    std::vector<uint8_t> widths = in.take(table_size);
    if (!(data[0] & 0x10))
        for (auto &w : widths) w = uint8_t(w % (bits + 1));
    const std::vector<uint8_t> bases = in.take(8 * table_size);
    const std::vector<uint8_t> bins = in.take(count);
    const std::vector<uint8_t> packed(data + std::min(in.at, size), data + size);

    bool table_ok = nbins >= 1 && nbins <= 256;
    for (uint32_t b = 0; table_ok && b < nbins; ++b) table_ok = widths[b] <= bits;
    const uint64_t mask = bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;

    std::vector<uint8_t> out(count * es, 0xA5);
    const int status = binoffset_unpack_join(out.data(), bins.data(), packed.data(), packed.size(),
                                             count, es, bases.data(), widths.data(), nbins);
    if (!table_ok) {
        require(status == 1);
        for (uint8_t byte : out) require(byte == 0xA5);
        return 0;
    }
    uint64_t p = 0;
    bool bad = false;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bins[i];
        uint64_t want = 0;
        if (b < nbins) {
            want = read_bits(packed, p, widths[b]) + get(bases, b, 8);
            p += widths[b];
        } else {
            bad = true;
        }
        require(get(out, i, es) == (want & mask));
    }
    require(status == int(bad || (p + 7) / 8 > packed.size()));

    // Full-width offsets: the stream's bytes, as many elements as it holds.
    const size_t n = std::min(count, packed.size() / es);
    std::vector<uint8_t> offsets(packed.begin(), packed.begin() + long(n * es));
    std::vector<uint8_t> joined(n * es);
    const int table_status = binoffset_join_table(joined.data(), bins.data(), offsets.data(), n, es,
                                                  bases.data(), widths.data(), nbins);
    bool stray = false;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = bins[i];
        const uint64_t offset = get(offsets, i, es);
        if (b < nbins) {
            require(get(joined, i, es) == ((offset + get(bases, b, 8)) & mask));
            stray |= widths[b] < bits && (offset >> widths[b]) != 0;
        } else {
            stray = true;
        }
    }
    require(table_status == int(stray));
    return 0;
}
