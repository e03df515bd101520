#include "sound/tone.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvane {

namespace {
constexpr double Frequency = 880.0;
constexpr double Seconds = 0.2;
constexpr double Fade_Seconds = 0.01;
constexpr double Amplitude = 0.5;
} // namespace

std::vector<float> makeDefaultTone(int sampleRate) {
    const auto frames = static_cast<std::size_t>(std::lround(Seconds * sampleRate));
    const double fadeFrames = Fade_Seconds * sampleRate;
    std::vector<float> tone(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double fromEdge = static_cast<double>(std::min(i, frames - 1 - i));
        const double envelope = std::min(1.0, fromEdge / fadeFrames);
        const double phase =
            2.0 * std::numbers::pi * Frequency * static_cast<double>(i) / sampleRate;
        tone[i] = static_cast<float>(Amplitude * envelope * std::sin(phase));
    }
    return tone;
}

} // namespace korvane
