#include "sound/decoder_pulse.h"

#include <QFile>
#include <QFileInfo>

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace korvane {

namespace {

constexpr int Lowest_Rate = 1000;
constexpr int Highest_Rate = 384000;

bool isWavContainer(int format) {
    const int container = format & SF_FORMAT_TYPEMASK;
    return container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX ||
           container == SF_FORMAT_RF64;
}

bool hasPlayableShape(const SF_INFO& info) {
    return isWavContainer(info.format) && info.channels >= 1 && info.samplerate >= Lowest_Rate &&
           info.samplerate <= Highest_Rate && info.frames > 0 &&
           info.frames <= static_cast<sf_count_t>(Longest_Sound.count()) * info.samplerate;
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

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};

// Converts interleaved audio from one rate to another with libsoxr at its high quality
// (band-limited, so downsampling does not alias). Fed in blocks, so that a request to
// stop is seen soon even in a long file; empty when stopped or when libsoxr fails. The
// length is the input's rounded up to whole output frames, the tail held back by the
// filter included.
std::vector<float> resample(const std::vector<float>& input, int channels, int fromRate, int toRate,
                            std::stop_token stop) {
    if (fromRate == toRate || channels < 1) {
        return input;
    }
    soxr_error_t error = nullptr;
    const std::unique_ptr<soxr, SoxrDeleter> resampler(soxr_create(
        fromRate, toRate, static_cast<unsigned>(channels), &error, nullptr, nullptr, nullptr));
    if (!resampler || error != nullptr) {
        return {};
    }
    const auto width = static_cast<std::size_t>(channels);
    const std::size_t inFrames = input.size() / width;
    const std::size_t outFrames =
        (inFrames * static_cast<std::size_t>(toRate) + static_cast<std::size_t>(fromRate) - 1) /
        static_cast<std::size_t>(fromRate);
    std::vector<float> output(outFrames * width);
    constexpr std::size_t blockFrames = 1 << 15;
    std::size_t read = 0;
    std::size_t written = 0;
    while (written < outFrames) {
        if (stop.stop_requested()) {
            return {};
        }
        // A null input tells libsoxr the file has ended: it then gives out its tail.
        const float* in = read < inFrames ? input.data() + read * width : nullptr;
        std::size_t used = 0;
        std::size_t made = 0;
        if (soxr_process(resampler.get(), in, std::min(blockFrames, inFrames - read), &used,
                         output.data() + written * width,
                         std::min(blockFrames, outFrames - written), &made) != nullptr) {
            return {};
        }
        read += used;
        written += made;
        if (in == nullptr && made == 0) {
            break; // whatever is missing at the very end stays silent
        }
    }
    return output;
}

} // namespace

std::chrono::microseconds SoundBuffer::audibleLength() const {
    return std::chrono::microseconds(static_cast<std::int64_t>(audibleFrames) * 1'000'000 /
                                     Player_Rate);
}

SoundBuffer toPlayerFormat(const std::vector<float>& interleaved, int channels, int rate,
                           std::stop_token stop) {
    // Resampled with the file's own one or two channels (mono costs half), then spread
    // to the player's two; channels beyond two are dropped first.
    const int kept = std::min(channels, Player_Channels);
    const std::size_t frames = interleaved.size() / static_cast<std::size_t>(channels);
    std::vector<float> source;
    if (kept != channels) {
        source.resize(frames * Player_Channels);
        for (std::size_t i = 0; i < frames; ++i) {
            source[2 * i] = interleaved[i * static_cast<std::size_t>(channels)];
            source[2 * i + 1] = interleaved[i * static_cast<std::size_t>(channels) + 1];
        }
    }
    const std::vector<float> resampled =
        resample(kept != channels ? source : interleaved, kept, rate, Player_Rate, stop);
    SoundBuffer sound;
    if (kept == Player_Channels) {
        sound.samples = resampled;
    } else {
        sound.samples.resize(resampled.size() * Player_Channels);
        for (std::size_t i = 0; i < resampled.size(); ++i) {
            sound.samples[2 * i] = sound.samples[2 * i + 1] = resampled[i];
        }
    }
    sound.audibleFrames = sound.frames();
    return sound;
}

void appendSilence(SoundBuffer& sound, std::chrono::milliseconds length) {
    const auto frames = static_cast<std::size_t>(length.count() * Player_Rate / 1000);
    sound.samples.resize(sound.samples.size() + frames * Player_Channels, 0.0f);
}

std::optional<SoundBuffer> decodeSoundFile(const QString& path, std::stop_token stop) {
    const QFileInfo file(path);
    if (!file.isFile() || file.size() > Largest_Sound_File) {
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
    SoundBuffer sound = toPlayerFormat(samples, info.channels, info.samplerate, stop);
    if (stop.stop_requested() || sound.audibleFrames == 0) {
        return std::nullopt;
    }
    return sound;
}

SoundFileCache::SoundFileCache(std::chrono::milliseconds trailingSilence,
                               std::function<void()> changed)
    : trailingSilence_(trailingSilence)
    , changed_(std::move(changed)) {}

SoundFileCache::~SoundFileCache() {
    // Destroying a decoder asks it to stop and waits for it: outside the lock, which it
    // takes to finish.
    std::vector<Decoder> decoders;
    {
        const std::lock_guard lock(mutex_);
        decoders.swap(decoders_);
    }
}

void SoundFileCache::prepare(const QString& path) {
    check(path, true);
}

void SoundFileCache::check(const QString& path, bool prepare) {
    const QFileInfo file(path);
    const bool exists = file.exists();
    const qint64 size = exists ? file.size() : -1;
    const QDateTime modified = exists ? file.lastModified() : QDateTime();
    {
        const std::lock_guard lock(mutex_);
        Entry& entry = entries_[path];
        const bool same = entry.size == size && entry.modified == modified;
        if (same && (entry.state != SoundFileState::Pending || exists)) {
            entry.prepared = entry.prepared || prepare; // known, or its decoder is at work
            return;
        }
        entry = Entry{};
        entry.size = size;
        entry.modified = modified;
        entry.prepared = prepare;
        if (exists) {
            std::erase_if(decoders_, [](const Decoder& d) { return d.finished->load(); });
            auto finished = std::make_shared<std::atomic<bool>>(false);
            decoders_.push_back(
                {std::jthread([this, path, size, modified, finished](std::stop_token stop) {
                     decode(path, size, modified, stop);
                     finished->store(true);
                 }),
                 finished});
            return;
        }
        // A missing file is remembered as such, so that its plays look at no disk either.
        entry.state = SoundFileState::Missing;
    }
    if (changed_) {
        changed_();
    }
}

void SoundFileCache::checkUnlessPrepared(const QString& path) {
    {
        const std::lock_guard lock(mutex_);
        const auto it = entries_.find(path);
        if (it != entries_.end() && it->second.prepared) {
            return;
        }
    }
    check(path, false);
}

bool SoundFileCache::waitLocked(std::unique_lock<std::mutex>& lock, const QString& path,
                                std::chrono::milliseconds wait) {
    return decoded_.wait_for(lock, wait, [&] {
        const auto it = entries_.find(path);
        return it == entries_.end() || it->second.state != SoundFileState::Pending;
    });
}

std::shared_ptr<const SoundBuffer> SoundFileCache::find(const QString& path) {
    checkUnlessPrepared(path);
    std::unique_lock lock(mutex_);
    decoded_.wait(lock, [&] { return entries_[path].state != SoundFileState::Pending; });
    return entries_[path].sound;
}

std::shared_ptr<const SoundBuffer> SoundFileCache::find(const QString& path,
                                                        std::chrono::milliseconds wait) {
    checkUnlessPrepared(path);
    std::unique_lock lock(mutex_);
    if (!waitLocked(lock, path, wait)) {
        return nullptr;
    }
    const auto it = entries_.find(path);
    return it == entries_.end() ? nullptr : it->second.sound;
}

SoundFileState SoundFileCache::state(const QString& path, std::chrono::milliseconds wait) {
    checkUnlessPrepared(path);
    std::unique_lock lock(mutex_);
    waitLocked(lock, path, wait);
    const auto it = entries_.find(path);
    return it == entries_.end() ? SoundFileState::Missing : it->second.state;
}

namespace {

SoundFileState unusableState(const QString& path) {
    const QFileInfo file(path);
    if (!file.exists()) {
        return SoundFileState::Missing;
    }
    return file.isFile() && file.isReadable() ? SoundFileState::Undecodable
                                              : SoundFileState::Unreadable;
}

} // namespace

// On the file's own decoding thread. The result counts only if the file is still the
// one asked for: a newer version has a decoder of its own.
void SoundFileCache::decode(const QString& path, qint64 size, const QDateTime& modified,
                            std::stop_token stop) {
    std::shared_ptr<const SoundBuffer> sound;
    if (auto decoded = decodeSoundFile(path, stop)) {
        appendSilence(*decoded, trailingSilence_);
        sound = std::make_shared<const SoundBuffer>(std::move(*decoded));
    }
    const SoundFileState state = sound ? SoundFileState::Ready : unusableState(path);
    {
        const std::lock_guard lock(mutex_);
        const auto it = entries_.find(path);
        if (it != entries_.end() && it->second.size == size && it->second.modified == modified) {
            it->second.sound = std::move(sound);
            it->second.state = state;
        }
    }
    decoded_.notify_all();
    if (changed_ && !stop.stop_requested()) {
        changed_();
    }
}

} // namespace korvane
