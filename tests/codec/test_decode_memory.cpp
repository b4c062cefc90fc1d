// Decode bombs: small blobs that claim large tiles or large inner streams.
// Each decode runs in a forked child under an address-space limit: a blob
// the decoder refuses must be refused for what it is, before anything the
// size of the tile is allocated, and a blob it takes must decode with no
// more than one tile-sized buffer beside the destination.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <xxhash.h>
#include <zstd.h>

#include "varda_codec.h"

#if defined(__SANITIZE_ADDRESS__)
#define VARDA_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARDA_UNDER_ASAN 1
#endif
#endif

namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint64_t MiB = uint64_t(1) << 20;
// What a decode may take beyond its tile-sized scratch: zstd's context,
// the blocks of the in-place joins, allocator overhead.
constexpr uint64_t slack = 6 * MiB;

void put_le(Bytes &out, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A blob around hand-made sections, with a checksum that matches.
Bytes blob_of(int dtype, uint32_t width, uint32_t height, const Bytes &body) {
    Bytes blob = {'V', 'R', 'D', 'T', 1, static_cast<unsigned char>(dtype), 0, 0};
    put_le(blob, width, 4);
    put_le(blob, height, 4);
    blob.insert(blob.end(), body.begin(), body.end());
    put_le(blob, XXH3_64bits(blob.data(), blob.size()), 8);
    return blob;
}

void put_stream(Bytes &out, const Bytes &data) {
    put_le(out, data.size(), 4);
    out.insert(out.end(), data.begin(), data.end());
}

Bytes zstd_of(const Bytes &data) {
    Bytes frame(ZSTD_compressBound(data.size()));
    frame.resize(ZSTD_compress(frame.data(), frame.size(), data.data(), data.size(), 1));
    return frame;
}

uint64_t address_space() {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    uint64_t kib = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmSize: %lu kB", &kib) == 1) break;
    std::fclose(f);
    return kib * 1024;
}

enum Outcome { decoded = 0, refused = 1, out_of_memory = 2, wrong_samples = 3, no_limit = 4 };

// Decodes `blob` into a destination of `raw` bytes in a child whose
// address space may grow by `room` beyond what it holds with the
// destination in place. `expected`, when given, is what must come out;
// `why` receives the refusal.
Outcome decode_limited(const Bytes &blob, uint64_t raw, uint64_t room, const Bytes *expected,
                       std::string &why) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return no_limit;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        // Left uninitialised: only the decoder's writes touch it.
        const std::unique_ptr<unsigned char[]> dst(new unsigned char[raw]);
        const uint64_t now = address_space();
        const rlimit limit{now + room, now + room};
        if (now == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(no_limit);
        char err[256] = "";
        const int rc =
            varda_codec_decode(blob.data(), blob.size(), dst.get(), raw, err, sizeof err);
        const ssize_t written = write(pipe_fds[1], err, std::strlen(err));
        (void)written;
        if (rc != 0) _exit(std::strcmp(err, "out of memory") == 0 ? out_of_memory : refused);
        _exit(expected && std::memcmp(dst.get(), expected->data(), raw) != 0 ? wrong_samples
                                                                             : decoded);
    }
    close(pipe_fds[1]);
    char text[256];
    const ssize_t got = read(pipe_fds[0], text, sizeof text - 1);
    close(pipe_fds[0]);
    why.assign(text, got > 0 ? size_t(got) : 0);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? Outcome(WEXITSTATUS(status)) : no_limit;
}

class DecodeMemory : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef VARDA_UNDER_ASAN
        GTEST_SKIP() << "the sanitizer's shadow memory defeats an address-space limit";
#endif
    }
};

// Tiny blobs for a 1 GiB tile whose streams lie about their sizes: each is
// refused as corrupt with nothing tile-sized allocated.
TEST_F(DecodeMemory, LyingStreamsAreRefusedBeforeAnyTileSizedAllocation) {
    const uint32_t side = 32768; // 2^30 one-byte samples
    const uint64_t raw = uint64_t(side) * side;
    const Bytes small_frame = zstd_of(Bytes(100, 7));
    struct Case {
        const char *name;
        Bytes body;
        const char *message;
    };
    std::vector<Case> cases;
    {
        Bytes body = {VARDA_CHAIN_BINOFFSET}; // the selectors, empty
        put_stream(body, {});
        cases.push_back({"binoffset, no selectors", body, "selectors"});
    }
    {
        Bytes body = {VARDA_CHAIN_BINOFFSET}; // selectors of the wrong size
        put_stream(body, small_frame);
        put_stream(body, {});
        cases.push_back({"binoffset, short selectors", body, "selectors has the wrong size"});
    }
    {
        Bytes body = {VARDA_CHAIN_PLANAR_PFOR_ZSTD};
        put_stream(body, {0x28, 0xB5, 0x2F, 0xFD, 0x00});
        cases.push_back({"pfor-zstd, a broken frame", body, "PFOR stream"});
    }
    for (int chain : {VARDA_CHAIN_SHUFFLE_ZSTD, VARDA_CHAIN_MED, VARDA_CHAIN_PLANAR_LANES_ZSTD}) {
        Bytes body = {static_cast<unsigned char>(chain)};
        put_stream(body, small_frame);
        cases.push_back({varda_codec_chain_name(chain), body, "has the wrong size"});
    }
    {
        Bytes body = {VARDA_CHAIN_INTMULT};
        put_le(body, 3, 8);
        body.push_back(VARDA_CHAIN_DELTA_W);
        put_stream(body, small_frame);
        cases.push_back({"intmult, short quotients", body, "has the wrong size"});
    }
    for (const Case &c : cases) {
        const Bytes blob = blob_of(0, side, side, c.body);
        std::string why;
        const Outcome got = decode_limited(blob, raw, slack, nullptr, why);
        if (got == no_limit) GTEST_SKIP() << "no address-space limit here";
        EXPECT_EQ(got, refused) << c.name << ": " << why;
        EXPECT_NE(why.find(c.message), std::string::npos) << c.name << ": " << why;
    }
}

// Small blobs that truly hold a large tile decode in about twice its raw
// size, whatever the chain: splitters, predictors whose decoder needs its
// input apart, lossy grids and nodata masks.
TEST_F(DecodeMemory, LargeTilesDecodeInTwiceTheirRawSize) {
    const uint32_t width = 4096, height = 2048;
    const uint64_t count = uint64_t(width) * height;
    struct Case {
        int dtype, chain;
        const char *recipe;
        int nodata;
    };
    const Case cases[] = {
        {1, VARDA_CHAIN_SHUFFLE_ZSTD, nullptr, 0},
        {1, VARDA_CHAIN_MED, nullptr, 0},
        {1, VARDA_CHAIN_WP, nullptr, 0},
        {1, VARDA_CHAIN_PLANAR_PFOR_ZSTD, nullptr, 0},
        {1, VARDA_CHAIN_INTMULT, nullptr, 0},
        {1, VARDA_CHAIN_BINOFFSET, nullptr, 0},
        {9, VARDA_CHAIN_FLOATQUANT, nullptr, 0},
        {9, VARDA_CHAIN_FLOATMULT, nullptr, 0},
        {9, VARDA_CHAIN_MED, "LINEAR:MAX_ERROR=0.05", 1},
    };
    for (const Case &c : cases) {
        const uint64_t es = c.dtype == 1 ? 2 : 4;
        Bytes tile(count * es);
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t r = i / width, col = i % width;
            const uint16_t v =
                uint16_t(1 + 3 * ((r * 7 + col * 3 + (i * 2654435761u >> 29)) % 900));
            if (es == 2) {
                std::memcpy(tile.data() + 2 * i, &v, 2);
            } else {
                const float f = c.nodata && i % 977 == 0 ? -9999.0f : float(v % 400) * 0.1f;
                std::memcpy(tile.data() + 4 * i, &f, 4);
            }
        }
        varda_codec_product p;
        varda_codec_product_init(&p, c.dtype);
        p.chain = c.chain;
        p.effort = 0;
        p.zstd_level = 1;
        p.nodata = c.nodata;
        p.nodata_value = 0xC61C3C00u; // -9999.0f
        char err[256] = "";
        ASSERT_EQ(varda_codec_prepare(&p, c.recipe, tile.data(), width, count, err, sizeof err), 0)
            << err;
        Bytes blob(varda_codec_bound(&p, width, height));
        uint64_t len = 0;
        ASSERT_EQ(varda_codec_encode(&p, tile.data(), width, height, blob.data(), blob.size(), &len,
                                     err, sizeof err),
                  0)
            << varda_codec_chain_name(c.chain) << ": " << err;
        blob.resize(len);
        Bytes expected(tile.size());
        ASSERT_EQ(
            varda_codec_decode(blob.data(), len, expected.data(), expected.size(), err, sizeof err),
            0)
            << err;
        if (!c.recipe) {
            ASSERT_EQ(expected, tile);
        }
        std::string why;
        const Outcome got = decode_limited(blob, tile.size(), tile.size() + slack, &expected, why);
        if (got == no_limit) GTEST_SKIP() << "no address-space limit here";
        EXPECT_EQ(got, decoded) << varda_codec_chain_name(c.chain) << (c.recipe ? " lossy" : "")
                                << ": " << why;
    }
}

} // namespace
