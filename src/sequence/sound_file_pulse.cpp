#include "sequence/sound_file_pulse.h"

#include "sequence/sound_resample.h"

#include <QFile>
#include <QFileInfo>

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace korvane {

namespace {

constexpr int kLowestRate = 1000;
constexpr int kHighestRate = 384000;

bool isWavContainer(int format) {
    const int container = format & SF_FORMAT_TYPEMASK;
    return container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX ||
           container == SF_FORMAT_RF64;
}

bool hasPlayableShape(const SF_INFO& info) {
    return isWavContainer(info.format) && info.channels >= 1 && info.samplerate >= kLowestRate &&
           info.samplerate <= kHighestRate && info.frames > 0 &&
           info.frames <= static_cast<sf_count_t>(kLongestSound.count()) * info.samplerate;
}

// A float file may hold anything, NaN included; the server expects -1..1.
void sanitize(std::vector<float>& samples) {
    for (float& sample : samples) {
        sample = std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;
    }
}

struct SndFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

} // namespace

std::chrono::microseconds SoundBuffer::audibleLength() const {
    return std::chrono::microseconds(static_cast<std::int64_t>(audibleFrames) * 1'000'000 /
                                     kPlayerRate);
}

SoundBuffer toPlayerFormat(const std::vector<float>& interleaved, int channels, int rate) {
    const std::size_t frames = interleaved.size() / static_cast<std::size_t>(channels);
    std::vector<float> stereo(frames * kPlayerChannels);
    for (std::size_t i = 0; i < frames; ++i) {
        const float* frame = &interleaved[i * static_cast<std::size_t>(channels)];
        stereo[2 * i] = frame[0];
        stereo[2 * i + 1] = channels > 1 ? frame[1] : frame[0];
    }
    SoundBuffer sound;
    sound.samples = resampleInterleaved(stereo, kPlayerChannels, rate, kPlayerRate);
    sound.audibleFrames = sound.frames();
    return sound;
}

void appendSilence(SoundBuffer& sound, std::chrono::milliseconds length) {
    const auto frames = static_cast<std::size_t>(length.count() * kPlayerRate / 1000);
    sound.samples.resize(sound.samples.size() + frames * kPlayerChannels, 0.0f);
}

std::optional<SoundBuffer> decodeSoundFile(const QString& path) {
    const QFileInfo file(path);
    if (!file.isFile() || file.size() > kLargestSoundFile) {
        return std::nullopt;
    }
    SF_INFO info{};
    const std::unique_ptr<SNDFILE, SndFileCloser> handle(
        sf_open(QFile::encodeName(path).constData(), SFM_READ, &info));
    if (!handle || !hasPlayableShape(info)) {
        return std::nullopt;
    }
    // Read as float whatever the encoding: libsndfile scales integers to -1..1 and
    // passes float files through unchanged.
    std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
    const sf_count_t read = sf_readf_float(handle.get(), samples.data(), info.frames);
    if (read <= 0) {
        return std::nullopt;
    }
    samples.resize(static_cast<std::size_t>(read * info.channels));
    sanitize(samples);
    return toPlayerFormat(samples, info.channels, info.samplerate);
}

SoundFileCache::SoundFileCache(std::chrono::milliseconds trailingSilence)
    : trailingSilence_(trailingSilence) {}

std::shared_ptr<const SoundBuffer> SoundFileCache::find(const QString& path) {
    const QFileInfo file(path);
    if (!file.exists()) {
        entries_.erase(path);
        return nullptr;
    }
    Entry& entry = entries_[path];
    const QDateTime modified = file.lastModified();
    if (entry.size == file.size() && entry.modified == modified) {
        return entry.sound;
    }
    entry.size = file.size();
    entry.modified = modified;
    entry.sound.reset();
    if (auto decoded = decodeSoundFile(path)) {
        appendSilence(*decoded, trailingSilence_);
        entry.sound = std::make_shared<const SoundBuffer>(std::move(*decoded));
    }
    return entry.sound;
}

} // namespace korvane
