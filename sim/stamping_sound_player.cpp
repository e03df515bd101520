#include "sim/stamping_sound_player.h"

#include "sim/virtual_module.h"

namespace korvane::sim {

StampingSoundPlayer::StampingSoundPlayer(std::unique_ptr<SoundPlayer> inner)
    : inner_(std::move(inner)) {
    inner_->setStatusListener([this] { notifyStatus(); });
}

StampingSoundPlayer::~StampingSoundPlayer() {
    inner_->setStatusListener({});
}

void StampingSoundPlayer::playAsync(const QString& fileName) {
    play(fileName, false);
}

void StampingSoundPlayer::playSync(const QString& fileName) {
    play(fileName, true);
}

void StampingSoundPlayer::play(const QString& fileName, bool sync) {
    Call call{fileName, sync, monotonicNs(), 0};
    if (sync)
        inner_->playSync(fileName);
    else
        inner_->playAsync(fileName);
    call.returnedNs = monotonicNs();
    std::lock_guard lock(mutex_);
    calls_.append(call);
}

QList<StampingSoundPlayer::Call> StampingSoundPlayer::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void StampingSoundPlayer::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

} // namespace korvane::sim
