#pragma once

#include <QString>

#include <memory>

namespace korvane {

// Plays the start's WAV files, looked up by bare name in the working folder.
// A new sound stops the one still playing. A missing or unreadable file plays a
// short built-in default tone instead. Nothing is ever reported to the caller.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;

    // Starts the sound and returns at once.
    virtual void playAsync(const QString& fileName) = 0;

    // Returns when the sound has played to its end. No event is handled meanwhile.
    // Without an audio device it still takes the sound's length, so a start keeps
    // its timeline whatever the audio does.
    virtual void playSync(const QString& fileName) = 0;

    // Makes the file ready to play (read and decoded), so that its play calls later
    // cost no time; they play the file as it is now. Optional: a player that starts
    // every file at once need not.
    virtual void prepare(const QString& fileName) { Q_UNUSED(fileName); }

    // Gets the output ready for sounds due within seconds, so that the first is not held
    // up while the audio wakes. A player may rest again after a while without sounds; a
    // sound played while it rests is still heard in full. Optional.
    virtual void wake() {}

    // Silences the sound playing, if any. A synchronous play cannot be stopped: it has
    // returned before anything else can run. A player that plays nothing need not.
    virtual void stop() {}
};

// The platform's player: PulseAudio on Linux, winmm on Windows.
std::unique_ptr<SoundPlayer> createSystemSoundPlayer();

} // namespace korvane
