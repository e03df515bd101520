#include "bench/audio_onsets.h"

#include "sound/decoder_pulse.h"

#include <QDir>

#include <cmath>

namespace korvane::bench {

namespace {

constexpr float Level = 0.02f;
constexpr qint64 Ms = 1'000'000;
constexpr qint64 Quiet_Before_Ns = 10 * Ms;
constexpr qint64 Search_Before_Ns = 40 * Ms;
constexpr qint64 Search_After_Ns = 150 * Ms;

} // namespace

ToneFinder::ToneFinder(const QString& folder)
    : folder_(folder) {}

qint64 ToneFinder::leadInNs(const QString& file) {
    const auto known = leadIns_.find(file);
    if (known != leadIns_.end())
        return known->second;
    qint64 leadIn = 0;
    if (const std::optional<SoundBuffer> sound = decodeSoundFile(QDir(folder_).filePath(file))) {
        for (std::size_t i = 0; i < sound->samples.size(); ++i) {
            if (std::abs(sound->samples[i]) > Level) {
                leadIn = qint64(i / Player_Channels) * 1'000'000'000 / Player_Rate;
                break;
            }
        }
    }
    leadIns_[file] = leadIn;
    return leadIn;
}

std::optional<qint64> ToneFinder::onset(const test::Recording& recording, const QString& file,
                                        qint64 callNs) {
    const std::vector<float>& samples = recording.samples();
    const std::size_t quiet = std::size_t(Quiet_Before_Ns * test::Recording::Rate / 1'000'000'000);
    std::size_t lastLoud = 0;
    bool anyLoud = false;
    const std::size_t begin = recording.indexAt(callNs - Search_Before_Ns - Quiet_Before_Ns);
    const std::size_t end = recording.indexAt(callNs + Search_After_Ns);
    const qint64 searchFrom = callNs - Search_Before_Ns;
    for (std::size_t i = begin; i < end; ++i) {
        if (std::abs(samples[i]) <= Level)
            continue;
        const bool afterQuiet = !anyLoud ? i - begin >= quiet : i - lastLoud > quiet;
        if (afterQuiet && recording.timeOf(i) >= searchFrom)
            return recording.timeOf(i) - leadInNs(file);
        anyLoud = true;
        lastLoud = i;
    }
    return std::nullopt;
}

} // namespace korvane::bench
