#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace korvane {

// Where the start's sounds go, as the player last found it.
enum class SoundOutput {
    Unknown,      // still connecting: nothing known yet
    Ready,        // an output device plays what is sent
    NoServer,     // no sound server answers
    NoDevice,     // a server, but no output device to play on
    Lost,         // the output went away after it had worked
    StreamFailed, // the server refused the player's stream
};

// What a start sound file gives, as last prepared.
enum class SoundFileState {
    Pending,     // still being decoded
    Ready,       // decoded: plays as recorded
    Missing,     // no such file
    Unreadable,  // there, but this user may not read it (or it is not a file)
    Undecodable, // read, but not a sound the player can decode
};

// Plays the start's WAV files, looked up by bare name in the working folder.
// A new sound stops the one still playing. A file that is missing, cannot be decoded or
// is not decoded yet plays a short built-in tone instead, as promptly as the file itself
// would have: a play never waits for a disk or a decoder.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;

    // Starts the sound and returns at once.
    virtual void playAsync(const QString& fileName) = 0;

    // Returns when the sound has played to its end. No event is handled meanwhile.
    // Without an audio device it still takes the sound's length, so a start keeps
    // its timeline whatever the audio does.
    virtual void playSync(const QString& fileName) = 0;

    // Looks at the file now and makes it ready to play (read and decoded), so that its
    // play calls later cost no time; they play the file as it was here. A file replaced
    // afterwards is looked at again by the next prepare. Optional: a player that starts
    // every file at once need not.
    virtual void prepare(const QString& fileName) { Q_UNUSED(fileName); }

    // What the file gives as last prepared, waiting up to `wait` for a decoding under way.
    virtual SoundFileState
    fileState(const QString& fileName,
              std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
        Q_UNUSED(fileName);
        Q_UNUSED(wait);
        return SoundFileState::Ready;
    }

    // True when a play of the file now would sound the built-in tone in its place.
    bool playsStandIn(const QString& fileName) {
        return fileState(fileName) != SoundFileState::Ready;
    }

    // Gets the output ready for sounds due within seconds, so that the first is not held
    // up while the audio wakes. A player may rest again after a while without sounds; a
    // sound played while it rests is still heard in full. Optional.
    virtual void wake() {}

    // Silences the sound playing, if any. A synchronous play cannot be stopped: it has
    // returned before anything else can run. A player that plays nothing need not.
    virtual void stop() {}

    // Where sounds go now, and the output device's own description when there is one.
    virtual SoundOutput output() const { return SoundOutput::Ready; }
    virtual QString outputDevice() const { return {}; }

    // Called, on any thread, whenever output(), outputDevice() or a file's state may have
    // changed. Set it before the first play; the listener must not call back into the
    // player on the calling thread.
    void setStatusListener(std::function<void()> listener) {
        const std::lock_guard lock(listenerMutex_);
        listener_ = std::move(listener);
    }

protected:
    void notifyStatus() {
        const std::lock_guard lock(listenerMutex_);
        if (listener_)
            listener_();
    }

private:
    std::mutex listenerMutex_;
    std::function<void()> listener_;
};

// The platform's player: PulseAudio on Linux, winmm on Windows. A PulseAudio stream rests
// (is corked) `restAfter` after the last sound ended or the last wake, so that between
// starts neither the server nor libpulse's thread has anything to do: a running stream is
// topped up hundreds of times a second, even with nothing to play. The rest must outlast a
// gate held up before its start.
std::unique_ptr<SoundPlayer>
createSystemSoundPlayer(std::chrono::milliseconds restAfter = std::chrono::seconds(15));

} // namespace korvane
