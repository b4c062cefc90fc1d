// Writes the first corpora of the decoder targets from the golden tile
// blobs: each blob is decoded back to its tile, and the tile goes through
// the encoders and splitters whose output the targets decode.
//
//   fuzz_seeds <golden folder> <corpus folder>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "join_split.h"
#include "varda_codec.h"

namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

constexpr size_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

struct Tile {
    std::string name;
    varda_codec_info info;
    Bytes samples;
    const char *recipe;
};

// The recipes the lossy golden blobs were made with.
const char *recipe_of(const std::string &name) {
    if (name.find("linear") != std::string::npos) return "LINEAR:MAX_ERROR=2";
    if (name.find("log") != std::string::npos) return "LOG:MAX_ERROR=1%";
    if (name.find("sqrt") != std::string::npos) return "SQRT:MAX_ERROR=1N,A=4,B=0.5";
    return nullptr;
}

std::vector<Tile> golden_tiles(const fs::path &folder) {
    std::vector<Tile> tiles;
    for (const auto &entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Tile t{entry.path().stem().string(), {}, {}, recipe_of(entry.path().stem().string())};
        if (varda_codec_read_info(blob.data(), blob.size(), &t.info, nullptr, 0) != 0) continue;
        t.samples.resize(t.info.raw_bytes);
        if (varda_codec_decode(blob.data(), blob.size(), t.samples.data(), t.samples.size(),
                               nullptr, 0) == 0)
            tiles.push_back(t);
    }
    return tiles;
}

void put(Bytes &out, const void *data, size_t size) {
    const auto *p = static_cast<const unsigned char *>(data);
    out.insert(out.end(), p, p + size);
}

struct Corpus {
    fs::path folder;
    int written = 0;
    void write(const std::string &name, const Bytes &bytes) {
        fs::create_directories(folder);
        std::ofstream(folder / ("seed_" + name), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        ++written;
    }
};

bool resolve(const Tile &t, varda_lossy_recipe &recipe, varda_lossy_resolved &resolved) {
    const uint64_t count = t.info.width * t.info.height;
    return varda_lossy_parse(t.recipe, &recipe, nullptr, 0) == 0 &&
           varda_lossy_resolve(&recipe, t.samples.data(), uint32_t(t.info.dtype), count, &resolved,
                               nullptr, 0) == 0;
}

void quant_seeds(const Tile &t, Corpus &c) {
    varda_lossy_recipe recipe;
    varda_lossy_resolved resolved;
    if (!t.recipe || !resolve(t, recipe, resolved)) return;
    const auto dtype = uint32_t(t.info.dtype);
    const uint64_t count = t.info.width * t.info.height;
    Bytes stream(t.samples.size());
    const quant_grid &g = resolved.grid;
    const int rc =
        recipe.family == 1 ? quant_linear_encode(stream.data(), t.samples.data(), &g, dtype, count)
        : recipe.family == 2 ? quant_log_encode(stream.data(), t.samples.data(), &g, dtype, count)
                             : quant_sqrt_encode(stream.data(), t.samples.data(), &g, dtype, count);
    if (rc != 0) return;
    Bytes in{uint8_t(recipe.family - 1 + 3 * dtype), g.mode};
    put(in, &g.step, 8);
    put(in, &g.offset, 8);
    in.push_back(0);
    put(in, stream.data(), stream.size());
    c.write(t.name, in);

    // The same stream read as every other dtype of its width.
    for (uint32_t other = 0; other <= 10; ++other) {
        if (other == dtype || sizes[other] != sizes[dtype]) continue;
        in[0] = uint8_t(recipe.family - 1 + 3 * other);
        c.write(t.name + "_as_" + std::to_string(other), in);
    }
}

void domain_seeds(const Tile &t, Corpus &c) {
    varda_lossy_recipe recipe;
    varda_lossy_resolved resolved;
    if (!t.recipe || !resolve(t, recipe, resolved)) return;
    Bytes in{uint8_t(t.info.dtype), 32};
    put(in, &resolved, sizeof resolved);
    put(in, t.samples.data(), 8);
    put(in, t.samples.data(), t.samples.size());
    c.write(t.name, in);
    in[1] = 33; // ignoring the first sample's pattern
    c.write(t.name + "_ignoring", in);
    // A tile that reaches past the product's range.
    for (size_t i = 0; i < 8; ++i) in[in.size() - 1 - i] ^= 0x40;
    c.write(t.name + "_outside", in);
}

void join_seeds(const Tile &t, Corpus &c) {
    const uint64_t es = sizes[t.info.dtype], count = t.info.width * t.info.height;
    const uint8_t size_code = es == 4 ? 0 : es == 8 ? 1 : es == 1 ? 2 : 3;
    Bytes first(t.samples.size()), second(t.samples.size());
    const auto emit = [&](const std::string &name, uint8_t kernel, uint64_t param) {
        Bytes in{kernel, size_code};
        put(in, &param, 8);
        put(in, first.data(), first.size());
        put(in, second.data(), second.size());
        c.write(t.name + "_" + name, in);
    };
    if (t.info.dtype <= 7) {
        const uint64_t mult = es == 1 ? 3 : 4 * 251;
        if (host::intmult_split(first.data(), second.data(), t.samples.data(), count, es, mult) ==
            0)
            emit("intmult", 0, mult);
    }
    if (es == 4 || es == 8) {
        const uint32_t shift = es == 4 ? 16 : 32;
        host::floatquant_split(first.data(), second.data(), t.samples.data(), count, es, shift);
        emit("floatquant", 1, shift);
        const double step = 0.25;
        uint64_t bits;
        std::memcpy(&bits, &step, 8);
        host::floatmult_split(first.data(), second.data(), t.samples.data(), count, es, step);
        emit("floatmult", 2, bits);
    }
    Bytes widths(count);
    host::binoffset_split(widths.data(), second.data(), t.samples.data(), count, es);
    std::memcpy(first.data(), widths.data(), count);
    emit("binoffset", 3, 0);
}

void planar_seeds(const Tile &t, Corpus &c) {
    const uint64_t es = sizes[t.info.dtype], width = t.info.width, count = width * t.info.height;
    Bytes codes(t.samples.size());
    planar_zigzag_encode(codes.data(), t.samples.data(), width, count, es);
    const uint8_t size_bits = es == 1 ? 0 : es == 2 ? 1 : es == 4 ? 2 : 3;
    Bytes in{size_bits, uint8_t(width - 1), uint8_t(t.info.height - 1), 0, 255};
    put(in, codes.data(), codes.size());
    c.write(t.name, in);
}

void codec_seeds(const Tile &t, Corpus &c) {
    const uint8_t nodata =
        t.name.find("nodata") != std::string::npos || t.name.find("guarded") != std::string::npos
            ? 1
        : t.name.find("nan") != std::string::npos ? 2
                                                  : 0;
    Bytes in{uint8_t(t.info.dtype), uint8_t(t.info.chain == 255 ? 0 : t.info.chain),
             uint8_t(1 | nodata << 2), uint8_t(t.info.width - 1)};
    if (t.recipe) put(in, t.recipe, std::strlen(t.recipe));
    in.push_back(0);
    // The target takes the first sample as the sentinel, which the golden
    // nodata tiles start with.
    put(in, t.samples.data(), t.samples.size());
    c.write(t.name, in);
}

// Each golden tile coded by the context chain, as that target takes it: the
// section without its header, nodata or lossy steps.
void context_rans_seeds(const Tile &t, Corpus &c) {
    if (t.info.width > 256 || t.info.height > 256) return;
    varda_codec_product p;
    varda_codec_product_init(&p, t.info.dtype);
    p.chain = VARDA_CHAIN_CONTEXT_RANS;
    Bytes blob(varda_codec_bound(&p, t.info.width, t.info.height));
    uint64_t len = 0;
    if (varda_codec_encode(&p, t.samples.data(), t.info.width, t.info.height, blob.data(),
                           blob.size(), &len, nullptr, 0) != 0)
        return;
    Bytes in{uint8_t(t.info.dtype), uint8_t(t.info.width - 1), uint8_t(t.info.height - 1)};
    // Header 16 bytes and the chain id before the section, checksum after.
    in.insert(in.end(), blob.begin() + 17, blob.begin() + long(len) - 8);
    c.write(t.name, in);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds <golden folder> <corpus folder>\n");
        return 2;
    }
    const fs::path corpus(argv[2]);
    Corpus quant{corpus / "quant_decode_fuzz"}, domain{corpus / "lossy_domain_fuzz"},
        joins{corpus / "joins_decode_fuzz"}, planar{corpus / "planar_decode_fuzz"},
        codec{corpus / "codec_encode_fuzz"}, context{corpus / "codec_context_rans_fuzz"};
    for (const Tile &t : golden_tiles(argv[1])) {
        quant_seeds(t, quant);
        domain_seeds(t, domain);
        join_seeds(t, joins);
        planar_seeds(t, planar);
        codec_seeds(t, codec);
        context_rans_seeds(t, context);
    }
    for (const Corpus *c : {&quant, &domain, &joins, &planar, &codec, &context})
        std::printf("%s: %d seeds\n", c->folder.string().c_str(), c->written);
    return 0;
}
