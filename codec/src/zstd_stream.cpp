#include "zstd_stream.h"

#include <memory>
#include <string>
#include <zstd.h>

namespace varda::codec {

namespace {

struct FreeCctx {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct FreeDctx {
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

bool corrupt(const char *what, const char *why, Error &err) {
    return err.set(std::string("corrupt tile: the ") + what + " " + why);
}

} // namespace

bool zstd_pack(const unsigned char *data, size_t size, int level, Bytes &frame, Error &err) {
    const std::unique_ptr<ZSTD_CCtx, FreeCctx> cctx(ZSTD_createCCtx());
    if (!cctx) return err.set("out of memory", VARDA_CODEC_NO_MEMORY);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 0);
    frame.resize(ZSTD_compressBound(size));
    const size_t written = ZSTD_compress2(cctx.get(), frame.data(), frame.size(), data, size);
    if (ZSTD_isError(written))
        return err.set(std::string("zstd could not compress: ") + ZSTD_getErrorName(written));
    frame.resize(written);
    return true;
}

bool zstd_unpack(const unsigned char *frame, size_t frame_size, unsigned char *out, size_t expected,
                 const char *what, Error &err) {
    const unsigned long long content = ZSTD_getFrameContentSize(frame, frame_size);
    if (content == ZSTD_CONTENTSIZE_ERROR || content == ZSTD_CONTENTSIZE_UNKNOWN)
        return corrupt(what, "is not a zstd frame with its size", err);
    if (content != expected) return corrupt(what, "has the wrong size", err);
    if (ZSTD_findFrameCompressedSize(frame, frame_size) != frame_size)
        return corrupt(what, "is not exactly one zstd frame", err);
    const std::unique_ptr<ZSTD_DCtx, FreeDctx> dctx(ZSTD_createDCtx());
    if (!dctx) return err.set("out of memory", VARDA_CODEC_NO_MEMORY);
    const size_t got = ZSTD_decompressDCtx(dctx.get(), out, expected, frame, frame_size);
    if (ZSTD_isError(got) || got != expected) return corrupt(what, "does not decompress", err);
    return true;
}

bool zstd_unpack_bounded(const unsigned char *frame, size_t frame_size, size_t bound, Bytes &out,
                         const char *what, Error &err) {
    const unsigned long long content = ZSTD_getFrameContentSize(frame, frame_size);
    if (content == ZSTD_CONTENTSIZE_ERROR || content == ZSTD_CONTENTSIZE_UNKNOWN)
        return corrupt(what, "is not a zstd frame with its size", err);
    if (content > bound) return corrupt(what, "is larger than it can be", err);
    out.resize(size_t(content));
    return zstd_unpack(frame, frame_size, out.data(), out.size(), what, err);
}

} // namespace varda::codec
