// Binary-offset joins: values rebuilt from a class per element and an offset
// inside the class, the offsets at full width or bit-packed. Every element
// is written; the status reports whether any input was inconsistent.
#include <cstring>

#include "frame/elem.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// The bin table spread over all 256 selector values: selectors at or past
// nbins get base 0 and width 0, so that a corrupt selector never reaches
// outside the caller's arrays.
template <Element T> struct Bins {
    T base[256]{};
    T mask[256]{}; // the offset bits the bin's width allows
    uint8_t width[256]{};

    Bins(const void *bases, const uint8_t *widths, uint32_t nbins) {
        for (uint32_t b = 0; b < nbins; ++b) {
            base[b] = T(load<uint64_t>(bases, b));
            width[b] = widths[b];
            mask[b] = widths[b] >= bits_of<T> ? T(~T(0)) : T((T(1) << widths[b]) - 1u);
        }
    }
};

// Checks of the table and the element size, in the documented order.
bool valid_table(const uint8_t *widths, uint32_t nbins, uint64_t elem_size) {
    if (nbins - 1u >= 256u) return false;
    for (uint32_t b = 0; b < nbins; ++b)
        if (widths[b] > 8 * elem_size) return false;
    return valid_elem_size(elem_size);
}

template <Element T>
int join_classes(void *dst, const uint8_t *widths, const void *low, size_t count) {
    bool bad = false;
    for (size_t i = 0; i < count; ++i) {
        const unsigned w = widths[i];
        // The shift wraps like the hardware's, so an out-of-range class still
        // yields some bit; it is flagged below.
        const T top = w ? T(T(1) << ((w - 1) & (bits_of<T> - 1))) : T(0);
        const T v = load<T>(low, i);
        store<T>(dst, i, T(v | top));
        bad |= (v >= (top | T(w == 0))) | (w > bits_of<T>);
    }
    return bad;
}

template <Element T>
int join_table(void *dst, const uint8_t *bins, const void *offsets, size_t count,
               const Bins<T> &table, uint32_t nbins) {
    T stray = 0;
    bool bad_bin = false;
    for (size_t i = 0; i < count; ++i) {
        const unsigned b = bins[i];
        const T offset = load<T>(offsets, i);
        store<T>(dst, i, add(offset, table.base[b]));
        stray |= T(offset & ~table.mask[b]);
        bad_bin |= b >= nbins;
    }
    return stray != 0 || bad_bin;
}

// The bit reader: 8-byte little-endian loads at byte p / 8, shifted by
// p mod 8, with the ninth byte for offsets that straddle the word. Only
// 64-bit offsets can straddle (p mod 8 + width > 64 needs width > 56).
template <Element T>
int unpack_join(void *dst, const uint8_t *bins, const unsigned char *packed, uint64_t packed_len,
                size_t count, const Bins<T> &table, uint32_t nbins) {
    uint64_t p = 0;
    bool bad_bin = false;
    size_t i = 0;
    auto emit = [&](unsigned b, uint64_t word) {
        store<T>(dst, i, add(T(T(word) & table.mask[b]), table.base[b]));
        p += table.width[b];
        bad_bin |= b >= nbins;
    };

    // While nine bytes remain at p / 8 the loads need no bounds. Bits of the
    // ninth byte that land at or above the width are masked off, so it is
    // merged unconditionally; (x << 1) << (63 - s) is x << (64 - s) without
    // a full-width shift when s is 0.
    if (packed_len >= 9) {
        const uint64_t last_free = packed_len - 9;
        for (; i < count && (p >> 3) <= last_free; ++i) {
            const unsigned char *at_byte = packed + (p >> 3);
            const unsigned s = unsigned(p & 7);
            uint64_t word = load<uint64_t>(at_byte, 0) >> s;
            if constexpr (sizeof(T) == 8) word |= (uint64_t(at_byte[8]) << 1) << (63 - s);
            emit(bins[i], word);
        }
    }
    // The last eight bytes and past them, where no ninth byte exists: missing
    // bytes read as zero and are never touched.
    for (; i < count; ++i) {
        const uint64_t byte = p >> 3;
        uint64_t word = 0;
        if (byte < packed_len) {
            const uint64_t left = packed_len - byte;
            std::memcpy(&word, packed + byte, left < 8 ? size_t(left) : 8);
            word >>= p & 7;
        }
        emit(bins[i], word);
    }
    return bad_bin || (p + 7) / 8 > packed_len;
}

} // namespace

extern "C" VARDA_API int binoffset_join(void *dst, const uint8_t *widths, const void *low,
                                        uint64_t count, uint64_t elem_size) {
    return with_width(elem_size, 1,
                      [&]<Element T>() { return join_classes<T>(dst, widths, low, count); });
}

extern "C" VARDA_API int binoffset_join_table(void *dst, const uint8_t *bins, const void *offsets,
                                              uint64_t count, uint64_t elem_size, const void *bases,
                                              const uint8_t *widths, uint32_t nbins) {
    if (!valid_table(widths, nbins, elem_size)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        const Bins<T> table(bases, widths, nbins);
        return join_table<T>(dst, bins, offsets, count, table, nbins);
    });
}

extern "C" VARDA_API int binoffset_unpack_join(void *dst, const uint8_t *bins, const void *packed,
                                               uint64_t packed_len, uint64_t count,
                                               uint64_t elem_size, const void *bases,
                                               const uint8_t *widths, uint32_t nbins) {
    if (!valid_table(widths, nbins, elem_size)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        const Bins<T> table(bases, widths, nbins);
        return unpack_join<T>(dst, bins, static_cast<const unsigned char *>(packed), packed_len,
                              count, table, nbins);
    });
}
