#pragma once

#include <stop_token>
#include <vector>

namespace korvane {

// Converts interleaved audio from one sample rate to another with a windowed-sinc
// filter (band-limited, so downsampling does not alias). Samples outside the input
// count as silence. Mono or stereo; returns the input unchanged when the rates are equal
// (or for any other channel count). Gives up, returning nothing, once `stop` is requested.
std::vector<float> resampleInterleaved(const std::vector<float>& input, int channels, int fromRate,
                                       int toRate, std::stop_token stop = {});

} // namespace korvane
