// zstd frames as the blob stores them: one frame per stream, always with
// its content size, checked against what the chain expects on the way back.
#pragma once

#include <cstddef>

#include "blob.h"

namespace varda::codec {

bool zstd_pack(const unsigned char *data, size_t size, int level, Bytes &frame, Error &err);

// Exactly `expected` bytes into `out`.
bool zstd_unpack(const unsigned char *frame, size_t frame_size, unsigned char *out, size_t expected,
                 const char *what, Error &err);

// Exactly `expected` bytes into `out`, sized only once the frame's header
// says it holds them.
bool zstd_unpack_new(const unsigned char *frame, size_t frame_size, size_t expected, Scratch &out,
                     const char *what, Error &err);

// At most `bound` bytes, into a buffer sized to the frame's content.
bool zstd_unpack_bounded(const unsigned char *frame, size_t frame_size, size_t bound, Scratch &out,
                         const char *what, Error &err);

} // namespace varda::codec
