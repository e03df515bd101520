#pragma once

#include <vector>

namespace korvane {

// Converts interleaved audio from one sample rate to another with a windowed-sinc
// filter (band-limited, so downsampling does not alias). Samples outside the input
// count as silence. Mono or stereo; returns the input unchanged when the rates are equal
// (or for any other channel count).
std::vector<float> resampleInterleaved(const std::vector<float>& input, int channels, int fromRate,
                                       int toRate);

} // namespace korvane
