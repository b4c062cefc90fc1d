// GDAL plugin: registers "varda" with GDAL's compressor registry, so that
// GDAL's Zarr driver decodes varda-coded chunks and, with COMPRESS=VARDA,
// writes them. GDAL hands a compressor the chunk's bytes and the
// compressor's JSON configuration as key=value texts; docs/gdal.md says
// which keys these are and how each is read.
#include "varda_gdal.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <cpl_compressor.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>

#include "varda_codec.h"

namespace {

struct Dtype {
    int code = 0;      // the codec's dtype code
    int size = 1;      // bytes per sample
    bool swap = false; // stored in the other byte order than this machine's
};

bool fail(const std::string &why) {
    CPLError(CE_Failure, CPLE_AppDefined, "varda: %s", why.c_str());
    return false;
}

// "int16", "<i2", ">f4", "|u1", "float64": numpy's names and type strings.
std::optional<Dtype> parse_dtype(const char *text) {
    static const char *const names[] = {"uint8", "uint16", "uint32",  "uint64",  "int8",   "int16",
                                        "int32", "int64",  "float16", "float32", "float64"};
    static const char *const typestrs[] = {"u1", "u2", "u4", "u8", "i1", "i2",
                                           "i4", "i8", "f2", "f4", "f8"};
    std::string s(text);
    char order = '=';
    if (!s.empty() && std::strchr("<>|=", s[0]) != nullptr) {
        order = s[0];
        s.erase(0, 1);
    }
    for (int code = 0; code < 11; ++code) {
        if (s == names[code] || s == typestrs[code]) {
            Dtype d;
            d.code = code;
            d.size = typestrs[code][1] - '0';
            const char other = std::endian::native == std::endian::little ? '>' : '<';
            d.swap = order == other && d.size > 1;
            return d;
        }
    }
    return std::nullopt;
}

std::optional<long long> parse_int(const char *text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return v;
}

std::optional<double> parse_number(const char *text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (*end != '\0') return std::nullopt;
    return v;
}

// The nodata sentinel's kind and bit pattern in `d`, as the codec takes
// them; an error text when the value cannot mark samples of that type.
std::string parse_nodata(const char *text, const Dtype &d, varda_codec_product &p) {
    if (text == nullptr || *text == '\0' || EQUAL(text, "none") || EQUAL(text, "null")) {
        p.nodata = VARDA_NODATA_NONE;
        return {};
    }
    const bool is_float = d.code >= 8;
    if (EQUAL(text, "nan")) {
        if (!is_float) return "NaN marks nodata only in float rasters";
        p.nodata = VARDA_NODATA_NAN;
        return {};
    }
    const auto v = parse_number(text);
    if (!v || std::isnan(*v))
        return std::string("nodata '") + text + "' is neither a number nor nan";
    p.nodata = VARDA_NODATA_VALUE;
    const std::string misfit = std::string("nodata value ") + text + " does not fit the dtype";
    if (d.code == 10) {
        p.nodata_value = std::bit_cast<uint64_t>(*v);
    } else if (d.code == 9) {
        // Checked before the conversion, which is undefined out of range.
        if (std::isfinite(*v) && std::fabs(*v) > std::numeric_limits<float>::max()) return misfit;
        const float f = static_cast<float>(*v);
        p.nodata_value = std::bit_cast<uint32_t>(f);
    } else if (is_float) {
        return "a float16 nodata value is not taken here; write the store with varda";
    } else {
        const bool is_signed = d.code >= 4;
        const int bits = d.size * 8;
        if (is_signed) {
            const auto i = parse_int(text);
            const double lo = -std::ldexp(1.0, bits - 1), hi = std::ldexp(1.0, bits - 1) - 1;
            long long value;
            if (i) {
                value = *i;
            } else if (std::trunc(*v) == *v && std::fabs(*v) < 9.0e15) {
                value = static_cast<long long>(*v);
            } else {
                return misfit;
            }
            if (bits < 64 && (static_cast<double>(value) < lo || static_cast<double>(value) > hi))
                return misfit;
            const uint64_t mask = bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
            p.nodata_value = static_cast<uint64_t>(value) & mask;
        } else {
            errno = 0;
            char *end = nullptr;
            const bool literal = text[0] != '-';
            const unsigned long long u = literal ? std::strtoull(text, &end, 10) : 0;
            uint64_t value;
            if (literal && errno == 0 && *end == '\0') {
                value = u;
            } else if (std::trunc(*v) == *v && *v >= 0 && *v < 9.0e15) {
                value = static_cast<uint64_t>(*v);
            } else {
                return misfit;
            }
            if (bits < 64 && value >> bits != 0) return misfit;
            p.nodata_value = value;
        }
    }
    return {};
}

void swap_samples(void *data, size_t bytes, int size) {
    auto *b = static_cast<unsigned char *>(data);
    for (size_t i = 0; i + size <= bytes; i += size) {
        for (int lo = 0, hi = size - 1; lo < hi; ++lo, --hi) std::swap(b[i + lo], b[i + hi]);
    }
}

// The dtype a configuration names, when it names one.
bool config_dtype(CSLConstList options, std::optional<Dtype> &d) {
    const char *text = CSLFetchNameValue(options, "dtype");
    if (text == nullptr) return true;
    d = parse_dtype(text);
    return d ? true : fail(std::string("dtype '") + text + "' is not a type the codec takes");
}

// Where a caller's buffer, or one allocated here, receives `bytes`.
// Writes through `fill` and reports the size in *output_size.
template <class Fill> bool deliver(void **output, size_t *output_size, uint64_t bytes, Fill fill) {
    if (bytes > std::numeric_limits<size_t>::max()) return fail("the chunk is too large");
    if (output == nullptr) {
        *output_size = static_cast<size_t>(bytes);
        return true;
    }
    if (*output == nullptr) {
        void *buf = VSIMalloc(bytes ? static_cast<size_t>(bytes) : 1);
        if (buf == nullptr) return fail("out of memory");
        if (!fill(buf, static_cast<size_t>(bytes))) {
            VSIFree(buf);
            return false;
        }
        *output = buf;
        *output_size = static_cast<size_t>(bytes);
        return true;
    }
    if (*output_size < bytes) {
        const size_t room = *output_size;
        *output_size = static_cast<size_t>(bytes);
        return fail("the output buffer holds " + std::to_string(room) + " bytes, the chunk " +
                    std::to_string(bytes));
    }
    if (!fill(*output, static_cast<size_t>(bytes))) return false;
    *output_size = static_cast<size_t>(bytes);
    return true;
}

bool decompress(const void *input, size_t input_size, void **output, size_t *output_size,
                CSLConstList options) {
    if (output_size == nullptr) return fail("no output size");
    if (input == nullptr && input_size != 0) return fail("no input");
    varda_codec_info info;
    char err[256];
    // The decode verifies the checksum; the header is read without it.
    if (varda_codec_peek_info(input, input_size, &info, err, sizeof err) != 0) return fail(err);
    std::optional<Dtype> d;
    if (!config_dtype(options, d)) return false;
    if (d && d->code != info.dtype) return fail("the tile's samples are not of the array's dtype");
    if (const char *w = CSLFetchNameValue(options, "width")) {
        const auto width = parse_int(w);
        if (!width || *width < 1) return fail(std::string("width '") + w + "' is not a size");
        if (static_cast<uint64_t>(*width) != info.width)
            return fail("the tile is " + std::to_string(info.width) +
                        " samples wide, the array's "
                        "chunks " +
                        std::to_string(*width));
    }
    // GDAL's Zarr driver passes no configuration to a decompressor, only the
    // chunk's buffer: a tile that would not fill it exactly is foreign.
    if (output != nullptr && *output != nullptr && *output_size != info.raw_bytes)
        return fail("the tile holds " + std::to_string(info.raw_bytes) + " bytes, the chunk " +
                    std::to_string(*output_size));
    return deliver(output, output_size, info.raw_bytes, [&](void *dst, size_t bytes) {
        if (varda_codec_decode(input, input_size, dst, bytes, err, sizeof err) != 0)
            return fail(err);
        if (d && d->swap) swap_samples(dst, bytes, d->size);
        return true;
    });
}

bool compress(const void *input, size_t input_size, void **output, size_t *output_size,
              CSLConstList options) {
    if (output_size == nullptr) return fail("no output size");
    if (input == nullptr && input_size != 0) return fail("no input");
    std::optional<Dtype> d;
    if (!config_dtype(options, d)) return false;
    const char *w = CSLFetchNameValue(options, "width");
    if (!d || w == nullptr)
        return fail("GDAL does not tell a compressor the chunk's type and shape: give them as "
                    "VARDA_DTYPE (the band's type, such as int16) and VARDA_WIDTH (the block's "
                    "width, the last BLOCKSIZE value)");
    const auto width = parse_int(w);
    if (!width || *width < 1) return fail(std::string("width '") + w + "' is not a size");
    // GDAL hands a compressor samples in this machine's byte order and
    // records the array's order itself: swapping them would store other
    // values than GDAL reads back.
    if (d->swap)
        return fail(std::string("VARDA_DTYPE '") + CSLFetchNameValue(options, "dtype") +
                    "' is of the other byte order than this machine's, in which GDAL hands a "
                    "compressor its samples: give the type alone (such as int16)");
    const char *recipe = CSLFetchNameValue(options, "recipe");
    if (recipe != nullptr && *recipe != '\0' && !EQUAL(recipe, "none") && !EQUAL(recipe, "null"))
        return fail("a lossy recipe is resolved on the whole raster, which GDAL does not show a "
                    "compressor; write lossy stores with varda compress");
    varda_codec_product p;
    varda_codec_product_init(&p, d->code);
    if (const char *chain = CSLFetchNameValue(options, "chain")) {
        p.chain = varda_codec_chain_id(chain);
        if (p.chain < 0) return fail(std::string("chain '") + chain + "' is not a chain");
    }
    if (const char *e = CSLFetchNameValue(options, "effort")) {
        const auto effort = parse_int(e);
        if (!effort || *effort < 0 || *effort > 2) return fail("effort is 0, 1 or 2");
        p.effort = static_cast<int32_t>(*effort);
    }
    if (const char *l = CSLFetchNameValue(options, "level")) {
        const auto level = parse_int(l);
        if (!level || *level < 1 || *level > 22) return fail("level is a zstd level from 1 to 22");
        p.zstd_level = static_cast<int32_t>(*level);
    }
    const std::string wrong = parse_nodata(CSLFetchNameValue(options, "nodata"), *d, p);
    if (!wrong.empty()) return fail(wrong);
    const uint64_t row = static_cast<uint64_t>(*width) * d->size;
    if (input_size == 0 || input_size % row != 0)
        return fail(std::to_string(input_size) + " bytes do not make rows of " +
                    std::to_string(*width) + " " + CSLFetchNameValue(options, "dtype") +
                    " samples");
    const uint64_t height = input_size / row;
    const void *src = input;
    std::vector<unsigned char> swapped;
    if (d->swap) {
        const auto *b = static_cast<const unsigned char *>(input);
        swapped.assign(b, b + input_size);
        swap_samples(swapped.data(), swapped.size(), d->size);
        src = swapped.data();
    }
    const uint64_t bound = varda_codec_bound(&p, static_cast<uint64_t>(*width), height);
    if (bound == 0) return fail("the codec does not take this product or tile shape");
    if (output == nullptr) {
        *output_size = static_cast<size_t>(bound);
        return true;
    }
    std::vector<unsigned char> blob(bound);
    uint64_t length = 0;
    char err[256];
    if (varda_codec_encode(&p, src, static_cast<uint64_t>(*width), height, blob.data(), blob.size(),
                           &length, err, sizeof err) != 0)
        return fail(err);
    return deliver(output, output_size, length, [&](void *dst, size_t bytes) {
        std::memcpy(dst, blob.data(), bytes);
        return true;
    });
}

const char *const metadata[] = {
    "OPTIONS=<Options>"
    "<Option name='DTYPE' type='string' description='The band type (such as int16 or "
    "&lt;f4). Needed to write.'/>"
    "<Option name='WIDTH' type='int' description='The block width (the last BLOCKSIZE "
    "value). Needed to write.'/>"
    "<Option name='CHAIN' type='string' default='auto' description='A chain name, or auto'/>"
    "<Option name='EFFORT' type='int' min='0' max='2' default='1' description='How many "
    "chains auto tries'/>"
    "<Option name='LEVEL' type='int' min='1' max='22' default='3' description='zstd level'/>"
    "<Option name='NODATA' type='string' description='The nodata value, or nan'/>"
    // Declared so that GDAL passes it on and the compressor refuses it by
    // name, rather than GDAL dropping it and a lossless store being written.
    "<Option name='RECIPE' type='string' description='Not taken: lossy stores are written "
    "with varda compress'/>"
    "</Options>",
    nullptr};

} // namespace

namespace {

// GDAL takes a false return with the error raised; an exception must not
// cross into it. The only one the coders let through is a failed
// allocation, of a buffer the size of a hostile tile's bound.
template <class Coder>
bool guarded(Coder coder, const void *input, size_t input_size, void **output, size_t *output_size,
             CSLConstList options) {
    try {
        return coder(input, input_size, output, output_size, options);
    } catch (const std::exception &) {
        return fail("out of memory");
    }
}

} // namespace

bool varda_gdal_decompress(const void *input, size_t input_size, void **output, size_t *output_size,
                           CSLConstList options, void *) {
    return guarded(decompress, input, input_size, output, output_size, options);
}

bool varda_gdal_compress(const void *input, size_t input_size, void **output, size_t *output_size,
                         CSLConstList options, void *) {
    return guarded(compress, input, input_size, output, output_size, options);
}

extern "C" {

CPL_DLL void GDALRegister_varda();
CPL_DLL void GDALRegisterMe();

void GDALRegister_varda() {
    CPLCompressor c{};
    c.nStructVersion = 1;
    c.pszId = "varda";
    c.eType = CCT_COMPRESSOR;
    c.papszMetadata = metadata;
    c.user_data = nullptr;
    if (CPLGetDecompressor("varda") == nullptr) {
        c.pfnFunc = varda_gdal_decompress;
        CPLRegisterDecompressor(&c);
    }
    if (CPLGetCompressor("varda") == nullptr) {
        c.pfnFunc = varda_gdal_compress;
        CPLRegisterCompressor(&c);
    }
}

void GDALRegisterMe() { GDALRegister_varda(); }
}
