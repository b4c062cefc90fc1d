// Decode-side joins against their definitions and against the splitters a
// host would run before them.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>

#include "join_split.h"
#include "support/join_oracle.h"
#include "support/support.h"

using vt::Bytes;
using vt::Elems;

namespace {

// Values of every bit length, so that every class and bin width occurs.
Elems spread_field(uint64_t es, size_t count, uint32_t seed) {
    std::mt19937_64 rng(seed);
    Elems out(es, count);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t bits = rng();
        const unsigned drop = unsigned(rng() % 65);
        out.set(i, drop == 64 ? 0 : bits >> drop);
    }
    return out;
}

// A bin table of `nbins` random bins of the element's widths.
struct Table {
    std::vector<uint64_t> bases;
    std::vector<uint8_t> widths;
    uint32_t nbins() const { return uint32_t(widths.size()); }
};

Table random_table(uint64_t es, uint32_t nbins, std::mt19937_64 &rng) {
    Table t;
    for (uint32_t b = 0; b < nbins; ++b) {
        t.bases.push_back(rng());
        t.widths.push_back(uint8_t(rng() % (8 * es + 1)));
    }
    return t;
}

// Selectors below nbins and offsets that fit their bins.
struct Offsets {
    Bytes bins;
    Elems offsets;
};

Offsets random_offsets(const Table &t, uint64_t es, size_t count, std::mt19937_64 &rng) {
    Offsets o{Bytes(count), Elems(es, count)};
    for (size_t i = 0; i < count; ++i) {
        o.bins[i] = uint8_t(rng() % t.nbins());
        const unsigned w = t.widths[o.bins[i]];
        o.offsets.set(i, w == 64 ? rng() : rng() & ((uint64_t(1) << w) - 1));
    }
    return o;
}

Bytes pack(const Offsets &o, const Table &t) {
    Bytes packed(host::binoffset_packed_size(o.bins.data(), o.bins.size(), t.widths.data()));
    host::binoffset_pack(packed.data(), o.bins.data(), o.offsets.data(), o.bins.size(),
                         o.offsets.elem_size, t.widths.data());
    return packed;
}

// Two pages, the second unreadable: bytes copied to end() - n have nothing
// readable after them.
struct GuardedPage {
    size_t size = size_t(sysconf(_SC_PAGESIZE));
    unsigned char *base;
    GuardedPage() {
        void *m =
            mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(m, MAP_FAILED);
        base = static_cast<unsigned char *>(m);
        EXPECT_EQ(mprotect(base + size, size, PROT_NONE), 0);
    }
    ~GuardedPage() { munmap(base, 2 * size); }
    const unsigned char *place_at_end(const void *bytes, size_t n) {
        unsigned char *at = base + size - n;
        if (n) std::memcpy(at, bytes, n);
        return at;
    }
};

const float inf_f = std::numeric_limits<float>::infinity();
const double inf_d = std::numeric_limits<double>::infinity();

// Bit patterns worth a float join's attention, then random ones.
Elems float_field(uint64_t es, size_t count, uint32_t seed) {
    std::vector<uint64_t> special;
    if (es == 4) {
        for (float f : {0.0f, -0.0f, inf_f, -inf_f, 1.0f, -1.5f, 1e-45f, -1e-45f, 3.4e38f, 0.1f})
            special.push_back(std::bit_cast<uint32_t>(f));
        for (uint32_t nan : {0x7FC00000u, 0x7F800001u, 0xFFC00001u, 0xFFFFFFFFu, 0x7FFFFFFFu})
            special.push_back(nan);
    } else {
        for (double f : {0.0, -0.0, inf_d, -inf_d, 1.0, -1.5, 5e-324, -5e-324, 1.7e308, 0.1})
            special.push_back(std::bit_cast<uint64_t>(f));
        for (uint64_t nan : {0x7FF8000000000000ull, 0x7FF0000000000001ull, 0xFFF8000000000001ull,
                             0xFFFFFFFFFFFFFFFFull, 0x7FFFFFFFFFFFFFFFull})
            special.push_back(nan);
    }
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> around(0.0, 100.0);
    Elems out(es, count);
    for (size_t i = 0; i < count; ++i) {
        if (i < special.size()) {
            out.set(i, special[i]);
        } else if (i % 2) {
            out.set(i, rng());
        } else {
            const double v = around(rng);
            out.set(i, es == 4 ? std::bit_cast<uint32_t>(float(v)) : std::bit_cast<uint64_t>(v));
        }
    }
    return out;
}

} // namespace

// ---- Binary-offset joins -------------------------------------------------

TEST(BinoffsetJoin, WorkedValues) {
    const struct {
        uint64_t es;
        uint8_t w;
        uint64_t low, want;
        int status;
    } cases[] = {
        {1, 0, 0, 0, 0},
        {1, 0, 1, 1, 1}, // class 0 holds only 0
        {1, 8, 5, 133, 0},
        {1, 8, 127, 255, 0},
        {1, 8, 128, 128, 1},
        {1, 9, 2, 3, 1}, // too wide: the shift wraps to bit 0
        {2, 1, 0, 1, 0},
        {2, 1, 1, 1, 1},
        {4, 32, 0x7FFFFFFF, 0xFFFFFFFF, 0},
        {8, 64, 5, 0x8000000000000005ull, 0},
        {8, 65, 6, 7, 1},
    };
    for (const auto &c : cases) {
        Elems low(c.es, 1), out(c.es, 1);
        low.set(0, c.low);
        EXPECT_EQ(binoffset_join(out.data(), &c.w, low.data(), 1, c.es), c.status)
            << "es " << c.es << " w " << int(c.w) << " low " << c.low;
        EXPECT_EQ(out.get(0), c.want) << "es " << c.es << " w " << int(c.w);
    }
    // A flagged element does not stop the others.
    const uint8_t widths[] = {3, 0, 4};
    const uint8_t low[] = {1, 1, 7};
    uint8_t out[3];
    EXPECT_EQ(binoffset_join(out, widths, low, 3, 1), 1);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[2], 15);

    auto canary = vt::canary(8);
    EXPECT_EQ(binoffset_join(canary.data(), widths, low, 3, 3), 1);
    EXPECT_EQ(binoffset_join(canary.data(), widths, low, 0, 8), 0);
    EXPECT_EQ(canary, vt::canary(8));
}

// Table and size refusals come before any output.
TEST(BinoffsetJoin, TableRefusals) {
    const uint64_t bases[257] = {};
    const uint8_t fine[257] = {};
    uint8_t wide64[2] = {64, 1}, wide65[2] = {1, 65}, wide9[1] = {9};
    const struct {
        uint64_t es;
        const uint8_t *widths;
        uint32_t nbins;
        int status;
    } cases[] = {{1, fine, 0, 1},   {1, fine, 257, 1}, {1, fine, 256, 0}, {8, wide64, 2, 0},
                 {8, wide65, 2, 1}, {1, wide9, 1, 1},  {2, wide9, 1, 0},  {3, fine, 1, 1},
                 {0, fine, 1, 1},   {16, fine, 1, 1}};
    const uint8_t bins[4] = {0, 0, 0, 0};
    const Bytes zeros(64), packed(64);
    for (const auto &c : cases) {
        auto dst = vt::canary(64);
        EXPECT_EQ(
            binoffset_join_table(dst.data(), bins, zeros.data(), 4, c.es, bases, c.widths, c.nbins),
            c.status)
            << "es " << c.es << " nbins " << c.nbins;
        if (c.status) {
            EXPECT_EQ(dst, vt::canary(64));
        }
        dst = vt::canary(64);
        EXPECT_EQ(binoffset_unpack_join(dst.data(), bins, packed.data(), packed.size(), 4, c.es,
                                        bases, c.widths, c.nbins),
                  c.status)
            << "es " << c.es << " nbins " << c.nbins;
        if (c.status) {
            EXPECT_EQ(dst, vt::canary(64));
        }
    }
}

// Whatever the splitters make, the joins give back, with status 0: classes,
// the class table, random tables, full-width and packed offsets.
TEST(BinoffsetJoin, SplitThenJoinRestores) {
    std::mt19937_64 rng(5);
    auto through_table = [](const Table &t, const Elems &x) {
        const uint64_t es = x.elem_size;
        const size_t count = x.count();
        Offsets o{Bytes(count), Elems(es, count)};
        ASSERT_EQ(host::binoffset_split_table(o.bins.data(), o.offsets.data(), x.data(), count, es,
                                              t.bases.data(), t.widths.data(), t.nbins()),
                  0);
        Elems y(es, count), z(es, count);
        ASSERT_EQ(binoffset_join_table(y.data(), o.bins.data(), o.offsets.data(), count, es,
                                       t.bases.data(), t.widths.data(), t.nbins()),
                  0);
        ASSERT_EQ(y, x) << "es " << es << " nbins " << t.nbins();
        const Bytes packed = pack(o, t);
        ASSERT_EQ(binoffset_unpack_join(z.data(), o.bins.data(), packed.data(), packed.size(),
                                        count, es, t.bases.data(), t.widths.data(), t.nbins()),
                  0);
        ASSERT_EQ(z, x) << "es " << es << " nbins " << t.nbins();
    };
    for (uint64_t es : vt::widths) {
        for (size_t count : {size_t(0), size_t(1), size_t(7), size_t(1000)}) {
            const Elems x = spread_field(es, count, unsigned(count + es));
            Bytes classes(count);
            Elems low(es, count), y(es, count);
            ASSERT_EQ(host::binoffset_split(classes.data(), low.data(), x.data(), count, es), 0);
            ASSERT_EQ(binoffset_join(y.data(), classes.data(), low.data(), count, es), 0);
            ASSERT_EQ(y, x) << "es " << es;

            Table by_class{std::vector<uint64_t>(65), Bytes(65)};
            const uint32_t n =
                host::binoffset_class_table(by_class.bases.data(), by_class.widths.data(), es);
            by_class.bases.resize(n);
            by_class.widths.resize(n);
            through_table(by_class, x);

            // A random table need not hold every value: values drawn from its bins.
            const Table t = random_table(es, uint32_t(1 + rng() % 256), rng);
            const Offsets drawn = random_offsets(t, es, count, rng);
            Elems held(es, count);
            for (size_t i = 0; i < count; ++i)
                held.set(i, drawn.offsets.get(i) + t.bases[drawn.bins[i]]);
            through_table(t, held);
        }
    }
}

// Corrupt elements set the status and leave the rest intact. A selector
// past the table counts as base 0, width 0.
TEST(BinoffsetJoin, CorruptElementsAreFlaggedAndTheRestWritten) {
    const uint64_t bases[3] = {100, 0x1000, 7};
    const uint8_t widths[3] = {4, 8, 0};
    const uint8_t bins[5] = {0, 3, 1, 255, 2};
    const uint16_t offsets[5] = {9, 5, 0x1FF, 6, 0};
    uint16_t out[5];
    EXPECT_EQ(binoffset_join_table(out, bins, offsets, 5, 2, bases, widths, 3), 1);
    const uint16_t want[5] = {109, 5, 0x11FF, 6, 7};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], want[i]) << i;

    const uint8_t good[5] = {0, 1, 2, 1, 0};
    EXPECT_EQ(binoffset_join_table(out, good, offsets, 5, 2, bases, widths, 3), 1); // 0x1FF
    const uint16_t fitting[5] = {9, 5, 0, 0xFF, 15};
    EXPECT_EQ(binoffset_join_table(out, good, fitting, 5, 2, bases, widths, 3), 0);

    // Packed: 4 bits of 9, nothing for the stray selector, 8 bits of 0xAB.
    const uint8_t stream_bins[3] = {0, 200, 1};
    const unsigned char packed[2] = {0xB9, 0x0A};
    EXPECT_EQ(binoffset_unpack_join(out, stream_bins, packed, 2, 3, 2, bases, widths, 3), 1);
    EXPECT_EQ(out[0], 109);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 0x10AB);
}

TEST(BinoffsetUnpack, WorkedStreams) {
    // All widths 0: no stream at all, the bases come out.
    const uint64_t bases[2] = {0x1122334455667788ull, 3};
    const uint8_t zero_widths[2] = {0, 0}, bins[3] = {1, 0, 1};
    uint32_t out32[3];
    EXPECT_EQ(binoffset_unpack_join(out32, bins, nullptr, 0, 3, 4, bases, zero_widths, 2), 0);
    EXPECT_EQ(out32[0], 3u);
    EXPECT_EQ(out32[1], 0x55667788u);
    EXPECT_EQ(out32[2], 3u);
    EXPECT_EQ(binoffset_unpack_join(out32, bins, nullptr, 0, 0, 4, bases, zero_widths, 2), 0);

    // Width 64 takes the whole word; then 7 bits, and 60 bits from bit 7 of
    // byte 8, whose top bits come from the ninth byte.
    const uint64_t zero_bases[3] = {0, 0, 0};
    const uint8_t widths[3] = {64, 7, 60}, sel[3] = {0, 1, 2};
    const uint64_t want[3] = {0xFEDCBA9876543210ull, 0x55, 0xFEDCBA987654321ull};
    Offsets o{Bytes(sel, sel + 3), Elems(8, 3)};
    for (int i = 0; i < 3; ++i) o.offsets.set(i, want[i]);
    const Bytes packed = pack(o, Table{{0, 0, 0}, {64, 7, 60}});
    ASSERT_EQ(packed.size(), 17u);
    EXPECT_EQ(packed[16], 0x07); // the last 3 bits of the 60
    GuardedPage page;
    const unsigned char *at_end = page.place_at_end(packed.data(), packed.size());
    uint64_t out64[3];
    EXPECT_EQ(binoffset_unpack_join(out64, sel, at_end, packed.size(), 3, 8, zero_bases, widths, 3),
              0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out64[i], want[i]) << i;

    // One byte short: flagged, every element written, the missing byte zero.
    at_end = page.place_at_end(packed.data(), packed.size() - 1);
    EXPECT_EQ(
        binoffset_unpack_join(out64, sel, at_end, packed.size() - 1, 3, 8, zero_bases, widths, 3),
        1);
    EXPECT_EQ(out64[0], want[0]);
    EXPECT_EQ(out64[1], want[1]);
    EXPECT_EQ(out64[2], want[2] & ~(uint64_t(7) << 57));
}

// Random tables, valid selectors and random streams of random lengths
// (many too short): the word-wise reader equals the bit-at-a-time one, with
// each stream at the end of a readable page.
TEST(BinoffsetUnpack, MatchesBitReaderUpToTheLastReadableByte) {
    std::mt19937_64 rng(11);
    GuardedPage page;
    for (uint64_t es : vt::widths) {
        for (int round = 0; round < 60; ++round) {
            const Table t = random_table(es, uint32_t(1 + rng() % 8), rng);
            const size_t count = rng() % 90;
            const Offsets o = random_offsets(t, es, count, rng);
            uint64_t need = 0;
            for (uint8_t b : o.bins) need += t.widths[b];
            need = (need + 7) / 8;
            const int64_t shortfall = int64_t(rng() % 12) - 2 - 10 * (round % 2);
            const size_t len = size_t(std::max<int64_t>(0, int64_t(need) - shortfall));
            Bytes stream(len);
            for (auto &byte : stream) byte = uint8_t(rng());
            const unsigned char *packed = page.place_at_end(stream.data(), len);
            Elems out(es, count);
            ASSERT_EQ(binoffset_unpack_join(out.data(), o.bins.data(), packed, len, count, es,
                                            t.bases.data(), t.widths.data(), t.nbins()),
                      need > len ? 1 : 0);
            uint64_t p = 0;
            for (size_t i = 0; i < count; ++i) {
                const unsigned w = t.widths[o.bins[i]];
                const uint64_t v = vt::ref_read_bits(stream.data(), len, p, w) + t.bases[o.bins[i]];
                ASSERT_EQ(out.get(i), v & vt::mask_of(es)) << "es " << es << " element " << i;
                p += w;
            }
        }
    }
}

// Tables at the end of a page and selectors far past them: nothing outside
// the given arrays is read.
TEST(BinoffsetUnpack, StraySelectorsStayInsideTheTable) {
    GuardedPage bases_page, widths_page;
    const uint64_t bases[2] = {1, 2};
    const uint8_t widths[2] = {3, 5};
    const unsigned char *b = bases_page.place_at_end(bases, sizeof(bases));
    const uint8_t *w = widths_page.place_at_end(widths, sizeof(widths));
    const uint8_t bins[4] = {255, 2, 1, 128};
    const Bytes packed{0xFF, 0xFF};
    uint64_t out[4];
    EXPECT_EQ(binoffset_unpack_join(out, bins, packed.data(), 2, 4, 8, b, w, 2), 1);
    EXPECT_EQ(out[2], 2u + 31);
    EXPECT_EQ(binoffset_join_table(out, bins, out, 4, 8, b, w, 2), 1);
}

// ---- Multiples and float keys ------------------------------------------

TEST(IntmultJoin, WorkedValues) {
    const struct {
        uint64_t mult;
        uint8_t quot, rem, want;
        int status;
    } cases[] = {
        {10, 25, 5, 255, 0},
        {10, 25, 10, 4, 1}, // still written, wrapped
        {256, 7, 9, 9, 1},  // 256 is 0 in a byte: every remainder is too large
        {258, 3, 1, 7, 0},  // taken at the element width: 2
    };
    for (const auto &c : cases) {
        uint8_t out = 0;
        EXPECT_EQ(intmult_join(&out, &c.quot, &c.rem, 1, 1, c.mult), c.status) << c.mult;
        EXPECT_EQ(out, c.want) << c.mult;
    }
    const Elems q = vt::random_field(8, 4, 1);
    for (const auto &[mult, es] : {std::pair<uint64_t, uint64_t>{1, 1}, {0, 4}, {10, 3}, {10, 0}}) {
        auto dst = vt::canary(32);
        EXPECT_EQ(intmult_join(dst.data(), q.data(), q.data(), 4, es, mult), 1);
        EXPECT_EQ(dst, vt::canary(32));
    }
    EXPECT_EQ(intmult_join(nullptr, nullptr, nullptr, 0, 2, 3), 0);
}

// One remainder at or above the multiplier, in any lane of a vector block,
// among remainders just below it.
TEST(IntmultJoin, EveryLaneChecksItsRemainder) {
    for (uint64_t es : vt::widths) {
        const uint64_t max = vt::mask_of(es);
        for (uint64_t mult : {uint64_t(10), max - 1, (uint64_t(1) << 32) + 5}) {
            if (mult > max) continue;
            for (uint64_t stray : {mult, mult + 1, max}) {
                for (size_t at = 0; at < 40; at += 1 + at / 8) {
                    Elems quot(es, 40), rem(es, 40), out(es, 40);
                    for (size_t i = 0; i < 40; ++i) rem.set(i, i == at ? stray : mult - 1);
                    ASSERT_EQ(intmult_join(out.data(), quot.data(), rem.data(), 40, es, mult), 1)
                        << "es " << es << " mult " << mult << " at " << at;
                    rem.set(at, mult - 1);
                    ASSERT_EQ(intmult_join(out.data(), quot.data(), rem.data(), 40, es, mult), 0);
                }
            }
        }
    }
}

TEST(IntmultJoin, SplitThenJoinRestores) {
    for (uint64_t es : vt::widths) {
        const Elems x = spread_field(es, 1001, unsigned(es));
        for (uint64_t mult :
             {uint64_t(2), uint64_t(3), uint64_t(10), uint64_t(255), uint64_t(1000),
              uint64_t(65535), uint64_t(0xFFFFFFFF), uint64_t(0x8000000000003039ull)}) {
            Elems quot(es, x.count()), rem(es, x.count()), y(es, x.count());
            if (host::intmult_split(quot.data(), rem.data(), x.data(), x.count(), es, mult))
                continue; // does not fit the element
            ASSERT_EQ(intmult_join(y.data(), quot.data(), rem.data(), x.count(), es, mult), 0);
            ASSERT_EQ(y, x) << "es " << es << " mult " << mult;
        }
    }
}

TEST(FloatquantJoin, WorkedValues) {
    // Shift 0: the high part is the key.
    const uint32_t key = std::bit_cast<uint32_t>(1.5f) ^ 0x80000000u, zero = 0, one = 1;
    uint32_t out = 0;
    EXPECT_EQ(floatquant_join(&out, &key, &zero, 1, 4, 0), 0);
    EXPECT_EQ(out, std::bit_cast<uint32_t>(1.5f));
    EXPECT_EQ(floatquant_join(&out, &key, &one, 1, 4, 0), 1);
    EXPECT_EQ(floatquant_join(&out, &key, &one, 1, 4, 32), 1); // the shift is taken mod 32

    // Shift 4, a key of the negative half: a low part of 0 stands for 15.
    EXPECT_EQ(floatquant_join(&out, &one, &zero, 1, 4, 4), 0);
    EXPECT_EQ(out, ~uint32_t(31));
    const uint32_t sixteen = 16;
    EXPECT_EQ(floatquant_join(&out, &one, &sixteen, 1, 4, 4), 1);

    const uint64_t high = std::bit_cast<uint64_t>(-2.0) >> 60 ^ 0xF, low = 0;
    uint64_t out64 = 0;
    EXPECT_EQ(floatquant_join(&out64, &high, &low, 1, 8, 60), 0);
    EXPECT_EQ(out64, std::bit_cast<uint64_t>(-2.0));

    auto dst = vt::canary(8);
    for (uint64_t es : {0, 1, 2, 3, 16})
        EXPECT_EQ(floatquant_join(dst.data(), &key, &key, 1, es, 0), 1);
    EXPECT_EQ(dst, vt::canary(8));
}

TEST(FloatquantJoin, SplitThenJoinRestoresEveryShift) {
    for (uint64_t es : {4, 8}) {
        const Elems x = float_field(es, 203, unsigned(es));
        for (uint32_t shift = 0; shift < 8 * es + 2; ++shift) {
            Elems high(es, x.count()), low(es, x.count()), y(es, x.count());
            ASSERT_EQ(
                host::floatquant_split(high.data(), low.data(), x.data(), x.count(), es, shift), 0);
            ASSERT_EQ(floatquant_join(y.data(), high.data(), low.data(), x.count(), es, shift), 0);
            ASSERT_EQ(y, x) << "es " << es << " shift " << shift;
        }
    }
}

// Vector blocks give the scalar loop's bytes and status on every count and
// every placement of the output against the inputs, overlapping included.
TEST(TwoStreamJoins, VectorBlocksMatchTheScalarLoop) {
    std::mt19937_64 rng(3);
    struct Join {
        uint64_t es;
        bool floatquant;
    };
    const Join joins[] = {{1, false}, {2, false}, {4, false}, {8, false}, {4, true}, {8, true}};
    for (const Join &j : joins) {
        const uint64_t es = j.es;
        const uint64_t mult = 3 + rng() % 200;
        const uint32_t shift = uint32_t(rng() % (8 * es));
        auto ref = [&](uint64_t a, uint64_t b, bool &bad) {
            if (j.floatquant) {
                bad |= (b >> shift) != 0;
                return vt::ref_floatquant(a, b, es, shift);
            }
            bad |= b >= (mult & vt::mask_of(es));
            return vt::ref_intmult(a, b, es, mult);
        };
        auto kernel = [&](void *dst, const void *a, const void *b, size_t count) {
            return j.floatquant ? floatquant_join(dst, a, b, count, es, shift)
                                : intmult_join(dst, a, b, count, es, mult);
        };
        for (size_t count : {0, 1, 3, 15, 16, 17, 33, 64, 100}) {
            const size_t span = count * es, gap = 64;
            // Second input at `gap` bytes: the output lands before, on or
            // after either input, a byte at a time.
            for (int off = -int(gap) - 8; off <= int(span + gap) + 24; off += (off % 7 ? 1 : 5)) {
                Bytes buf(3 * gap + 2 * span + 64);
                for (auto &byte : buf) byte = uint8_t(rng());
                // Small remainders and clean low parts, so that most runs pass.
                for (size_t i = 0; i < count && rng() % 2; ++i) {
                    const uint64_t small = j.floatquant ? rng() & ((uint64_t(1) << shift) - 1)
                                                        : rng() % (mult & vt::mask_of(es));
                    std::memcpy(buf.data() + 2 * gap + span + i * es, &small, es);
                }
                const size_t a_at = gap + 16, b_at = 2 * gap + span;
                const size_t dst_at = size_t(int(a_at) + off);
                Bytes want = buf;
                bool bad = false;
                vt::ref_join_in_buffer(want, dst_at, a_at, b_at, count, es,
                                       [&](uint64_t a, uint64_t b) { return ref(a, b, bad); });
                ASSERT_EQ(kernel(buf.data() + dst_at, buf.data() + a_at, buf.data() + b_at, count),
                          int(bad))
                    << "es " << es << " count " << count << " off " << off;
                ASSERT_TRUE(buf == want) << "es " << es << " count " << count << " off " << off
                                         << (j.floatquant ? " floatquant" : " intmult");
            }
        }
    }
}

TEST(FloatmultJoin, WorkedValues) {
    const uint32_t s = 0x80000000u;
    const struct {
        uint32_t index, residual;
        float step;
        uint32_t want;
    } cases[] = {
        {s, 0, 1.0f, 0xFFFFFFFFu},                       // T(S): +0's key is S
        {s, s, 1.0f, 0},                                 // +0 back
        {s + 3, s, 0.5f, std::bit_cast<uint32_t>(1.5f)}, // the prediction itself
        {s + 3, s + 1, 0.5f, std::bit_cast<uint32_t>(1.5f) + 1},
        {s - 1, s, 2.0f, std::bit_cast<uint32_t>(-0.0f)}, // MAX is -0
        {s - 4, s, 2.0f, std::bit_cast<uint32_t>(-6.0f)},
        {s + (1u << 24) + 1, s, 1.0f, std::bit_cast<uint32_t>(16777218.0f)}, // next float
    };
    for (const auto &c : cases) {
        uint32_t out = 0;
        EXPECT_EQ(floatmult_join(&out, &c.index, &c.residual, 1, 4, c.step), 0);
        EXPECT_EQ(out, c.want) << std::hex << c.index << " " << c.residual;
    }
    const uint64_t s64 = uint64_t(1) << 63, index = s64 + 3;
    uint64_t out64 = 0;
    EXPECT_EQ(floatmult_join(&out64, &index, &s64, 1, 8, 0.5), 0);
    EXPECT_EQ(out64, std::bit_cast<uint64_t>(1.5));

    // Single precision rounds the step once, then multiplies in single.
    const double step = 1.0 + 0x1p-24 + 0x1p-30;
    const float once = 3.0f * float(step);
    ASSERT_NE(once, float(3.0 * step));
    const uint32_t three = s + 3;
    uint32_t out = 0;
    EXPECT_EQ(floatmult_join(&out, &three, &s, 1, 4, step), 0);
    EXPECT_EQ(out, std::bit_cast<uint32_t>(once));

    auto dst = vt::canary(8);
    for (uint64_t es : {0, 1, 2, 3, 16})
        EXPECT_EQ(floatmult_join(dst.data(), &s, &s, 1, es, 1.0), 1);
    EXPECT_EQ(dst, vt::canary(8));
}

TEST(FloatmultJoin, SplitThenJoinRestores) {
    const double steps[] = {0.5,   0.1,    1e-3,  3.0,   1e30,   0.0,
                            -0.25, 1e-300, 1e-45, inf_d, -inf_d, std::nan("")};
    for (uint64_t es : {4, 8}) {
        const Elems x = float_field(es, 301, unsigned(es + 1));
        for (double step : steps) {
            Elems index(es, x.count()), residual(es, x.count()), y(es, x.count());
            ASSERT_EQ(
                host::floatmult_split(index.data(), residual.data(), x.data(), x.count(), es, step),
                0);
            ASSERT_EQ(floatmult_join(y.data(), index.data(), residual.data(), x.count(), es, step),
                      0);
            ASSERT_EQ(y, x) << "es " << es << " step " << step;
        }
    }
}

// ---- Byte unshuffle ------------------------------------------------------

TEST(Unshuffle, WorkedValuesAndOverlapForSingleBytes) {
    const unsigned char planes[8] = {'a', 'A', 'b', 'B', 'c', 'C', 'd', 'D'};
    unsigned char out[8];
    blocked_transpose_zstd_unshuffle(out, planes, 2, 4);
    EXPECT_EQ(std::memcmp(out, "abcdABCD", 8), 0);

    for (uint64_t es : {0, 1, 2, 3, 4, 8, 16}) {
        auto dst = vt::canary(16);
        blocked_transpose_zstd_unshuffle(dst.data(), planes, 0, es);
        EXPECT_EQ(dst, vt::canary(16));
    }
    Bytes src(64);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i);
    for (int shift : {0, 3, -3, 17, -17}) {
        Bytes buf(128);
        std::memcpy(buf.data() + 32, src.data(), 64);
        blocked_transpose_zstd_unshuffle(buf.data() + 32 + shift, buf.data() + 32, 64, 1);
        EXPECT_EQ(std::memcmp(buf.data() + 32 + shift, src.data(), 64), 0) << shift;
    }
}

TEST(Unshuffle, ShuffleThenUnshuffleRestoresAnySize) {
    for (uint64_t es : {2, 3, 4, 5, 7, 8, 12, 16, 33}) {
        for (size_t count : {1, 2, 15, 16, 17, 31, 64, 65, 200, 1027}) {
            const Elems x = vt::random_field(1, count * es, unsigned(count * es));
            Bytes planes(count * es), out(count * es + 3);
            host::blocked_transpose_zstd_shuffle(planes.data(), x.data(), count, es);
            for (size_t i = 0; i < count; ++i)
                for (size_t j = 0; j < es; ++j)
                    ASSERT_EQ(planes[j * count + i], x.bytes[i * es + j]);
            blocked_transpose_zstd_unshuffle(out.data() + 3, planes.data(), count, es);
            ASSERT_EQ(std::memcmp(out.data() + 3, x.data(), count * es), 0)
                << "es " << es << " count " << count;
        }
    }
}

// Stored streams must keep decoding to the same values: each join on fixed
// pseudo-random streams, checksummed.
TEST(Joins, GoldenOutputs) {
    const size_t count = 300;
    const Elems a = vt::random_field(8, count, 21), b = spread_field(8, count, 22);
    Bytes selectors(count), classes(count);
    for (size_t i = 0; i < count; ++i) {
        selectors[i] = uint8_t(a.bytes[i] % 5);
        classes[i] = uint8_t(a.bytes[i] % 33);
    }
    const uint64_t bases[5] = {1, 0x100, 0xFFFF0000, 0x123456789ull, ~uint64_t(0)};
    const uint8_t widths[5] = {0, 3, 13, 29, 32};
    uint64_t h = 0;
    for (uint64_t es : {4, 8}) {
        // Indices of finite predictions: no NaN arithmetic, whose payloads
        // differ between processors.
        Elems index(es, count);
        const uint64_t sign = uint64_t(1) << (8 * es - 1);
        for (size_t i = 0; i < count; ++i) {
            const uint64_t small = a.get(i) % 100000;
            index.set(i, a.bytes[i] & 1 ? sign + small : sign - 1 - small);
        }
        const std::function<void(void *)> joins[] = {
            [&](void *out) { binoffset_join(out, classes.data(), b.data(), count, es); },
            [&](void *out) {
                binoffset_join_table(out, selectors.data(), b.data(), count, es, bases, widths, 5);
            },
            [&](void *out) {
                binoffset_unpack_join(out, selectors.data(), a.data(), a.bytes.size(), count, es,
                                      bases, widths, 5);
            },
            [&](void *out) { intmult_join(out, a.data(), b.data(), count, es, 1000); },
            [&](void *out) { floatquant_join(out, a.data(), b.data(), count, es, 11); },
            [&](void *out) { floatmult_join(out, index.data(), b.data(), count, es, 0.37); },
            [&](void *out) { blocked_transpose_zstd_unshuffle(out, a.data(), count, es); },
        };
        for (const auto &join : joins) {
            Elems out(es, count);
            join(out.data());
            h = h * 3 + vt::fnv1a(out.bytes.data(), out.bytes.size());
        }
    }
    EXPECT_EQ(h, 0x724cb220c4cf0060ull) << std::hex << h;
}
