// Arbitrary streams for the joins that rebuild values from two streams:
// intmult_join, floatquant_join, floatmult_join and binoffset_join. Byte 0
// picks the join and whether its output overwrites its first stream (where
// the join allows that), byte 1
// the element size (refused sizes included), bytes 2-9 the parameter (the
// multiplier, the cut, or the step as a raw double); the rest is split into
// the two streams.
//
// A refused size or multiplier writes nothing. Otherwise every element is
// the documented combination of its two inputs (whole-tile calls, with
// their vector loops, against one element at a time), the status flags
// exactly the inconsistent inputs, and whatever a join rebuilds, the host's
// splitter splits into streams that join back to the same bits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "join_split.h"
#include "varda_kernels.h"

namespace {

using Bytes = std::vector<unsigned char>;

void require(bool ok) {
    if (!ok) std::abort();
}

uint64_t get(const Bytes &b, size_t i, uint64_t es) {
    uint64_t v = 0;
    std::memcpy(&v, b.data() + i * es, es);
    return v;
}

// The join over whole streams, and element by element (which takes the
// scalar loop); both must give the same bits and the same status.
template <class Join>
int checked(Join join, Bytes &out, const Bytes &first, const Bytes &second, size_t count,
            uint64_t es, bool in_place) {
    Bytes single(es);
    int any = 0;
    for (size_t i = 0; i < count; ++i) {
        any |= join(single.data(), first.data() + i * es, second.data() + i * es, 1);
        std::memcpy(out.data() + i * es, single.data(), es);
    }
    Bytes whole(count * es, 0xA5);
    Bytes own_first = first;
    unsigned char *dst = in_place ? own_first.data() : whole.data();
    require(join(dst, own_first.data(), second.data(), count) == any);
    require(count == 0 || std::memcmp(dst, out.data(), count * es) == 0);
    return any;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 10) return 0;
    const unsigned kernel = data[0] % 4;
    const bool in_place = (data[0] >> 2) & 1;
    static const uint64_t sizes[] = {4, 8, 1, 2, 3, 0, 16, 4};
    const uint64_t es = sizes[data[1] % 8];
    uint64_t param;
    std::memcpy(&param, data + 2, 8);
    data += 10;
    size -= 10;
    const uint64_t unit = es ? es : 1;
    const size_t count = size / (2 * unit);
    const Bytes first(data, data + count * es), second(data + count * es, data + 2 * count * es);
    Bytes out(count * es, 0xA5);
    const bool fits = es == 1 || es == 2 || es == 4 || es == 8;
    const bool float_width = es == 4 || es == 8;
    const uint64_t mask = es >= 8 ? ~uint64_t(0) : es ? (uint64_t(1) << (8 * es)) - 1 : 0;

    if (kernel == 0) { // intmult_join
        const uint64_t mult = param % 4 == 0 ? param : param % 300;
        const auto join = [&](void *d, const void *q, const void *r, size_t n) {
            return intmult_join(d, q, r, n, es, mult);
        };
        if (mult < 2 || !fits) {
            require(join(out.data(), first.data(), second.data(), count) == 1);
            require(out == Bytes(count * es, 0xA5));
            return 0;
        }
        const int status = checked(join, out, first, second, count, es, in_place);
        const uint64_t m = mult & mask;
        bool bad = false;
        for (size_t i = 0; i < count; ++i) {
            const uint64_t r = get(second, i, es);
            require(get(out, i, es) == ((get(first, i, es) * m + r) & mask));
            bad |= r >= m;
        }
        require(status == int(bad));
        if (m >= 2) {
            Bytes q(count * es), r(count * es), back(count * es);
            require(host::intmult_split(q.data(), r.data(), out.data(), count, es, m) == 0);
            require(intmult_join(back.data(), q.data(), r.data(), count, es, m) == 0);
            require(back == out);
        }
        return 0;
    }

    if (kernel == 3) { // binoffset_join: widths in the first stream, low parts in the second
        Bytes widths(data, data + count);
        const auto join = [&](void *d, const void *w, const void *low, size_t n) {
            return binoffset_join(d, static_cast<const uint8_t *>(w), low, n, es);
        };
        if (!fits) {
            require(join(out.data(), widths.data(), second.data(), count) == 1);
            require(out == Bytes(count * es, 0xA5));
            return 0;
        }
        const unsigned bits = unsigned(8 * es);
        bool bad = false;
        std::vector<unsigned char> low = second;
        for (size_t i = 0; i < count; ++i) {
            Bytes single(es);
            const int flag = join(single.data(), widths.data() + i, low.data() + i * es, 1);
            std::memcpy(out.data() + i * es, single.data(), es);
            const unsigned w = widths[i];
            const uint64_t top = w ? uint64_t(1) << ((w - 1) % bits) : 0;
            const uint64_t l = get(low, i, es);
            require(get(out, i, es) == ((l | top) & mask));
            const bool flagged = l >= (top ? top : 1) || w > bits;
            require(flag == int(flagged));
            bad |= flagged;
        }
        Bytes whole(count * es);
        require(join(whole.data(), widths.data(), low.data(), count) == int(bad));
        require(whole == out);
        Bytes w2(count), l2(count * es), back(count * es);
        require(host::binoffset_split(w2.data(), l2.data(), out.data(), count, es) == 0);
        require(binoffset_join(back.data(), w2.data(), l2.data(), count, es) == 0);
        require(back == out);
        return 0;
    }

    if (kernel == 1) { // floatquant_join
        const auto shift = uint32_t(param);
        const auto join = [&](void *d, const void *h, const void *l, size_t n) {
            return floatquant_join(d, h, l, n, es, shift);
        };
        if (!float_width) {
            require(join(out.data(), first.data(), second.data(), count) == 1);
            require(out == Bytes(count * es, 0xA5));
            return 0;
        }
        const int status = checked(join, out, first, second, count, es, in_place);
        const unsigned bits = unsigned(8 * es), s = shift % bits;
        const uint64_t sign = uint64_t(1) << (bits - 1), half = sign >> s;
        const uint64_t ones = (uint64_t(1) << s) - 1;
        bool bad = false;
        for (size_t i = 0; i < count; ++i) {
            const uint64_t h = get(first, i, es), l = get(second, i, es);
            const uint64_t key = ((h << s) + (h >= half ? l : ones - l)) & mask;
            const uint64_t bits_out = key & sign ? key ^ sign : ~key & mask;
            require(get(out, i, es) == bits_out);
            bad |= (l >> s) != 0;
        }
        require(status == int(bad));
        Bytes h2(count * es), l2(count * es), back(count * es);
        require(host::floatquant_split(h2.data(), l2.data(), out.data(), count, es, shift) == 0);
        require(floatquant_join(back.data(), h2.data(), l2.data(), count, es, shift) == 0);
        require(back == out);
        return 0;
    }

    // floatmult_join
    double step;
    std::memcpy(&step, &param, 8);
    const auto join = [&](void *d, const void *q, const void *r, size_t n) {
        return floatmult_join(d, q, r, n, es, step);
    };
    if (!float_width) {
        require(join(out.data(), first.data(), second.data(), count) == 1);
        require(out == Bytes(count * es, 0xA5));
        return 0;
    }
    require(checked(join, out, first, second, count, es, false) == 0);
    Bytes q2(count * es), r2(count * es), back(count * es);
    require(host::floatmult_split(q2.data(), r2.data(), out.data(), count, es, step) == 0);
    require(floatmult_join(back.data(), q2.data(), r2.data(), count, es, step) == 0);
    require(back == out);
    return 0;
}
