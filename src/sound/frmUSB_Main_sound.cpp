// The main window's side of the sound: every start sound read ahead, the line that says
// when the riders would not hear a start, the start-up report of unusable files and
// Options > "Test sound".
#include "app/frmUSB_Main.h"

#include "app/message_box.h"
#include "sequence/start_sounds.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QTimer>

namespace korvane {

namespace {

// How long the start-up report waits for a file to be decoded; a voice file takes a few
// milliseconds, a minute of sound at a high rate seconds.
constexpr std::chrono::milliseconds Report_Wait{1000};
// "Test sound" plays the voice call after the tone has ended.
constexpr int Voice_After_Tone_Ms = 600;
const QString Test_Voice = start_sounds::Riders_Ready;

QString outputProblem(SoundOutput output) {
    switch (output) {
    case SoundOutput::NoServer:
        return QStringLiteral("No sound output: no sound server is running.");
    case SoundOutput::NoDevice:
        return QStringLiteral("No sound output: there is no output device.");
    case SoundOutput::Lost:
        return QStringLiteral("Sound output lost.");
    case SoundOutput::StreamFailed:
        return QStringLiteral("Sound output failed: the sound server refused to play.");
    case SoundOutput::Unknown:
    case SoundOutput::Ready:
        break;
    }
    return {};
}

QString fileProblem(const QString& file, SoundFileState state) {
    switch (state) {
    case SoundFileState::Missing:
        return QStringLiteral("%1 is missing").arg(file);
    case SoundFileState::Unreadable:
        return QStringLiteral("%1 cannot be read").arg(file);
    case SoundFileState::Undecodable:
        return QStringLiteral("%1 is not a WAV sound the program can play").arg(file);
    case SoundFileState::Pending:
    case SoundFileState::Ready:
        break;
    }
    return {};
}

} // namespace

void frmUSB_Main::prepareStartSounds() {
    for (const QString& file : start_sounds::All)
        sound().prepare(file);
}

void frmUSB_Main::showSoundState() {
    const QString output = outputProblem(sound().output());
    QStringList standIns;
    for (const QString& file : start_sounds::All) {
        const SoundFileState state = sound().fileState(file);
        if (state != SoundFileState::Ready && state != SoundFileState::Pending)
            standIns << file;
    }
    QString text;
    if (!output.isEmpty())
        text = output + QStringLiteral(" The riders will not hear the start.");
    else if (!standIns.isEmpty())
        text = QStringLiteral("Built-in tone instead of ") + standIns.join(QStringLiteral(", "));
    soundStatus->setText(text);
    // Red when nothing is heard, amber when a tone stands in for a recording.
    soundStatus->setStyleSheet(output.isEmpty()
                                   ? QStringLiteral("color: black; background: #ffc040;")
                                   : QStringLiteral("color: white; background: #c00000;"));
    soundStatus->setVisible(!text.isEmpty());
}

QString frmUSB_Main::soundReport() {
    QStringList problems;
    for (const QString& file : start_sounds::All) {
        const QString problem = fileProblem(file, sound().fileState(file, Report_Wait));
        if (!problem.isEmpty())
            problems << problem;
    }
    if (problems.isEmpty())
        return {};
    return QStringLiteral("Start sounds in %1: %2. A short built-in tone plays in %3 place. "
                          "Replace %4 with WAV files (PCM or float, any rate, mono or stereo).")
        .arg(QDir::toNativeSeparators(QDir::currentPath()), problems.join(QStringLiteral("; ")),
             problems.size() == 1 ? QStringLiteral("its") : QStringLiteral("their"),
             problems.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"));
}

void frmUSB_Main::testSound() {
    const QString tone = start_sounds::Beep_Tone;
    for (const QString& file : {tone, Test_Voice})
        sound().prepare(file);
    QStringList standIns;
    for (const QString& file : {tone, Test_Voice}) {
        if (sound().fileState(file, Report_Wait) != SoundFileState::Ready)
            standIns << file;
    }
    sound().wake();
    sound().playAsync(tone);
    QTimer::singleShot(Voice_After_Tone_Ms, this, [this] { sound().playAsync(Test_Voice); });

    QString text;
    const QString problem = outputProblem(sound().output());
    if (!problem.isEmpty())
        text = problem + QStringLiteral(" Nothing can be heard.");
    else if (sound().output() == SoundOutput::Unknown)
        text = QStringLiteral("The sound server has not answered yet: try again in a moment.");
    else
        text = QStringLiteral("The start tone and \"Riders ready\" are playing on: %1.")
                   .arg(sound().outputDevice());
    if (!standIns.isEmpty())
        text += QStringLiteral(" The built-in tone plays instead of %1.")
                    .arg(standIns.join(QStringLiteral(" and ")));
    showMessage(this, {text, QStringLiteral("Test sound"), MessageIcon::Information});
}

} // namespace korvane
