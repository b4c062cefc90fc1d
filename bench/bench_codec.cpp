// The tile codec on whole rasters cut into 512 x 512 tiles, every chain and
// "auto" at each effort, beside Blosc (zstd, byte shuffle), plain zstd,
// JPEG-LS lossless and JPEG XL lossless at efforts 1 and 7 on the same
// tiles. Those are here for comparison only; the library never links them.
//
// Near-lossless on the integer rasters: "LINEAR:MAX_ERROR=k" at efforts 1
// and 2 beside JPEG-LS with NEAR = k, for k in 1, 2, 4, 8, each decode
// checked to stay within k of the original (rows nearK_varda1, nearK_varda2,
// nearK_jpegls).
//
// Rasters, 1024 x 1024, made in code (and more read from files, see
// file_rasters):
//   smooth   u16  a smooth field with noise of about 3 counts
//   dem      i16  fractal terrain in metres with a nodata sea (-32768)
//   photon   u16  photon counts: variance 16 + 2 x signal
//   field    f32  a smooth float field with NaN holes
#include "bench_support.h"

#include <blosc.h>
#include <charls/charls.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <jxl/decode.h>
#include <jxl/encode.h>
#include <zstd.h>

#include "varda_codec.h"

namespace {

constexpr size_t side = 1024, tile = 512, count = side * side;

struct Raster {
    std::string name;
    int dtype;
    uint64_t elem_size;
    vb::Bytes samples;
    int nodata = VARDA_NODATA_NONE;
    uint64_t nodata_value = 0;
    size_t width = side, height = side;
    // Tiles of up to 512 x 512; a raster's ragged edge is left out.
    size_t tile_w() const { return std::min(tile, width); }
    size_t tile_h() const { return std::min(tile, height); }
};

// Value noise: a smooth random surface of period `cell`.
double value_noise(std::mt19937_64 &rng, std::vector<double> &grid, size_t cells, double x,
                   double y) {
    if (grid.empty()) {
        grid.resize((cells + 2) * (cells + 2));
        std::uniform_real_distribution<double> u(-1, 1);
        for (double &g : grid) g = u(rng);
    }
    const size_t ix = size_t(x), iy = size_t(y);
    const double fx = x - double(ix), fy = y - double(iy);
    const auto at = [&](size_t i, size_t j) { return grid[j * (cells + 2) + i]; };
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const double top = at(ix, iy) + sx * (at(ix + 1, iy) - at(ix, iy));
    const double bottom = at(ix, iy + 1) + sx * (at(ix + 1, iy + 1) - at(ix, iy + 1));
    return top + sy * (bottom - top);
}

template <class T> void put(vb::Bytes &out, size_t i, T value) {
    std::memcpy(out.data() + i * sizeof(T), &value, sizeof(T));
}

Raster smooth_raster() {
    Raster r{"smooth", 1, 2, vb::Bytes(count * 2)};
    std::mt19937_64 rng(1);
    std::normal_distribution<double> noise(0, 3);
    for (size_t i = 0; i < count; ++i) {
        const double y = double(i / side), x = double(i % side);
        const double v = 20000 + 3000 * std::sin(x / 170) * std::cos(y / 130) + 4 * x - 2 * y;
        put(r.samples, i, uint16_t(std::lround(v + noise(rng))));
    }
    return r;
}

Raster dem_raster() {
    Raster r{"dem", 5, 2, vb::Bytes(count * 2), VARDA_NODATA_VALUE, 0x8000};
    std::mt19937_64 rng(2);
    std::vector<std::vector<double>> octaves(6);
    std::normal_distribution<double> roughness(0, 1.5);
    for (size_t i = 0; i < count; ++i) {
        const double y = double(i / side), x = double(i % side);
        double h = 0, amplitude = 900, cells = 4;
        for (auto &grid : octaves) {
            h += amplitude *
                 value_noise(rng, grid, size_t(cells), x / side * cells, y / side * cells);
            amplitude *= 0.5;
            cells *= 2;
        }
        h += 150 + roughness(rng);
        put(r.samples, i, h < 0 ? int16_t(-32768) : int16_t(std::lround(h)));
    }
    return r;
}

Raster photon_raster() {
    Raster r{"photon", 1, 2, vb::Bytes(count * 2)};
    std::mt19937_64 rng(3);
    for (size_t i = 0; i < count; ++i) {
        const double y = double(i / side), x = double(i % side);
        const double signal =
            200 + 1800 * std::exp(-((x - 500) * (x - 500) + (y - 600) * (y - 600)) / 90000.0);
        std::normal_distribution<double> noise(0, std::sqrt(16 + 2 * signal));
        put(r.samples, i, uint16_t(std::lround(std::max(0.0, signal + noise(rng)))));
    }
    return r;
}

// Photon counts on a dark sky: a Poisson background of 0.05 a pixel and
// 60 stars peaking at up to 190 counts, in 32-bit integers as detectors
// write them. The peers take them as 8-bit samples.
Raster sparse_raster() {
    Raster r{"sparse", 6, 4, vb::Bytes(count * 4)};
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<double> flux(count, 0.05);
    for (int star = 0; star < 60; ++star) {
        const double cx = u(rng) * side, cy = u(rng) * side, peak = 20 + 170 * u(rng),
                     spread = 1 + u(rng);
        for (long dy = -8; dy <= 8; ++dy)
            for (long dx = -8; dx <= 8; ++dx) {
                const long x = long(cx) + dx, y = long(cy) + dy;
                if (x < 0 || y < 0 || x >= long(side) || y >= long(side)) continue;
                const double d2 =
                    (double(x) - cx) * (double(x) - cx) + (double(y) - cy) * (double(y) - cy);
                flux[size_t(y) * side + size_t(x)] += peak * std::exp(-d2 / (2 * spread * spread));
            }
    }
    for (size_t i = 0; i < count; ++i) {
        std::poisson_distribution<int32_t> counts(flux[i]);
        put(r.samples, i, std::min<int32_t>(counts(rng), 190));
    }
    return r;
}

Raster field_raster() {
    Raster r{"field", 9, 4, vb::Bytes(count * 4), VARDA_NODATA_NAN};
    std::mt19937_64 rng(4);
    std::normal_distribution<double> noise(0, 0.01);
    for (size_t i = 0; i < count; ++i) {
        const double y = double(i / side), x = double(i % side);
        const double v = 280 + 12 * std::sin(x / 200) + 8 * std::cos(y / 90) + noise(rng);
        const bool hole = std::hypot(x - 300, y - 300) < 80 || std::hypot(x - 800, y - 700) < 40;
        put(r.samples, i, hole ? NAN : float(v));
    }
    return r;
}

// The raster's tiles, each contiguous.
std::vector<vb::Bytes> tiles_of(const Raster &r) {
    std::vector<vb::Bytes> out;
    const size_t tw = r.tile_w(), th = r.tile_h(), es = r.elem_size;
    for (size_t ty = 0; ty + th <= r.height; ty += th)
        for (size_t tx = 0; tx + tw <= r.width; tx += tw) {
            vb::Bytes t(tw * th * es);
            for (size_t y = 0; y < th; ++y)
                std::memcpy(t.data() + y * tw * es,
                            r.samples.data() + ((ty + y) * r.width + tx) * es, tw * es);
            out.push_back(std::move(t));
        }
    return out;
}

// Rasters from files named NAME.TYPE.WIDTHxHEIGHT.raw (native byte order)
// in the folder VARDA_BENCH_RASTERS names; bench/real_rasters.py writes
// them from data that Debian packages ship.
std::vector<Raster> file_rasters() {
    std::vector<Raster> out;
    const char *dir = std::getenv("VARDA_BENCH_RASTERS");
    if (!dir) return out;
    const struct {
        const char *name;
        int dtype;
        uint64_t elem_size;
    } types[] = {{"u8", 0, 1}, {"u16", 1, 2}, {"i16", 5, 2}, {"f32", 9, 4}};
    std::vector<std::filesystem::path> paths;
    std::error_code failed;
    for (const auto &entry : std::filesystem::directory_iterator(dir, failed))
        if (entry.path().extension() == ".raw") paths.push_back(entry.path());
    if (failed)
        std::fprintf(stderr, "VARDA_BENCH_RASTERS: %s: %s\n", dir, failed.message().c_str());
    std::sort(paths.begin(), paths.end());
    for (const auto &path : paths) {
        const std::string stem = path.stem().string(); // NAME.TYPE.WxH
        const size_t dims = stem.rfind('.'), type = stem.rfind('.', dims - 1);
        if (dims == std::string::npos || type == std::string::npos) continue;
        size_t w = 0, h = 0;
        if (std::sscanf(stem.c_str() + dims + 1, "%zux%zu", &w, &h) != 2) continue;
        const std::string type_name = stem.substr(type + 1, dims - type - 1);
        for (const auto &t : types) {
            if (type_name != t.name) continue;
            std::ifstream file(path, std::ios::binary);
            vb::Bytes samples(w * h * t.elem_size);
            if (!file.read(reinterpret_cast<char *>(samples.data()),
                           std::streamsize(samples.size())))
                break;
            Raster r{stem.substr(0, type), t.dtype, t.elem_size, std::move(samples)};
            r.width = w, r.height = h;
            out.push_back(std::move(r));
        }
    }
    return out;
}

std::string ratio_note(double ratio) {
    char text[48];
    std::snprintf(text, sizeof text, "ratio %.3f", ratio);
    return text;
}

// One coder of whole tiles, ours or a reference.
struct Coder {
    std::function<vb::Bytes(const vb::Bytes &)> encode;
    std::function<void(const vb::Bytes &, vb::Bytes &)> decode;
};

// `recipe` empty for lossless; a lossy grid is resolved on the whole raster,
// as a product is, and a raster the recipe refuses codes to nothing.
Coder varda_coder(const Raster &r, int chain, int effort, const std::string &recipe = {}) {
    auto product = std::make_shared<varda_codec_product>();
    varda_codec_product_init(product.get(), r.dtype);
    product->chain = chain;
    product->effort = effort;
    if (const char *level = std::getenv("VARDA_BENCH_ZSTD_LEVEL"))
        product->zstd_level = std::atoi(level);
    product->nodata = r.nodata;
    product->nodata_value = r.nodata_value;
    const bool refused =
        !recipe.empty() && varda_codec_prepare(product.get(), recipe.c_str(), r.samples.data(),
                                               r.width, r.width * r.height, nullptr, 0) != 0;
    const size_t tw = r.tile_w(), th = r.tile_h();
    return {[product, tw, th, refused](const vb::Bytes &t) {
                if (refused) return vb::Bytes{};
                vb::Bytes blob(varda_codec_bound(product.get(), tw, th));
                uint64_t len = 0;
                if (varda_codec_encode(product.get(), t.data(), tw, th, blob.data(), blob.size(),
                                       &len, nullptr, 0) != 0)
                    return vb::Bytes{};
                blob.resize(len);
                return blob;
            },
            [](const vb::Bytes &blob, vb::Bytes &out) {
                varda_codec_decode(blob.data(), blob.size(), out.data(), out.size(), nullptr, 0);
            }};
}

Coder blosc_coder(const Raster &r) {
    const size_t es = r.elem_size;
    return {[es](const vb::Bytes &t) {
                vb::Bytes out(t.size() + BLOSC_MAX_OVERHEAD);
                const int n = blosc_compress_ctx(5, BLOSC_SHUFFLE, es, t.size(), t.data(),
                                                 out.data(), out.size(), "zstd", 0, 1);
                out.resize(n > 0 ? size_t(n) : 0);
                return out;
            },
            [](const vb::Bytes &blob, vb::Bytes &out) {
                blosc_decompress_ctx(blob.data(), out.data(), out.size(), 1);
            }};
}

Coder zstd_coder() {
    return {[](const vb::Bytes &t) {
                vb::Bytes out(ZSTD_compressBound(t.size()));
                out.resize(ZSTD_compress(out.data(), out.size(), t.data(), t.size(), 9));
                return out;
            },
            [](const vb::Bytes &blob, vb::Bytes &out) {
                ZSTD_decompress(out.data(), out.size(), blob.data(), blob.size());
            }};
}

// JPEG-LS takes unsigned samples of up to 16 bits: signed ones are offset
// (which moves no sample's error, as reconstructions are clamped, not
// wrapped). `near` is the largest error allowed, 0 for lossless.
Coder jpegls_coder(const Raster &r, int near = 0) {
    const bool is_signed = r.dtype == 5;
    const int bits = int(8 * r.elem_size);
    const uint32_t tw = uint32_t(r.tile_w()), th = uint32_t(r.tile_h());
    return {[=](const vb::Bytes &t) {
                vb::Bytes samples = t;
                if (is_signed)
                    for (size_t i = 1; i < samples.size(); i += 2) samples[i] ^= 0x80;
                charls::jpegls_encoder encoder;
                encoder.frame_info({tw, th, bits, 1}).near_lossless(near);
                vb::Bytes out(encoder.estimated_destination_size());
                encoder.destination(out);
                out.resize(encoder.encode(samples));
                return out;
            },
            [=](const vb::Bytes &blob, vb::Bytes &out) {
                charls::jpegls_decoder::decode(blob, out);
                if (is_signed)
                    for (size_t i = 1; i < out.size(); i += 2) out[i] ^= 0x80;
            }};
}

// A peer that takes 8 or 16 bits given 32-bit counts that fit in 8: the
// samples narrowed on the way in and widened on the way out.
template <class Make> Coder narrowed(const Raster &r, Make &&make) {
    if (r.elem_size != 4) return make(r);
    Raster bytes{r.name, 0, 1, {}};
    bytes.width = r.width, bytes.height = r.height;
    auto inner = std::make_shared<Coder>(make(bytes));
    return {[inner](const vb::Bytes &t) {
                vb::Bytes narrow(t.size() / 4);
                for (size_t i = 0; i < narrow.size(); ++i) {
                    int32_t v;
                    std::memcpy(&v, t.data() + 4 * i, 4);
                    if (v < 0 || v > 255) return vb::Bytes{};
                    narrow[i] = uint8_t(v);
                }
                return inner->encode(narrow);
            },
            [inner](const vb::Bytes &blob, vb::Bytes &out) {
                vb::Bytes narrow(out.size() / 4);
                inner->decode(blob, narrow);
                for (size_t i = 0; i < narrow.size(); ++i) put(out, i, int32_t(narrow[i]));
            }};
}

// JPEG XL lossless, one grey channel of 16 bits, on the calling thread;
// signed samples offset as for JPEG-LS.
Coder jxl_coder(const Raster &r, int effort) {
    const bool is_signed = r.dtype == 5;
    const bool bytes = r.elem_size == 1;
    const JxlPixelFormat format{1, bytes ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16, JXL_LITTLE_ENDIAN, 0};
    const uint32_t tw = uint32_t(r.tile_w()), th = uint32_t(r.tile_h());
    return {[=](const vb::Bytes &t) {
                vb::Bytes samples = t;
                if (is_signed)
                    for (size_t i = 1; i < samples.size(); i += 2) samples[i] ^= 0x80;
                JxlEncoder *enc = JxlEncoderCreate(nullptr);
                JxlBasicInfo info;
                JxlEncoderInitBasicInfo(&info);
                info.xsize = tw;
                info.ysize = th;
                info.bits_per_sample = bytes ? 8 : 16;
                info.num_color_channels = 1;
                info.uses_original_profile = JXL_TRUE;
                JxlEncoderSetBasicInfo(enc, &info);
                JxlColorEncoding colour;
                JxlColorEncodingSetToLinearSRGB(&colour, JXL_TRUE);
                JxlEncoderSetColorEncoding(enc, &colour);
                JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
                JxlEncoderSetFrameLossless(settings, JXL_TRUE);
                JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, effort);
                vb::Bytes out;
                if (JxlEncoderAddImageFrame(settings, &format, samples.data(), samples.size()) ==
                    JXL_ENC_SUCCESS) {
                    JxlEncoderCloseInput(enc);
                    out.resize(1 << 16);
                    size_t used = 0;
                    for (;;) {
                        uint8_t *next = out.data() + used;
                        size_t room = out.size() - used;
                        const JxlEncoderStatus st = JxlEncoderProcessOutput(enc, &next, &room);
                        used = size_t(next - out.data());
                        if (st != JXL_ENC_NEED_MORE_OUTPUT) {
                            out.resize(st == JXL_ENC_SUCCESS ? used : 0);
                            break;
                        }
                        out.resize(out.size() * 2);
                    }
                }
                JxlEncoderDestroy(enc);
                return out;
            },
            [=](const vb::Bytes &blob, vb::Bytes &out) {
                JxlDecoder *dec = JxlDecoderCreate(nullptr);
                JxlDecoderSubscribeEvents(dec, JXL_DEC_FULL_IMAGE);
                JxlDecoderSetInput(dec, blob.data(), blob.size());
                JxlDecoderCloseInput(dec);
                for (;;) {
                    const JxlDecoderStatus st = JxlDecoderProcessInput(dec);
                    if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER)
                        JxlDecoderSetImageOutBuffer(dec, &format, out.data(), out.size());
                    else if (st != JXL_DEC_FULL_IMAGE)
                        break;
                }
                JxlDecoderDestroy(dec);
                if (is_signed)
                    for (size_t i = 1; i < out.size(); i += 2) out[i] ^= 0x80;
            }};
}

// The largest |decoded - original| over the tiles of an integer raster.
int64_t max_error(int dtype, uint64_t elem_size, const std::vector<vb::Bytes> &tiles,
                  const std::vector<vb::Bytes> &outs) {
    const auto sample = [=](const vb::Bytes &b, size_t i) -> int64_t {
        if (elem_size == 1) return b[i];
        if (elem_size == 4) {
            int32_t v;
            std::memcpy(&v, b.data() + 4 * i, 4);
            return v;
        }
        uint16_t v;
        std::memcpy(&v, b.data() + 2 * i, 2);
        return dtype == 5 ? int64_t(int16_t(v)) : int64_t(v);
    };
    int64_t worst = 0;
    for (size_t k = 0; k < tiles.size(); ++k)
        for (size_t i = 0; i < tiles[k].size() / elem_size; ++i)
            worst = std::max(worst, std::abs(sample(outs[k], i) - sample(tiles[k], i)));
    return worst;
}

// Encode and decode rows of one coder over the raster's tiles. A lossy
// coder (`bound` > 0) must decode every sample to within `bound`, a
// lossless one to the same bytes.
void add_coder(const Raster &r, std::function<Coder()> make, const vb::Row &encode_row,
               const vb::Row &decode_row, int64_t bound = 0) {
    auto tiles = std::make_shared<std::vector<vb::Bytes>>(tiles_of(r));
    // Ratios and speeds are of the whole tiles: a raster's ragged edge is
    // not coded.
    size_t raw = 0;
    for (const auto &t : *tiles) raw += t.size();
    vb::add(encode_row, [=] {
        auto coder = std::make_shared<Coder>(make());
        auto blobs = std::make_shared<std::vector<vb::Bytes>>(tiles->size());
        size_t coded = 0;
        for (size_t k = 0; k < tiles->size(); ++k)
            coded += ((*blobs)[k] = coder->encode((*tiles)[k])).size();
        const bool ok = std::none_of(blobs->begin(), blobs->end(),
                                     [](const vb::Bytes &b) { return b.empty(); });
        if (!ok) {
            vb::Case skipped{raw, [] {}};
            skipped.not_applicable = "the chain does not apply to this raster";
            return skipped;
        }
        return vb::Case{raw,
                        [=] {
                            for (size_t k = 0; k < tiles->size(); ++k)
                                (*blobs)[k] = coder->encode((*tiles)[k]);
                        },
                        [ok] { return ok; }, ratio_note(double(raw) / double(coded)),
                        ok ? double(raw) / double(coded) : 0};
    });
    vb::add(decode_row, [=] {
        auto coder = std::make_shared<Coder>(make());
        auto blobs = std::make_shared<std::vector<vb::Bytes>>();
        auto outs = std::make_shared<std::vector<vb::Bytes>>();
        size_t coded = 0;
        for (const auto &t : *tiles) {
            blobs->push_back(coder->encode(t));
            coded += blobs->back().size();
            outs->push_back(vb::Bytes(t.size()));
            if (blobs->back().empty()) {
                vb::Case skipped{raw, [] {}};
                skipped.not_applicable = "the chain does not apply to this raster";
                return skipped;
            }
        }
        const double ratio = double(raw) / double(coded);
        std::string note = ratio_note(ratio);
        if (bound > 0) {
            for (size_t k = 0; k < blobs->size(); ++k) coder->decode((*blobs)[k], (*outs)[k]);
            note += ", max error " + std::to_string(max_error(r.dtype, r.elem_size, *tiles, *outs));
        }
        return vb::Case{raw,
                        [=] {
                            for (size_t k = 0; k < blobs->size(); ++k)
                                coder->decode((*blobs)[k], (*outs)[k]);
                        },
                        [=, dtype = r.dtype, es = r.elem_size] {
                            if (bound == 0) return *outs == *tiles;
                            return max_error(dtype, es, *tiles, *outs) <= bound;
                        },
                        note, ratio};
    });
}

VB_REGISTER {
    const int path = (varda_simd_cpu() & 4u) ? 2 : vb::paths().front();
    const std::string path_name = vb::path_label(path);
    std::vector<Raster> rasters;
    rasters.push_back(smooth_raster());
    rasters.push_back(dem_raster());
    rasters.push_back(photon_raster());
    rasters.push_back(field_raster());
    rasters.push_back(sparse_raster());
    for (Raster &made : rasters) made.name += "1024";
    for (Raster &read : file_rasters()) rasters.push_back(std::move(read));
    for (const Raster &raster : rasters) {
        auto r = std::make_shared<Raster>(raster);
        const char *type = r->dtype == 0   ? "u8"
                           : r->dtype == 5 ? "i16"
                           : r->dtype == 6 ? "i32"
                           : r->dtype == 9 ? "f32"
                                           : "u16";
        const std::string data = r->name;
        const bool integer = r->dtype != 9;
        const auto name = [&](const std::string &kernel) {
            return kernel + "/" + type + "/" + data + "/" + path_name;
        };
        for (int effort = 0; effort <= 2; ++effort) {
            const std::string kernel = "auto" + std::to_string(effort);
            vb::Row enc{kernel + "_encode", type, data, path},
                dec{kernel + "_decode", type, data, path};
            if (effort == 1 && integer) {
                enc.ratio_versus = name("blosc_encode");
                enc.ratio_versus_target = 1.15;
                dec.ratio_versus = name("jpegls_decode");
                dec.ratio_versus_target = 0.95;
                dec.versus = name("jpegls_decode");
                dec.versus_target = 10;
            }
            add_coder(
                *r, [r, effort] { return varda_coder(*r, VARDA_CHAIN_AUTO, effort); }, enc, dec);
        }
        for (int chain = 1; chain <= varda_codec_chain_count(); ++chain) {
            if (!varda_codec_chain_accepts(chain, r->dtype)) continue;
            const std::string kernel = varda_codec_chain_name(chain);
            add_coder(*r, [r, chain] { return varda_coder(*r, chain, 1); },
                      {kernel + "_encode", type, data, path},
                      {kernel + "_decode", type, data, path});
        }
        add_coder(*r, [r] { return blosc_coder(*r); }, {"blosc_encode", type, data, path},
                  {"blosc_decode", type, data, path});
        add_coder(*r, [] { return zstd_coder(); }, {"zstd9_encode", type, data, path},
                  {"zstd9_decode", type, data, path});
        if (integer) {
            add_coder(*r,
                      [r] { return narrowed(*r, [](const Raster &n) { return jpegls_coder(n); }); },
                      {"jpegls_encode", type, data, path}, {"jpegls_decode", type, data, path});
            for (int effort : {1, 7}) {
                const std::string kernel = "jxl" + std::to_string(effort);
                add_coder(*r,
                          [r, effort] {
                              return narrowed(
                                  *r, [effort](const Raster &n) { return jxl_coder(n, effort); });
                          },
                          {kernel + "_encode", type, data, path},
                          {kernel + "_decode", type, data, path});
            }
            for (int k : {1, 2, 4, 8}) {
                const std::string near = "near" + std::to_string(k) + "_";
                const std::string recipe = "LINEAR:MAX_ERROR=" + std::to_string(k);
                for (int effort : {1, 2}) {
                    const std::string kernel = near + "varda" + std::to_string(effort);
                    vb::Row dec{kernel + "_decode", type, data, path};
                    if (effort == 1) {
                        dec.ratio_versus = name(near + "jpegls_decode");
                        dec.ratio_versus_target = 1.0;
                    }
                    add_coder(
                        *r,
                        [r, effort, recipe] {
                            return varda_coder(*r, VARDA_CHAIN_AUTO, effort, recipe);
                        },
                        {kernel + "_encode", type, data, path}, dec, k);
                }
                add_coder(
                    *r,
                    [r, k] {
                        return narrowed(*r, [k](const Raster &n) { return jpegls_coder(n, k); });
                    },
                    {near + "jpegls_encode", type, data, path},
                    {near + "jpegls_decode", type, data, path}, k);
            }
        }
    }
}

} // namespace

VB_MAIN()
