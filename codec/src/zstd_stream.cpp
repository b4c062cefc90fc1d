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

// One compression and one decompression context per thread, kept between
// calls: a fresh context clears its tables, which for the small streams of a
// tile costs as much as the coding. A context that could not be made is
// tried again on the next call. A thread keeps at most the workspace of the
// largest level it used, a few MiB at level 19.
ZSTD_CCtx *thread_cctx() {
    thread_local std::unique_ptr<ZSTD_CCtx, FreeCctx> cctx;
    if (!cctx) cctx.reset(ZSTD_createCCtx());
    if (cctx) ZSTD_CCtx_reset(cctx.get(), ZSTD_reset_session_and_parameters);
    return cctx.get();
}

ZSTD_DCtx *thread_dctx() {
    thread_local std::unique_ptr<ZSTD_DCtx, FreeDctx> dctx;
    if (!dctx) dctx.reset(ZSTD_createDCtx());
    if (dctx) ZSTD_DCtx_reset(dctx.get(), ZSTD_reset_session_and_parameters);
    return dctx.get();
}

bool corrupt(const char *what, const char *why, Error &err) {
    return err.set(std::string("corrupt tile: the ") + what + " " + why);
}

} // namespace

bool zstd_pack(const unsigned char *data, size_t size, int level, Bytes &frame, Error &err) {
    ZSTD_CCtx *cctx = thread_cctx();
    if (!cctx) return err.set("out of memory", VARDA_CODEC_NO_MEMORY);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0);
    frame.resize(ZSTD_compressBound(size));
    const size_t written = ZSTD_compress2(cctx, frame.data(), frame.size(), data, size);
    if (ZSTD_isError(written))
        return err.set(std::string("zstd could not compress: ") + ZSTD_getErrorName(written));
    frame.resize(written);
    return true;
}

namespace {

// A frame's header read before anything is allocated for it: one frame,
// holding `expected` bytes (at most `expected` when `bounded`).
bool check_frame(const unsigned char *frame, size_t frame_size, size_t expected, bool bounded,
                 const char *what, unsigned long long &content, Error &err) {
    content = ZSTD_getFrameContentSize(frame, frame_size);
    if (content == ZSTD_CONTENTSIZE_ERROR || content == ZSTD_CONTENTSIZE_UNKNOWN)
        return corrupt(what, "is not a zstd frame with its size", err);
    if (bounded ? content > expected : content != expected)
        return corrupt(what, bounded ? "is larger than it can be" : "has the wrong size", err);
    if (ZSTD_findFrameCompressedSize(frame, frame_size) != frame_size)
        return corrupt(what, "is not exactly one zstd frame", err);
    return true;
}

bool decompress(const unsigned char *frame, size_t frame_size, unsigned char *out, size_t size,
                const char *what, Error &err) {
    ZSTD_DCtx *dctx = thread_dctx();
    if (!dctx) return err.set("out of memory", VARDA_CODEC_NO_MEMORY);
    const size_t got = ZSTD_decompressDCtx(dctx, out, size, frame, frame_size);
    if (ZSTD_isError(got) || got != size) return corrupt(what, "does not decompress", err);
    return true;
}

} // namespace

bool zstd_unpack(const unsigned char *frame, size_t frame_size, unsigned char *out, size_t expected,
                 const char *what, Error &err) {
    unsigned long long content = 0;
    return check_frame(frame, frame_size, expected, false, what, content, err) &&
           decompress(frame, frame_size, out, expected, what, err);
}

bool zstd_unpack_new(const unsigned char *frame, size_t frame_size, size_t expected, Scratch &out,
                     const char *what, Error &err) {
    unsigned long long content = 0;
    if (!check_frame(frame, frame_size, expected, false, what, content, err)) return false;
    out.resize(expected);
    return decompress(frame, frame_size, out.data(), expected, what, err);
}

bool zstd_unpack_bounded(const unsigned char *frame, size_t frame_size, size_t bound, Scratch &out,
                         const char *what, Error &err) {
    unsigned long long content = 0;
    if (!check_frame(frame, frame_size, bound, true, what, content, err)) return false;
    out.resize(size_t(content));
    return decompress(frame, frame_size, out.data(), out.size(), what, err);
}

} // namespace varda::codec
