#pragma once

#include "sequence/clocks.h"
#include "sound/player.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTest>

#include <functional>
#include <map>
#include <mutex>

namespace korvane::test {

// A sound player that records every call and plays nothing. A synchronous play takes
// `syncMs` (the length a real "Watch_the_gate.wav" would take) on its clock: real time,
// or a test clock that `pass` moves on.
class RecordingSoundPlayer : public SoundPlayer {
public:
    std::function<qint64()> clock = monotonicNs;
    std::function<void(int ms)> pass = [](int ms) { QTest::qSleep(ms); };

    struct Call {
        QString file;
        bool sync;
        qint64 atNs;
    };
    void playAsync(const QString& fileName) override;
    void playSync(const QString& fileName) override;
    // Nothing plays here: a stop only ends what the calls say is playing.
    void stop() override;

    SoundOutput output() const override;
    QString outputDevice() const override { return QStringLiteral("Test speakers"); }
    SoundFileState fileState(const QString& fileName, std::chrono::milliseconds wait) override;

    QList<Call> calls() const;
    // The file an asynchronous play started and no later call has ended, or empty.
    QString playing() const;
    QStringList files() const;
    void clear();
    int syncMs = 0;
    // What the player says of its output and of a file, telling the listener as a real
    // player would. Files are ready unless set otherwise.
    void setOutput(SoundOutput output);
    void setFileState(const QString& fileName, SoundFileState state);

private:
    mutable std::mutex mutex_;
    QList<Call> calls_;
    bool stopped_ = false; // since the last play
    SoundOutput output_ = SoundOutput::Ready;
    std::map<QString, SoundFileState> fileStates_;
};

} // namespace korvane::test
