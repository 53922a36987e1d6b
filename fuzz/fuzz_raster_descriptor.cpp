// The raster descriptor reader on arbitrary bytes: a clean failure or six sound values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "formats/raster_pair.h"

using namespace terrapivoter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (f == nullptr) return 0;
    try {
        const RasterDescriptor d = parse_raster_descriptor(f, "fuzz_m4.txt");
        if (d.nb_lig <= 0 || d.nb_col <= 0 || d.dpix_size != d.dpix_size) std::abort();
    } catch (const Failure&) {
    }
    std::fclose(f);
    return 0;
}
