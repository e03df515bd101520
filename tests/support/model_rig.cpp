#include "tests/support/model_rig.h"

#include <QStringList>

namespace korvane::test {

namespace {

// As the virtual module describes commands: the letter, then each byte in hex.
QString describe(const QByteArray& command) {
    QStringList parts{QString(QChar(command.at(0)))};
    for (qsizetype i = 1; i < command.size(); ++i)
        parts << QStringLiteral("%1").arg(quint8(command.at(i)), 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(QLatin1Char(' '));
}

} // namespace

SendResult RecordingPort::send(const QByteArray& command) {
    if (!connected_ || (refuse && refuse(command)))
        return {};
    sent << describe(command);
    sentNs << clock_();
    return {true, clock_()};
}

void ManualClock::arm(StartStep step, int intervalMs) {
    due_[step] = now_ + qint64(intervalMs) * 1'000'000;
}

void ManualClock::advance(int ms) {
    const qint64 until = now_ + qint64(ms) * 1'000'000;
    for (;;) {
        auto next = due_.end();
        for (auto it = due_.begin(); it != due_.end(); ++it) {
            if (it->second <= until && (next == due_.end() || it->second < next->second))
                next = it;
        }
        if (next == due_.end())
            break;
        const StartStep step = next->first;
        now_ = std::max(now_, next->second);
        due_.erase(next);
        if (run_)
            run_(step);
    }
    now_ = std::max(now_, until);
}

ModelRig::ModelRig()
    : port([this] { return clock.nowNs(); })
    , model(port, player, clock) {
    player.clock = [this] { return clock.nowNs(); };
    player.pass = [this](int ms) { clock.pass(ms); };
    player.syncMs = Watch_The_Gate_Ms;
    clock.setRunner([this](StartStep step) { model.stepDue(step); });
    model.setSettings(trackSettings());
    QObject::connect(&model, &StartSequence::recordReady,
                     [this](const startlog::StartRecord& record) { records << record; });
    QObject::connect(&model, &StartSequence::notice,
                     [this](const QString& text) { notices << text; });
    QObject::connect(&model, &StartSequence::readFailed, [this] { ++readTimeouts; });
}

StartSettings ModelRig::trackSettings() {
    StartSettings settings;
    settings.beepIntervalMs = 150;
    settings.gateTiming = 0;
    settings.lines = {0, 1, 2, 3};
    settings.startButtonMask = 1 << 2;
    settings.finishBeamMask = qint16(1 << 7);
    return settings;
}

void ModelRig::sample(bool buttonDown, bool beamBroken) {
    model.externalSample(quint8((buttonDown ? 1 << 2 : 0) | (beamBroken ? 1 << 7 : 0)),
                         clock.nowNs());
}

void ModelRig::toCadence() {
    model.click();
    clock.advance(cadence::Hold_Off_Ms);
    model.click();
}

void ModelRig::toBeeps() {
    toCadence();
    clock.advance(cadence::Riders_Ready_Ms + cadence::Watch_The_Gate_Ms);
}

} // namespace korvane::test
