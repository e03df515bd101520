#include "sound/tone.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvane {

namespace {
constexpr double kFrequency = 880.0;
constexpr double kSeconds = 0.2;
constexpr double kFadeSeconds = 0.01;
constexpr double kAmplitude = 0.5;
} // namespace

std::vector<float> makeDefaultTone(int sampleRate) {
    const auto frames = static_cast<std::size_t>(std::lround(kSeconds * sampleRate));
    const double fadeFrames = kFadeSeconds * sampleRate;
    std::vector<float> tone(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double fromEdge = static_cast<double>(std::min(i, frames - 1 - i));
        const double envelope = std::min(1.0, fromEdge / fadeFrames);
        const double phase =
            2.0 * std::numbers::pi * kFrequency * static_cast<double>(i) / sampleRate;
        tone[i] = static_cast<float>(kAmplitude * envelope * std::sin(phase));
    }
    return tone;
}

} // namespace korvane
