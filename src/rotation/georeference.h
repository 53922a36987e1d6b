// Where a turned grid lies on the map.
#pragma once

#include <cstdint>
#include <optional>

#include "base/georeference.h"
#include "rotation/placement.h"

namespace terrapivoter {

// The georeference of an output of `nb_lig` rows lying at `frame`, turned from an input of
// `in_lines` lines at `georef` (with its own geotransform `gt`, when it came with one). In the
// input's frame: the input's, its corner moved by the whole cells the output adds (the input's
// own two steps kept, so that an unturned grid keeps its geotransform to the bit). With
// `rotated`: the input's turned about the reference point by the opposite angle, so that each
// cell lies over the ground it came from.
GeoTransform output_geotransform(const Georef& georef, const std::optional<GeoTransform>& gt,
                                 int32_t in_lines, const RotationParameters& p, OutputFrame frame,
                                 int32_t nb_lig, bool rotated);

}  // namespace terrapivoter
