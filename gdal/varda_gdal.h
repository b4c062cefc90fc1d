// The varda compressor and decompressor as GDAL calls them (see
// docs/gdal.md for what GDAL passes). Declared here for the fuzz target;
// the plugin itself exports only its registration functions.
#ifndef VARDA_GDAL_H
#define VARDA_GDAL_H

#include <cpl_port.h>
#include <cstddef>

bool varda_gdal_decompress(const void *input, size_t input_size, void **output, size_t *output_size,
                           CSLConstList options, void *user_data);
bool varda_gdal_compress(const void *input, size_t input_size, void **output, size_t *output_size,
                         CSLConstList options, void *user_data);

#endif
