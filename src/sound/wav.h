#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace korvane {

// Beyond these a sound file counts as unreadable rather than being loaded into memory.
inline constexpr std::chrono::seconds Longest_Sound{60};
inline constexpr qint64 Largest_Sound_File = 64 * 1024 * 1024;

// The playing time of a WAV file from its header (byte rate and data size), without
// decoding it. Empty when the file is missing, not a RIFF WAVE file, holds no audio, or
// is beyond the limits above. For the Windows player, which hands winmm the file by
// name; on Linux the decoder has the length from libsndfile.
std::optional<std::chrono::milliseconds> wavFileLength(const QString& path);

// A complete 16-bit PCM mono WAV file holding `samples` (-1..1).
QByteArray makeWavFile(const std::vector<float>& samples, int sampleRate);

} // namespace korvane
