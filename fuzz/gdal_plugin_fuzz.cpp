// The GDAL plugin's callbacks on arbitrary input: the first line is a
// configuration ("key=value" texts separated by ';'), the rest a chunk. The
// decompressor must refuse or decode into a buffer of the tile's size, in
// each of the ways GDAL asks for output, and a blob the compressor makes
// must decode to the chunk.
#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "varda_gdal.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

void quiet(CPLErr, CPLErrorNum, const char *) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CPLSetErrorHandler(quiet);
    const auto *nl = size ? static_cast<const uint8_t *>(std::memchr(data, '\n', size)) : nullptr;
    const size_t head = nl ? static_cast<size_t>(nl - data) : 0;
    const std::string config = head ? std::string(reinterpret_cast<const char *>(data), head) : "";
    const uint8_t *chunk = nl ? nl + 1 : data;
    const size_t chunk_size = size - (nl ? head + 1 : 0);
    char **options = CSLTokenizeString2(config.c_str(), ";", 0);

    size_t need = 0;
    if (varda_gdal_decompress(chunk, chunk_size, nullptr, &need, options, nullptr) &&
        need <= (size_t(1) << 22)) {
        std::vector<unsigned char> out(need ? need : 1);
        void *dst = out.data();
        size_t got = need;
        const bool ok = varda_gdal_decompress(chunk, chunk_size, &dst, &got, options, nullptr);
        void *owned = nullptr;
        size_t owned_size = 0;
        const bool again =
            varda_gdal_decompress(chunk, chunk_size, &owned, &owned_size, options, nullptr);
        require(ok == again);
        if (ok) require(got == need && owned_size == need && std::memcmp(owned, dst, need) == 0);
        VSIFree(owned);
    }

    void *blob = nullptr;
    size_t blob_size = 0;
    if (chunk_size <= (size_t(1) << 16) &&
        varda_gdal_compress(chunk, chunk_size, &blob, &blob_size, options, nullptr)) {
        std::vector<unsigned char> back(chunk_size);
        void *dst = back.data();
        size_t got = back.size();
        require(varda_gdal_decompress(blob, blob_size, &dst, &got, options, nullptr));
        require(got == chunk_size);
        // Without a nodata mask (which may give NaNs one payload) the bytes
        // come back as they went.
        if (CSLFetchNameValue(options, "nodata") == nullptr)
            require(std::memcmp(back.data(), chunk, chunk_size) == 0);
    }
    VSIFree(blob);
    CSLDestroy(options);
    CPLSetErrorHandler(nullptr);
    return 0;
}
