#pragma once

#include "sequence/sound_wav.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace korvane {

// The one format every sound is converted to, so a single open stream plays them all.
inline constexpr int kPlayerRate = 48000;
inline constexpr int kPlayerChannels = 2;

// A sound ready to hand to the server: float32 stereo at kPlayerRate, interleaved.
// Trailing silence may follow the audible part.
struct SoundBuffer {
    std::vector<float> samples;
    std::size_t audibleFrames = 0;

    std::size_t frames() const { return samples.size() / kPlayerChannels; }
    std::size_t bytes() const { return samples.size() * sizeof(float); }
    std::chrono::microseconds audibleLength() const;
};

// Converts interleaved audio of any channel count and rate to the player's format:
// mono goes to both sides, beyond two channels only the first two are kept.
SoundBuffer toPlayerFormat(const std::vector<float>& interleaved, int channels, int rate);

// Appends silence after the audible part.
void appendSilence(SoundBuffer& sound, std::chrono::milliseconds length);

// Decodes a WAV file (any PCM width, float, ADPCM; any rate; mono or stereo) to the
// player's format. Empty when the file is missing, not a WAV, holds no audio, or is
// absurdly large.
std::optional<SoundBuffer> decodeSoundFile(const QString& path);

// Decodes each file once and keeps it; decodes again when the file's size or time
// changes. Unreadable files are remembered too, as null, until they change.
class SoundFileCache {
public:
    explicit SoundFileCache(std::chrono::milliseconds trailingSilence);

    // The file's sound with the trailing silence appended, or null when unreadable.
    std::shared_ptr<const SoundBuffer> find(const QString& path);

private:
    struct Entry {
        qint64 size = -1;
        QDateTime modified;
        std::shared_ptr<const SoundBuffer> sound;
    };

    std::chrono::milliseconds trailingSilence_;
    std::map<QString, Entry> entries_;
};

} // namespace korvane
