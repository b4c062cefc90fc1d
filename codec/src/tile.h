// What the tile codec's files share beside the chains.
#pragma once

#include "blob.h"
#include "chains.h"
#include "varda_codec.h"

namespace varda::codec {

// The section of coded samples for the product's chain; for "auto", the
// smallest of the chains its effort tries.
bool encode_samples(const varda_codec_product &p, const Plane &plane, const unsigned char *samples,
                    Bytes &section, Error &err);

} // namespace varda::codec
