// korvane-demo: the real main window on a virtual I/O module, beside a panel that shows
// what the module does. No hardware needed.
//
//   korvane-demo                    interactive: press the buttons yourself
//   korvane-demo --scripted <dir>   performs one start through the external button,
//                                   prints the command timeline, saves screenshots in
//                                   <dir> and exits (0 when the start went as it should)
//   --source <folder>               where sounds/ and packaging/config.dat are (found by
//                                   looking upwards from the program and the working
//                                   folder otherwise)
#include "app/frmUSB_Main.h"
#include "app/lamp.h"
#include "app/message_box.h"
#include "dialogs/start_log_dialog.h"
#include "sequence/start_sounds.h"
#include "sequence/trigger_table.h"
#include "settings/config_file.h"
#include "sim/command_meaning.h"
#include "sim/event_loop.h"
#include "sim/gate_panel.h"
#include "sim/stamping_sound_player.h"
#include "sim/virtual_module.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <optional>

using namespace korvane;

namespace {

void say(const QString& text) {
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

bool isSourceFolder(const QDir& dir) {
    return dir.exists(QStringLiteral("sounds/ok_riders.wav")) &&
           dir.exists(QStringLiteral("packaging/config.dat"));
}

std::optional<QString> findSourceFolder(const QString& given) {
    if (!given.isEmpty())
        return isSourceFolder(QDir(given)) ? std::optional(given) : std::nullopt;
    for (const QString& start : {QCoreApplication::applicationDirPath(), QDir::currentPath()}) {
        for (QDir dir(start);;) {
            if (isSourceFolder(dir))
                return dir.absolutePath();
            if (!dir.cdUp())
                break;
        }
    }
    return std::nullopt;
}

bool copyReplacing(const QString& from, const QString& to) {
    QFile::remove(to);
    return QFile::copy(from, to);
}

// The program's working folder (sounds) and program folder (config.dat) in one. An
// existing config.dat is kept, so settings saved in the demo last, unless `freshConfig`.
bool prepareRunFolder(const QDir& source, const QDir& run, bool freshConfig) {
    if (!run.mkpath(QStringLiteral(".")))
        return false;
    for (const QString& file : start_sounds::All) {
        if (!copyReplacing(source.filePath(QStringLiteral("sounds/") + file), run.filePath(file)))
            return false;
    }
    const QString config = config::configPathFor(run.path());
    if (freshConfig || !QFile::exists(config))
        return copyReplacing(source.filePath(QStringLiteral("packaging/config.dat")), config);
    return true;
}

using sim::runUntil;

// Runs the event loop until `done` holds; false after `timeoutMs`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    return runUntil(done, timeoutMs, 10);
}

void pause(int ms) {
    sim::runEventsFor(ms);
}

// One start through the external button, as an operator would do it, with screenshots
// once the last tone has sounded and a printed timeline at the end.
class ScriptedStart {
public:
    ScriptedStart(frmUSB_Main& window, sim::GatePanel& panel, sim::VirtualModule& module,
                  sim::StampingSoundPlayer& sound, QDir out)
        : window_(window)
        , panel_(panel)
        , module_(module)
        , sound_(sound)
        , out_(std::move(out)) {}

    bool run();

private:
    bool step(const QString& what, const std::function<bool()>& done, int timeoutMs);
    bool startCadence();
    bool showStartLog();
    QStringList outputsSinceStart() const;
    bool saveScreenshots();
    void printTimeline() const;
    bool checkOutputs() const;

    frmUSB_Main& window_;
    sim::GatePanel& panel_;
    sim::VirtualModule& module_;
    sim::StampingSoundPlayer& sound_;
    QDir out_;
    qint64 startNs_ = 0;
};

bool ScriptedStart::step(const QString& what, const std::function<bool()>& done, int timeoutMs) {
    if (waitUntil(done, timeoutMs))
        return true;
    say(QStringLiteral("demo: gave up waiting for %1").arg(what));
    return false;
}

QStringList ScriptedStart::outputsSinceStart() const {
    QStringList meanings;
    for (const sim::VirtualModule::Command& command : module_.commands()) {
        const QString meaning = sim::commandMeaning(command.bytes, panel_.roles());
        if (command.atNs >= startNs_ && !meaning.startsWith(QLatin1String("read ")))
            meanings << meaning;
    }
    return meanings;
}

bool ScriptedStart::run() {
    QPushButton& button = *window_.Window_start_button;
    // The load's last command, the ready state's, may still be on its way.
    if (!step(
            QStringLiteral("the module to be found and the ready state"),
            [&] { return outputsSinceStart().contains(QStringLiteral("all port A lines off")); },
            5000))
        return false;
    startNs_ = module_.commands().last().atNs + 1;
    sound_.clear();

    say(QStringLiteral("demo: holding the external start button to raise the gate"));
    panel_.setStartButtonDown(true);
    if (!step(
            QStringLiteral("the gate to go up"),
            [&] { return outputsSinceStart().contains(QStringLiteral("gate up")); }, 3000))
        return false;
    pause(300);
    panel_.setStartButtonDown(false);

    if (!startCadence())
        return false;

    // A rider is down after "Riders ready": the start is called off and run again.
    if (!step(
            QStringLiteral("\"Riders ready\""), [&] { return sound_.calls().size() >= 2; }, 8000))
        return false;
    pause(400);
    const bool abortSaved = window_.grab().save(out_.filePath(QStringLiteral("demo-abort.png")));
    say(QStringLiteral("demo: a rider is down: Abort"));
    window_.abortButton->click();
    if (!step(
            QStringLiteral("the gate to stay up after the abort"),
            [&] { return button.text() == QStringLiteral("Start") && button.isEnabled(); }, 2000))
        return false;
    pause(500);
    if (!startCadence())
        return false;
    const QString gateUp = out_.filePath(QStringLiteral("demo-gate-up.png"));
    const bool gateUpSaved = panel_.grab().save(gateUp);

    if (!step(
            QStringLiteral("the long tone"), [&] { return window_.Shape1[3]->isLit(); }, 15000))
        return false;
    pause(400); // the panel catches up with the last commands
    const bool saved = gateUpSaved && saveScreenshots();

    if (!step(
            QStringLiteral("the ready state"),
            [&] {
                return button.text() == caption::Put_Up_Gate &&
                       outputsSinceStart().contains(QStringLiteral("all port A lines off"));
            },
            15000))
        return false;
    pause(200);
    printTimeline();
    return saved && abortSaved && showStartLog() && checkOutputs();
}

// Holds the external button until the cadence begins, then lets go before the next poll,
// which would otherwise hold the start.
bool ScriptedStart::startCadence() {
    QPushButton& button = *window_.Window_start_button;
    if (!step(
            QStringLiteral("the 4 s hold-off"), [&] { return button.isEnabled(); }, 6000))
        return false;
    say(QStringLiteral("demo: holding it again to start the cadence"));
    panel_.setStartButtonDown(true);
    if (!step(
            QStringLiteral("the cadence"), [&] { return button.text() == QStringLiteral("Delay"); },
            3000))
        return false;
    panel_.setStartButtonDown(false);
    return true;
}

// The first rider crosses the finish line; then Options > Start log, as an operator
// opens it after the starts.
bool ScriptedStart::showStartLog() {
    say(QStringLiteral("demo: the first rider breaks the finish beam"));
    panel_.setFinishBeamDown(true);
    const bool finished = step(
        QStringLiteral("the race time"), [&] { return !window_.Race_timer.isActive(); }, 2000);
    panel_.setFinishBeamDown(false);
    if (!finished)
        return false;
    say(QStringLiteral("demo: race time %1 s").arg(window_.Time_seconds->text()));
    window_.startLogItem->trigger();
    QWidget* log = window_.startLogWindow;
    if (!log)
        return false;
    log->move(0, window_.frameGeometry().bottom() + 8);
    pause(300);
    const QString file = out_.filePath(QStringLiteral("demo-start-log.png"));
    const bool saved = log->grab().save(file);
    say(QStringLiteral("demo: the start log (Options > Start log) is in %1").arg(file));
    return saved;
}

bool ScriptedStart::saveScreenshots() {
    const QString mainWindow = out_.filePath(QStringLiteral("demo-main-window.png"));
    const QString gate = out_.filePath(QStringLiteral("demo-virtual-gate.png"));
    const QString screen = out_.filePath(QStringLiteral("demo-screen.png"));
    bool ok = window_.grab().save(mainWindow) && panel_.grab().save(gate);
    // Both windows as they stand on the screen.
    const QRect both = window_.frameGeometry().united(panel_.frameGeometry());
    if (QScreen* primary = QGuiApplication::primaryScreen())
        ok = primary->grabWindow(0, both.x(), both.y(), both.width(), both.height()).save(screen) &&
             ok;
    say(ok ? QStringLiteral("demo: screenshots %1, %2, %3 (and demo-gate-up.png)")
                 .arg(mainWindow, gate, screen)
           : QStringLiteral("demo: could not write the screenshots in %1").arg(out_.path()));
    return ok;
}

void ScriptedStart::printTimeline() const {
    struct Entry {
        qint64 atNs;
        QString text;
    };
    QList<Entry> entries;
    int polls = 0;
    for (const sim::VirtualModule::Command& command : module_.commands()) {
        if (command.atNs < startNs_)
            continue;
        const QString meaning = sim::commandMeaning(command.bytes, panel_.roles());
        if (meaning.startsWith(QLatin1String("read "))) {
            ++polls;
            continue;
        }
        entries.append(
            {command.atNs,
             QStringLiteral("%1  %2").arg(sim::describe(command.bytes), -6).arg(meaning)});
    }
    for (const sim::StampingSoundPlayer::Call& call : sound_.calls()) {
        const QString how = call.sync
                                ? QStringLiteral(" (played to its end: %1 ms)")
                                      .arg(double(call.returnedNs - call.calledNs) / 1e6, 0, 'f', 0)
                                : QString();
        entries.append({call.calledNs, QStringLiteral("sound  %1%2").arg(call.file, how)});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.atNs < b.atNs; });
    if (entries.isEmpty())
        return;
    const qint64 zero = entries.first().atNs;
    say(QStringLiteral("\nTimeline of the starts (ms after the gate went up; commands when the "
                       "virtual module received them, sounds when the program started them):"));
    for (const Entry& entry : entries)
        say(QStringLiteral("%1  %2")
                .arg(double(entry.atNs - zero) / 1e6, 9, 'f', 1)
                .arg(entry.text));
    say(QStringLiteral("(and %1 reads of port B, not listed)\n").arg(polls));
}

bool ScriptedStart::checkOutputs() const {
    // The first start is called off: the lights go off, the gate stays up. The sample
    // config.dat drops the gate with the long tone (gate timing 3).
    const QStringList expected = {
        QStringLiteral("gate up"),    QStringLiteral("red off"),
        QStringLiteral("orange off"), QStringLiteral("green off"),
        QStringLiteral("red on"),     QStringLiteral("red off"),
        QStringLiteral("orange on"),  QStringLiteral("orange off"),
        QStringLiteral("green on"),   QStringLiteral("green on"),
        QStringLiteral("gate down"),  QStringLiteral("all port A lines off"),
    };
    const QStringList seen = outputsSinceStart();
    if (seen == expected) {
        say(QStringLiteral("demo: the start ran as it should"));
        return true;
    }
    say(QStringLiteral("demo: unexpected commands: %1").arg(seen.join(QStringLiteral(", "))));
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Korvane on a virtual start gate"));
    options.addHelpOption();
    const QCommandLineOption scripted(
        QStringLiteral("scripted"),
        QStringLiteral(
            "Perform one start, print its timeline, save screenshots in <folder>, exit."),
        QStringLiteral("folder"));
    const QCommandLineOption sourceOption(
        QStringLiteral("source"), QStringLiteral("The folder holding sounds/ and packaging/."),
        QStringLiteral("folder"));
    options.addOption(scripted);
    options.addOption(sourceOption);
    options.process(app);

    const std::optional<QString> source = findSourceFolder(options.value(sourceOption));
    if (!source) {
        say(QStringLiteral("korvane-demo: cannot find sounds/ and packaging/config.dat; "
                           "run it from the source folder or give --source"));
        return 2;
    }
    // Made absolute before the working folder changes.
    const QDir out(QDir(options.value(scripted)).absolutePath());
    const QDir run(QDir(*source).filePath(QStringLiteral("out/demo-run")));
    if (!prepareRunFolder(QDir(*source), run, options.isSet(scripted))) {
        say(QStringLiteral("korvane-demo: cannot prepare %1").arg(run.path()));
        return 2;
    }
    QDir::setCurrent(run.path()); // the sounds are looked up in the working folder

    sim::VirtualModule module(run.filePath(QStringLiteral("ttyUSB0")));
    sim::GatePanel panel(module);
    if (!module.start()) {
        say(QStringLiteral("korvane-demo: cannot open a pseudo-terminal"));
        return 2;
    }

    if (options.isSet(scripted)) {
        // Nobody is there to close a message box: say it and go on.
        setMessageHandler([](const Message& message) {
            say(QStringLiteral("demo: the program says \"%1\"").arg(message.text));
        });
    }
    auto player = std::make_unique<sim::StampingSoundPlayer>(createSystemSoundPlayer());
    sim::StampingSoundPlayer& sound = *player;
    frmUSB_Main window(PortCatalog::fromNames({module.devicePath()}), std::move(player),
                       run.path());
    window.move(0, 0);
    window.show();
    panel.move(window.frameGeometry().right() + 8, 0);
    panel.show();
    window.Form_Load();
    panel.setRoles(window.lineRoles());

    if (!options.isSet(scripted))
        return app.exec();

    out.mkpath(QStringLiteral("."));
    ScriptedStart start(window, panel, module, sound, out);
    return start.run() ? 0 : 1;
}
