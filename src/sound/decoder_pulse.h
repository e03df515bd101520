#pragma once

#include "sound/player.h"
#include "sound/wav.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

namespace korvane {

// The one format every sound is converted to, so a single open stream plays them all.
inline constexpr int Player_Rate = 48000;
inline constexpr int Player_Channels = 2;

// A sound ready to hand to the server: float32 stereo at Player_Rate, interleaved.
// Trailing silence may follow the audible part.
struct SoundBuffer {
    std::vector<float> samples;
    std::size_t audibleFrames = 0;

    std::size_t frames() const { return samples.size() / Player_Channels; }
    std::size_t bytes() const { return samples.size() * sizeof(float); }
    std::chrono::microseconds audibleLength() const;
};

// Converts interleaved audio of any channel count and rate to the player's format:
// mono goes to both sides, beyond two channels only the first two are kept.
SoundBuffer toPlayerFormat(const std::vector<float>& interleaved, int channels, int rate,
                           std::stop_token stop = {});

// Appends silence after the audible part.
void appendSilence(SoundBuffer& sound, std::chrono::milliseconds length);

// Decodes a WAV file (any PCM width, float, ADPCM; any rate; mono or stereo) to the
// player's format. Empty when the file is missing, not a WAV, holds no audio, or is
// absurdly large, or when `stop` is requested before the end.
std::optional<SoundBuffer> decodeSoundFile(const QString& path, std::stop_token stop = {});

// Decodes each file once and keeps it; decodes again when the file's size or time
// changes. Unusable files are remembered too, as null, until they change. Each file is
// decoded on a thread of its own: a minute of sound at a high rate takes seconds, which
// no step of a start can wait for, nor the other files.
class SoundFileCache {
public:
    // `changed` is called when a file's state may have changed: on the decoding thread
    // when its decoding has ended, on the preparing thread when it has gone.
    explicit SoundFileCache(std::chrono::milliseconds trailingSilence,
                            std::function<void()> changed = {});
    // Stops the decoding under way.
    ~SoundFileCache();
    SoundFileCache(const SoundFileCache&) = delete;
    SoundFileCache& operator=(const SoundFileCache&) = delete;

    // Looks at the file now and starts decoding it, unless that is done or under way
    // already for the file as it is. Until the next prepare, finds take the file as found
    // here without looking at it again, so that a play call touches no disk.
    void prepare(const QString& path);

    // The file's sound with the trailing silence appended, or null when it is unusable.
    // A file never prepared is looked at first, as prepare does. The first waits as long
    // as the decoding takes; the second at most `wait`, and gives null when the sound is
    // not ready by then.
    std::shared_ptr<const SoundBuffer> find(const QString& path);
    std::shared_ptr<const SoundBuffer> find(const QString& path, std::chrono::milliseconds wait);

    // What the file gives, waiting at most `wait` for a decoding under way. A file never
    // prepared is looked at first.
    SoundFileState state(const QString& path, std::chrono::milliseconds wait);

private:
    struct Entry {
        qint64 size = -1; // -1: no file
        QDateTime modified;
        bool prepared = false;
        SoundFileState state = SoundFileState::Pending;
        std::shared_ptr<const SoundBuffer> sound;
    };
    struct Decoder {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    void check(const QString& path, bool prepare);
    void checkUnlessPrepared(const QString& path);
    bool waitLocked(std::unique_lock<std::mutex>& lock, const QString& path,
                    std::chrono::milliseconds wait);
    void decode(const QString& path, qint64 size, const QDateTime& modified, std::stop_token stop);

    std::chrono::milliseconds trailingSilence_;
    std::function<void()> changed_;
    std::mutex mutex_;
    std::condition_variable decoded_;
    std::map<QString, Entry> entries_;
    std::vector<Decoder> decoders_;
};

} // namespace korvane
