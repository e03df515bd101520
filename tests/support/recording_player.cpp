#include "tests/support/recording_player.h"

namespace korvane::test {

void RecordingSoundPlayer::playAsync(const QString& fileName) {
    std::lock_guard lock(mutex_);
    calls_.append({fileName, false, clock()});
    stopped_ = false;
}

void RecordingSoundPlayer::playSync(const QString& fileName) {
    {
        std::lock_guard lock(mutex_);
        calls_.append({fileName, true, clock()});
        stopped_ = false;
    }
    if (syncMs > 0)
        pass(syncMs);
}

SoundOutput RecordingSoundPlayer::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

SoundFileState RecordingSoundPlayer::fileState(const QString& fileName, std::chrono::milliseconds) {
    std::lock_guard lock(mutex_);
    const auto it = fileStates_.find(fileName);
    return it == fileStates_.end() ? SoundFileState::Ready : it->second;
}

void RecordingSoundPlayer::setOutput(SoundOutput output) {
    {
        std::lock_guard lock(mutex_);
        output_ = output;
    }
    notifyStatus();
}

void RecordingSoundPlayer::setFileState(const QString& fileName, SoundFileState state) {
    {
        std::lock_guard lock(mutex_);
        fileStates_[fileName] = state;
    }
    notifyStatus();
}

void RecordingSoundPlayer::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
}

QString RecordingSoundPlayer::playing() const {
    std::lock_guard lock(mutex_);
    if (stopped_ || calls_.isEmpty() || calls_.last().sync)
        return {};
    return calls_.last().file;
}

QList<RecordingSoundPlayer::Call> RecordingSoundPlayer::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

QStringList RecordingSoundPlayer::files() const {
    QStringList names;
    for (const Call& call : calls())
        names << call.file;
    return names;
}

void RecordingSoundPlayer::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

} // namespace korvane::test
