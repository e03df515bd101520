// The start log's side of the main window: what a start did, appended to starts.csv when
// the start is over. That is when its ready state has come and its race, if one is
// timed, has ended; when it is aborted; or when the next start gives its race up. A
// record is written at a moment when no step of a start is due, and a log that cannot
// be written never stops a start: the window says so until a record goes through.
#include "app/frmUSB_Main.h"

#include "sequence/clocks.h"

#include <QLabel>
#include <QRadioButton>

namespace korvane {

void frmUSB_Main::Begin_Start_Record(int beepInterval) {
    const quint32 pressed = Race_Clock(); // before the write below, which may take a while
    // The race of the start before, if still watched, is given up without a time.
    if (Start_Record_)
        Write_Start_Record(false);
    startlog::StartRecord record;
    record.when = QDateTime::currentDateTime();
    record.beepIntervalMs = beepInterval;
    for (int i = 0; i < int(Gate_timing.size()); ++i) {
        if (Gate_timing[i]->isChecked())
            record.gateTiming = i + 1;
    }
    if (Random_Delay_Ms > 0)
        record.randomDelayMs = Random_Delay_Ms;
    Start_Record_ = record;
    Start_Tick_ = pressed;
    Hold_Since_Ns_ = -1;
    Start_Ready_Came_ = false;
    Race_Ended_ = false;
}

void frmUSB_Main::Note_Hold(bool held) {
    if (!Start_Record_)
        return;
    if (held && Hold_Since_Ns_ < 0) {
        Hold_Since_Ns_ = monotonicNs();
        ++Start_Record_->holds;
    } else if (!held && Hold_Since_Ns_ >= 0) {
        Start_Record_->holdTotalMs += int((monotonicNs() - Hold_Since_Ns_) / 1'000'000);
        Hold_Since_Ns_ = -1;
    }
}

void frmUSB_Main::Note_Drop() {
    if (Start_Record_)
        Start_Record_->dropAfterStartMs = int(Race_Start - Start_Tick_);
}

void frmUSB_Main::Note_Race_End() {
    Race_Ended_ = true;
    if (Start_Record_ && Start_Ready_Came_)
        Write_Start_Record(false);
}

void frmUSB_Main::Note_Ready_State() {
    if (!Start_Record_)
        return;
    Start_Ready_Came_ = true;
    if (!Race_timer.isActive())
        Write_Start_Record(false);
}

void frmUSB_Main::Write_Start_Record(bool aborted) {
    if (!Start_Record_)
        return;
    Note_Hold(false);
    Start_Record_->aborted = aborted;
    Start_Record_->raceTime = Race_Ended_ ? Time_seconds->text() : QString();
    Start_Record_->sound = startlog::soundSummary(soundWithoutOutput_, standInSounds_);
    const QString path = startlog::startLogPathFor(programFolder_);
    const bool written = startlog::appendStart(path, *Start_Record_);
    Start_Record_.reset();
    Log_Status->setText(QStringLiteral("Starts are not logged: %1 cannot be written.").arg(path));
    Log_Status->setVisible(!written);
}

} // namespace korvane
