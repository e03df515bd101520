#pragma once

#include "sound/player.h"

#include <QList>
#include <QString>

#include <memory>
#include <mutex>

namespace korvane::sim {

// Passes every call on to a real player and notes when each play was called and when it
// returned, on CLOCK_MONOTONIC (the clock the virtual module stamps commands with).
class StampingSoundPlayer : public SoundPlayer {
public:
    struct Call {
        QString file;
        bool sync = false;
        qint64 calledNs = 0;
        qint64 returnedNs = 0;
    };

    explicit StampingSoundPlayer(std::unique_ptr<SoundPlayer> inner);
    ~StampingSoundPlayer() override;

    void playAsync(const QString& fileName) override;
    void playSync(const QString& fileName) override;
    void prepare(const QString& fileName) override { inner_->prepare(fileName); }
    SoundFileState fileState(const QString& fileName, std::chrono::milliseconds wait) override {
        return inner_->fileState(fileName, wait);
    }
    void wake() override { inner_->wake(); }
    void stop() override { inner_->stop(); }
    SoundOutput output() const override { return inner_->output(); }
    QString outputDevice() const override { return inner_->outputDevice(); }

    QList<Call> calls() const;
    void clear();

private:
    void play(const QString& fileName, bool sync);

    std::unique_ptr<SoundPlayer> inner_;
    mutable std::mutex mutex_;
    QList<Call> calls_;
};

} // namespace korvane::sim
