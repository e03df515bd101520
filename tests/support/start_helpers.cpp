#include "tests/support/start_helpers.h"

namespace korvane::test {

void ProbingSoundPlayer::playAsync(const QString& fileName) {
    RecordingSoundPlayer::playAsync(fileName);
    if (onPlay)
        onPlay(fileName);
}

void ProbingSoundPlayer::playSync(const QString& fileName) {
    if (onPlay)
        onPlay(fileName);
    RecordingSoundPlayer::playSync(fileName);
}

void setTestSpeed(frmUSB_Main& w, const TestSpeed& speed) {
    w.startSequence.setIntervals(
        {speed.holdOffMs, speed.ridersReadyMs, speed.watchTheGateMs, speed.readyMs});
}

StartRig::StartRig(LinkEngine::Timing linkTiming) {
    module_ = &rig_.addModule(1);
    auto player = std::make_unique<ProbingSoundPlayer>();
    sound_ = player.get();
    window_ = std::make_unique<frmUSB_Main>(rig_.catalog(), std::move(player),
                                            programFolder_.path(), nullptr, linkTiming);
    window_->endProgram = [] {};
}

StartRig::~StartRig() = default;

bool StartRig::load() {
    // The ready state's "A 00" is the last command of the load; it may still be on its
    // way.
    window_->Form_Load();
    const bool loaded =
        runUntil([this] { return described(*module_).contains(QStringLiteral("A 00")); }, 2000);
    window_->Gate = Gate_Line;
    window_->Red = Red_Line;
    window_->Orange = Orange_Line;
    window_->Green = Green_Line;
    window_->Start_Button = qint16(1 << Button_Line);
    window_->pushSettings();
    module_->clearCommands();
    sound_->clear();
    messages_.messages.clear();
    return loaded;
}

void StartRig::stopBackgroundTimers() {
    window_->stepsOnTime.disarm(StartStep::Ready);
}

void StartRig::setButton(bool down) {
    module_->setLine(8 + Button_Line, down);
}

QStringList StartRig::outputs() const {
    QStringList texts = described(*module_);
    texts.removeAll(QStringLiteral("b"));
    return texts;
}

qint64 StartRig::outputStampNs(const QString& text, int occurrence) const {
    for (const sim::VirtualModule::Command& command : module_->commands()) {
        if (sim::describe(command.bytes) == text && occurrence-- == 0)
            return command.atNs;
    }
    return -1;
}

qint64 StartRig::soundStampNs(const QString& file) const {
    for (const RecordingSoundPlayer::Call& call : sound_->calls()) {
        if (call.file == file)
            return call.atNs;
    }
    return -1;
}

int StartRig::portReads() const {
    return int(described(*module_).count(QStringLiteral("b")));
}

} // namespace korvane::test
