#include "sound/resample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <numeric>

namespace korvane {

namespace {

constexpr int kZeroCrossings = 16; // filter half-width, in zero crossings of the sinc
constexpr double kPassband = 0.95; // cutoff as a share of the lower Nyquist frequency
// Output instants fall on at most this many distinct positions between two input
// samples; for common rate pairs (44.1 -> 48 kHz: 160) every position is exact.
constexpr std::int64_t kMostPhases = 1024;

// Blackman-windowed sinc low-pass, `distance` in input samples.
double kernel(double distance, double cutoff, double halfWidth) {
    if (std::abs(distance) >= halfWidth) {
        return 0.0;
    }
    const double x = std::numbers::pi * cutoff * distance;
    const double sinc = distance == 0.0 ? 1.0 : std::sin(x) / x;
    const double u = std::numbers::pi * distance / halfWidth;
    return cutoff * sinc * (0.42 + 0.5 * std::cos(u) + 0.08 * std::cos(2.0 * u));
}

// The filter weights for each phase, one row of `taps` per phase, each row scaled to
// unit gain so a constant signal stays exactly constant.
struct PhaseTable {
    PhaseTable(int fromRate, int toRate, std::int64_t phaseCount)
        : phases(phaseCount) {
        const double cutoff = kPassband * std::min(1.0, double(toRate) / fromRate);
        const double halfWidth = kZeroCrossings / cutoff;
        reach = static_cast<std::int64_t>(std::ceil(halfWidth));
        taps = 2 * reach;
        weights.resize(static_cast<std::size_t>(phases * taps));
        for (std::int64_t p = 0; p < phases; ++p) {
            float* row = &weights[static_cast<std::size_t>(p * taps)];
            const double fraction = double(p) / double(phases);
            double sum = 0.0;
            for (std::int64_t k = 0; k < taps; ++k) {
                const double weight = kernel(double(reach - 1 - k) + fraction, cutoff, halfWidth);
                row[k] = static_cast<float>(weight);
                sum += weight;
            }
            for (std::int64_t k = 0; k < taps; ++k) {
                row[k] = static_cast<float>(row[k] / sum);
            }
        }
    }

    std::int64_t phases;
    std::int64_t reach = 0;
    std::int64_t taps = 0;
    std::vector<float> weights;
};

// One output frame: the weighted sum of input frames first + [kBegin, kEnd). The
// channel count is a template parameter so the sums stay in registers.
template <int Channels>
void mixFrame(const float* input, const float* weights, std::int64_t first, std::int64_t kBegin,
              std::int64_t kEnd, float* output) {
    float sums[Channels] = {};
    for (std::int64_t k = kBegin; k < kEnd; ++k) {
        const float* frame = input + (first + k) * Channels;
        for (int c = 0; c < Channels; ++c) {
            sums[c] += weights[k] * frame[c];
        }
    }
    std::copy(sums, sums + Channels, output);
}

} // namespace

std::vector<float> resampleInterleaved(const std::vector<float>& input, int channels, int fromRate,
                                       int toRate, std::stop_token stop) {
    if (fromRate == toRate || channels < 1 || channels > 2 || fromRate <= 0 || toRate <= 0) {
        return input;
    }
    const std::int64_t outStep = toRate / std::gcd(fromRate, toRate);
    const PhaseTable table(fromRate, toRate, std::min(outStep, kMostPhases));
    const auto inFrames = static_cast<std::int64_t>(input.size()) / channels;
    const std::int64_t outFrames = (inFrames * toRate + fromRate - 1) / fromRate;
    std::vector<float> output(static_cast<std::size_t>(outFrames * channels));

    constexpr std::int64_t kFramesBetweenStopChecks = 4096;
    for (std::int64_t out = 0; out < outFrames; ++out) {
        if (out % kFramesBetweenStopChecks == 0 && stop.stop_requested()) {
            return {};
        }
        // This output frame lies at input position base + remainder / toRate.
        const std::int64_t numerator = out * fromRate;
        std::int64_t base = numerator / toRate;
        std::int64_t phase = (numerator % toRate * table.phases + toRate / 2) / toRate;
        if (phase == table.phases) {
            ++base;
            phase = 0;
        }
        const float* weights = &table.weights[static_cast<std::size_t>(phase * table.taps)];
        const std::int64_t first = base - table.reach + 1;
        // Samples outside the input count as silence.
        const std::int64_t kBegin = std::max<std::int64_t>(0, -first);
        const std::int64_t kEnd = std::min(table.taps, inFrames - first);
        float* frame = &output[static_cast<std::size_t>(out * channels)];
        if (channels == 2) {
            mixFrame<2>(input.data(), weights, first, kBegin, kEnd, frame);
        } else {
            mixFrame<1>(input.data(), weights, first, kBegin, kEnd, frame);
        }
    }
    return output;
}

} // namespace korvane
