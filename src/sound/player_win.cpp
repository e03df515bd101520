#include "sound/player.h"

#include "sound/tone.h"
#include "sound/wav.h"

#include <QFileInfo>

#include <windows.h>

#include <mmsystem.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace korvane {

namespace {

constexpr int Default_Tone_Rate = 48000;

// winmm's PlaySoundW: it stops the sound playing before it starts another, and with
// SND_SYNC returns when the sound has ended, exactly what the interface promises.
class WinmmSoundPlayer final : public SoundPlayer {
public:
    WinmmSoundPlayer() {
        const std::vector<float> tone = makeDefaultTone(Default_Tone_Rate);
        defaultWav_ = makeWavFile(tone, Default_Tone_Rate);
        defaultLength_ = std::chrono::milliseconds(tone.size() * 1000 / Default_Tone_Rate);
    }

    // An asynchronous play may still read defaultWav_: stop it first.
    ~WinmmSoundPlayer() override { PlaySoundW(nullptr, nullptr, 0); }

    WinmmSoundPlayer(const WinmmSoundPlayer&) = delete;
    WinmmSoundPlayer& operator=(const WinmmSoundPlayer&) = delete;

    void playAsync(const QString& fileName) override { play(fileName, SND_ASYNC); }

    // winmm reads the file at each play; its header is what tells a playable one.
    SoundFileState fileState(const QString& fileName, std::chrono::milliseconds) override {
        const QFileInfo file(fileName);
        if (!file.exists())
            return SoundFileState::Missing;
        if (!file.isFile() || !file.isReadable())
            return SoundFileState::Unreadable;
        return wavFileLength(fileName) ? SoundFileState::Ready : SoundFileState::Undecodable;
    }
    void stop() override { PlaySoundW(nullptr, nullptr, 0); }

    // Without an audio device PlaySoundW fails at once; the sleep then keeps the
    // sound's length. After a real play the time has passed and it returns at once.
    void playSync(const QString& fileName) override {
        const auto start = std::chrono::steady_clock::now();
        const auto length = play(fileName, SND_SYNC);
        std::this_thread::sleep_until(start + length);
    }

private:
    // Plays the file, or the default tone when the file is not a playable WAV (checked
    // first: whether PlaySoundW reports a missing file with SND_ASYNC is not reliable).
    // Returns the length of what was meant to play.
    std::chrono::milliseconds play(const QString& fileName, DWORD mode) {
        if (const auto length = wavFileLength(fileName)) {
            const std::wstring path = fileName.toStdWString();
            if (PlaySoundW(path.c_str(), nullptr, SND_FILENAME | SND_NODEFAULT | mode)) {
                return *length;
            }
            playDefault(mode);
            return *length;
        }
        playDefault(mode);
        return defaultLength_;
    }

    void playDefault(DWORD mode) {
        PlaySoundW(reinterpret_cast<LPCWSTR>(defaultWav_.constData()), nullptr,
                   SND_MEMORY | SND_NODEFAULT | mode);
    }

    QByteArray defaultWav_;
    std::chrono::milliseconds defaultLength_{0};
};

} // namespace

// winmm keeps no stream between sounds: there is nothing to rest.
std::unique_ptr<SoundPlayer> createSystemSoundPlayer(std::chrono::milliseconds) {
    return std::make_unique<WinmmSoundPlayer>();
}

} // namespace korvane
