#include "sound/wav.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace korvane {

namespace {

constexpr qint64 Chunk_Header = 8;
constexpr qint64 Byte_Rate_Offset = 8; // in the "fmt " chunk

std::uint32_t readU32(const QByteArray& bytes, qsizetype at) {
    return qFromLittleEndian<std::uint32_t>(bytes.constData() + at);
}

void appendU32(QByteArray& bytes, std::uint32_t value) {
    char raw[4];
    qToLittleEndian(value, raw);
    bytes.append(raw, 4);
}

void appendU16(QByteArray& bytes, std::uint16_t value) {
    char raw[2];
    qToLittleEndian(value, raw);
    bytes.append(raw, 2);
}

} // namespace

std::optional<std::chrono::milliseconds> wavFileLength(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > Largest_Sound_File) {
        return std::nullopt;
    }
    const QByteArray riff = file.read(12);
    if (riff.size() != 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE") {
        return std::nullopt;
    }
    std::uint32_t byteRate = 0;
    // Walk the chunks; "fmt " comes before "data" in every valid file.
    while (!file.atEnd()) {
        const QByteArray header = file.read(Chunk_Header);
        if (header.size() != Chunk_Header) {
            return std::nullopt;
        }
        const qint64 size = readU32(header, 4);
        const qint64 start = file.pos();
        if (header.startsWith("fmt ")) {
            const QByteArray format = file.read(size);
            if (format.size() < Byte_Rate_Offset + 4) {
                return std::nullopt;
            }
            byteRate = readU32(format, Byte_Rate_Offset);
        } else if (header.startsWith("data")) {
            // Writers that stream may leave the size at its maximum: trust the file.
            const qint64 bytes = std::min(size, file.size() - start);
            if (byteRate == 0 || bytes <= 0) {
                return std::nullopt;
            }
            const std::chrono::milliseconds length(bytes * 1000 / byteRate);
            if (length > Longest_Sound) {
                return std::nullopt;
            }
            return length;
        }
        // Chunks are padded to an even size.
        if (!file.seek(start + size + (size & 1))) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

QByteArray makeWavFile(const std::vector<float>& samples, int sampleRate) {
    constexpr std::uint16_t pcm = 1;
    constexpr std::uint16_t bytesPerSample = 2;
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * bytesPerSample);
    QByteArray wav;
    wav.reserve(qsizetype(44 + dataBytes));
    wav.append("RIFF");
    appendU32(wav, 36 + dataBytes);
    wav.append("WAVEfmt ");
    appendU32(wav, 16);
    appendU16(wav, pcm);
    appendU16(wav, 1); // mono
    appendU32(wav, static_cast<std::uint32_t>(sampleRate));
    appendU32(wav, static_cast<std::uint32_t>(sampleRate) * bytesPerSample);
    appendU16(wav, bytesPerSample);
    appendU16(wav, 8 * bytesPerSample);
    wav.append("data");
    appendU32(wav, dataBytes);
    for (const float sample : samples) {
        const auto value =
            static_cast<std::int16_t>(std::lround(std::clamp(sample, -1.0f, 1.0f) * 32767.0f));
        appendU16(wav, static_cast<std::uint16_t>(value));
    }
    return wav;
}

} // namespace korvane
