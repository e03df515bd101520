// Faults and bad input against the real program: a module that goes away or
// misbehaves, message boxes left open, a damaged config.dat, broken sound files and
// bad ports in the scan. Cases other suites prove already are not repeated here.
#include "dialogs/frmDebug_window.h"
#include "settings/config_file.h"
#include "sound/wav.h"
#include "tests/support/model_rig.h"
#include "tests/support/pulse_server.h"
#include "tests/support/start_helpers.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QSet>
#include <QTest>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>

using namespace korvane;
using namespace korvane::test;

namespace {

// Evaluates `expression` once and logs it.
#define VERIFY_WITHIN(expression, low, high)                                                       \
    do {                                                                                           \
        const qint64 value_ = (expression);                                                        \
        qInfo("%s = %lld", #expression, value_);                                                   \
        QVERIFY2(value_ >= (low) && value_ <= (high),                                              \
                 qPrintable(QStringLiteral(#expression " = %1, expected %2..%3")                   \
                                .arg(value_)                                                       \
                                .arg(low)                                                          \
                                .arg(high)));                                                      \
    } while (false)

qint64 msSince(qint64 ns) {
    return (monotonicNs() - ns) / 1000000;
}

QByteArray randomBytes(int count, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(count, '\0');
    for (char& byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

// An operator who leaves every message open for a while before pressing OK, the event
// loop running meanwhile; notes the most boxes ever on screen at once.
struct SlowOperator {
    SlowOperator(MessageRecorder& recorder, int openMs) {
        recorder.whileOpen = [this, openMs](const Message&) {
            most = std::max(most, ++open);
            runEventsFor(openMs);
            --open;
        };
    }
    int open = 0; // boxes on screen now: a box shown while another is open nests
    int most = 0;
};

// The module's commands without the port reads of the poll and the debug window.
QStringList lineOutputs(const StartRig& rig) {
    QStringList texts = rig.outputs();
    texts.removeAll(QStringLiteral("a"));
    texts.removeAll(QStringLiteral("c"));
    return texts;
}

// The four beeps one beep interval apart, each late by at most one poll's wait.
void verifyBeepGaps(const StartRig& rig, int beepMs) {
    const qint64 beeps[] = {rig.outputStampNs("H 01"), rig.outputStampNs("H 02"),
                            rig.outputStampNs("H 03", 0), rig.outputStampNs("H 03", 1)};
    for (int k = 1; k < 4; ++k)
        VERIFY_WITHIN((beeps[k] - beeps[k - 1]) / 1000000, beepMs - 10, beepMs + 150);
}

const QStringList Start_Sounds = {
    "ok_riders.wav",      "Riders_ready.wav",   "Watch_the_gate.wav",     "BMX_start_tone.wav",
    "BMX_start_tone.wav", "BMX_start_tone.wav", "BMX_start_tone_long.wav"};

// --- config.dat

const QList<QByteArray> Track_Values = {"250", "2", "T", "3", "4", "5", "6", "2", "7"};

QByteArray trackFile(const QByteArray& lineEnd = "\r\n") {
    QByteArray text;
    for (int i = 0; i < Track_Values.size(); ++i)
        text += '"' + Track_Values[i] + config::lineLabels()[i] + '"' + lineEnd;
    return text;
}

// What the window holds of the nine settings, as the file would say them.
config::SettingsRecord heldSettings(frmUSB_Main& w) {
    config::SettingsRecord r;
    r.beepSpeed = qint16(w.HScroll1->value());
    r.gateTiming = -1;
    for (int i = 0; i < 4; ++i)
        if (w.Gate_timing[i]->isChecked())
            r.gateTiming = qint16(i);
    r.raceTimePanel = w.Veiw_Timer->isChecked() && w.Frame2->isVisibleTo(&w);
    r.gate = w.Gate;
    r.red = w.Red;
    r.orange = w.Orange;
    r.green = w.Green;
    r.startButtonLine = w.Start_Button;
    r.finishBeamLine = w.Finish_Beam;
    return r;
}

// The window after a load that applied the first `lines` lines of the track file.
config::SettingsRecord afterLines(int lines) {
    using R = config::SettingsRecord;
    const R track{250, 2, true, 3, 4, 5, 6, 1 << 2, 1 << 7};
    R r{150, -1, false, 0, 0, 0, 0, 0, 0};
    int line = 0;
    const auto take = [&](auto field) {
        if (++line <= lines)
            r.*field = track.*field;
    };
    for (auto field : {&R::beepSpeed, &R::gateTiming})
        take(field);
    take(&R::raceTimePanel);
    for (auto field :
         {&R::gate, &R::red, &R::orange, &R::green, &R::startButtonLine, &R::finishBeamLine})
        take(field);
    return r;
}

// The whole file a save must write for what the window holds.
QByteArray wholeFileFor(frmUSB_Main& w) {
    config::SettingsRecord r = heldSettings(w);
    r.gateTiming = std::max<qint16>(r.gateTiming, 0);
    r.startButtonLine = config::maskToPin(w.Start_Button);
    r.finishBeamLine = config::maskToPin(w.Finish_Beam);
    return config::writeConfig(r);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Runs `load` as a user who may not read the file (root reads everything).
void asAnotherUser(const std::function<void()>& load) {
    if (geteuid() != 0) {
        load();
        return;
    }
    QVERIFY(seteuid(65534) == 0);
    load();
    QVERIFY(seteuid(0) == 0);
}

// --- sounds

// A mono 16-bit WAV file of a 440 Hz tone, written in pieces so that a long one costs
// little memory.
void writeToneFile(const QString& path, int ms, int rate = 48000) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    QVERIFY(file);
    std::vector<float> piece(std::size_t(rate / 10));
    for (std::size_t i = 0; i < piece.size(); ++i)
        piece[i] = float(0.3 * std::sin(2 * M_PI * 440.0 * double(i) / rate));
    for (sf_count_t left = sf_count_t(rate) * ms / 1000; left > 0;) {
        const sf_count_t frames = std::min<sf_count_t>(left, sf_count_t(piece.size()));
        sf_writef_float(file, piece.data(), frames);
        left -= frames;
    }
    sf_close(file);
}

constexpr int Default_Tone_Ms = 200;
constexpr int Voice_Ms = 300;

// Changes the working folder (where the sounds are looked up) for its lifetime.
struct WorkingFolder {
    explicit WorkingFolder(const QString& path)
        : previous(QDir::currentPath()) {
        QDir::setCurrent(path);
    }
    ~WorkingFolder() { QDir::setCurrent(previous); }
    QString previous;
};

// --- discovery

enum class PortKind { Module, Silent, Garbage, Vanishing };

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void misbehavingModuleIsReadThroughOrSaidSo_data();
    void misbehavingModuleIsReadThroughOrSaidSo();
    void junkOnTheLineDuringAStartKeepsItsTimeline();
    void silentModuleNeverStacksMessagesAndTheStartKeepsTime();
    void debugWindowClosedBehindItsOwnMessage();

    void damagedConfigLoadsWhatItCanAndSavesWhole_data();
    void damagedConfigLoadsWhatItCanAndSavesWhole();
    void configCutAtEveryByteLoadsTheWholeLinesBeforeTheCut();

    void soundFaultsNeverHoldUpTheStart_data();
    void soundFaultsNeverHoldUpTheStart();

    void scanGoesOnPastBadPorts_data();
    void scanGoesOnPastBadPorts();

private:
    std::unique_ptr<PulseServer> server_;
};

void FaultsTest::initTestCase() {
    // From here on the players of this process look for a private server only.
    server_ = std::make_unique<PulseServer>();
}

void FaultsTest::cleanupTestCase() {
    server_.reset();
}

// ---------------------------------------------------------------- a module that misbehaves

enum class Misbehaviour { EveryReplyTwice, TwoStrayBytes, Burst, ReplyToALineCommand };

void FaultsTest::misbehavingModuleIsReadThroughOrSaidSo_data() {
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("lasts"); // the module goes on misbehaving
    QTest::newRow("every reply twice") << int(Misbehaviour::EveryReplyTwice) << true;
    QTest::newRow("two stray bytes") << int(Misbehaviour::TwoStrayBytes) << false;
    QTest::newRow("1,000 random bytes") << int(Misbehaviour::Burst) << false;
    QTest::newRow("a reply to a line command") << int(Misbehaviour::ReplyToALineCommand) << false;
}

// Bytes the module should not have sent: the window says the replies are garbled while
// they last. A press of the external button is then either acted on or, while no reply
// can be trusted, told as "Read Timeout": never dropped in silence.
void FaultsTest::misbehavingModuleIsReadThroughOrSaidSo() {
    QFETCH(int, fault);
    QFETCH(bool, lasts);
    StartRig rig({.garbledClearMs = 300});
    QVERIFY(rig.load());
    rig.stopBackgroundTimers();
    sim::VirtualModule& module = rig.module();
    switch (Misbehaviour(fault)) {
    case Misbehaviour::EveryReplyTwice:
        module.setDoubleReply(true);
        break;
    case Misbehaviour::TwoStrayBytes:
        module.injectBytes(QByteArray("\x55\x66", 2));
        break;
    case Misbehaviour::Burst:
        module.injectBytes(randomBytes(1000, 7));
        break;
    case Misbehaviour::ReplyToALineCommand:
        rig->Write_Port_A(0x00);
        module.injectBytes(QByteArray(1, '\x7E'));
        break;
    }
    QVERIFY(runUntil([&] { return rig->linkStatus->isVisibleTo(&rig.window()); }, 2000));
    QVERIFY(rig->linkStatus->text().contains(QStringLiteral("garbled")));
    rig.setButton(true);
    const bool raised =
        runUntil([&] { return rig->startSequence.state() != StartState::Ready; }, 2000);
    QCOMPARE(raised, !lasts);
    if (lasts)
        QVERIFY(!rig.messages().messages.isEmpty());
    QCOMPARE(rig.messages().messages.isEmpty(), !lasts);
    // Once the replies are whole again the line goes by itself.
    module.setDoubleReply(false);
    QVERIFY(runUntil([&] { return rig->linkStatus->isHidden(); }, 4000));
}

// A burst of junk in the hold-off and a stray byte after a light: the polls read
// through them, the second press is seen, and the start keeps its timeline.
// The cadence's calls and the ready state at test speed (TestSpeed) with a 300 ms "Watch the
// gate" and 100 ms beeps: from "OK riders" to the last beep, and from it to the ready state.
constexpr int Cadence_To_Last_Beep_Ms = 600 + 500 + 300 + 4 * 100;
constexpr int Ready_After_Last_Beep_Ms = 1000;

void verifyTimeline(const StartRig& rig) {
    const qint64 ok = rig.soundStampNs("ok_riders.wav");
    const qint64 lastBeep = rig.outputStampNs("H 03", 1);
    VERIFY_WITHIN((lastBeep - ok) / 1000000, Cadence_To_Last_Beep_Ms - 10,
                  Cadence_To_Last_Beep_Ms + 800);
    verifyBeepGaps(rig, 100);
    VERIFY_WITHIN((rig.outputStampNs("A 00") - lastBeep) / 1000000, Ready_After_Last_Beep_Ms - 10,
                  Ready_After_Last_Beep_Ms + 800);
}

// A start at test speed with 100 ms beeps and a 300 ms "Watch the gate".
void prepareStart(StartRig& rig, int dropBeep) {
    setTestSpeed(rig.window());
    rig->HScroll1->setValue(100);
    rig->Gate_timing[dropBeep - 1]->setChecked(true);
    rig.sound().syncMs = 300;
}

void FaultsTest::junkOnTheLineDuringAStartKeepsItsTimeline() {
    StartRig rig;
    QVERIFY(rig.load());
    prepareStart(rig, 1);
    SlowOperator slow(rig.messages(), 200);
    const auto caption = [&] { return rig->Window_start_button->text(); };

    rig.setButton(true);
    QVERIFY(runUntil([&] { return caption() == QLatin1String("Start"); }, 2000));
    rig.setButton(false);
    rig.module().injectBytes(randomBytes(1000, 11));
    QVERIFY(runUntil([&] { return rig->Window_start_button->isEnabled(); }, 6000));
    rig.setButton(true);
    QVERIFY(runUntil([&] { return caption() == QLatin1String("Delay"); }, 3000));
    rig.setButton(false);
    QVERIFY(runUntil([&] { return rig.outputs().contains(QStringLiteral("H 01")); }, 8000));
    rig.module().injectBytes(QByteArray(1, '\0'));
    QVERIFY(runUntil([&] { return rig.outputs().contains(QStringLiteral("A 00")); }, 15000, 20));

    QCOMPARE(rig.outputs(),
             QStringList({"H 00", "H 01", "L 00", "L 01", "H 02", "L 02", "H 03", "H 03", "A 00"}));
    verifyTimeline(rig);
    QVERIFY(slow.most <= 1);
}

// The module falls silent at the start press and stays silent well past the start's end;
// an operator takes 1.5 s to close each message, with the debug window open.
void FaultsTest::silentModuleNeverStacksMessagesAndTheStartKeepsTime() {
    StartRig rig;
    QVERIFY(rig.load());
    prepareStart(rig, 4);
    rig->Debug_io_Click();
    SlowOperator slow(rig.messages(), 1500);

    rig->Window_start_button_Click();
    rig->Gate_up_timer_Timer();
    rig.module().setSilent(true);
    const qint64 silentFrom = monotonicNs();
    rig->Window_start_button_Click();
    QVERIFY(runUntil([&] { return lineOutputs(rig).contains(QStringLiteral("A 00")); }, 10000, 20));
    runUntil([&] { return msSince(silentFrom) >= 5000; }, 5000, 50);
    QCOMPARE(lineOutputs(rig),
             QStringList({"H 00", "H 01", "L 01", "H 02", "L 02", "H 03", "H 03", "L 00", "A 00"}));
    // A refresh of the debug window would hold the window 0.4 s: none comes near a step.
    verifyTimeline(rig);
    QCOMPARE(slow.most, 1);
    QVERIFY(rig.messages().messages.size() >= 3);

    // The module answers again: once the last box is closed the messages stop.
    rig.module().setSilent(false);
    runEventsFor(2000);
    const qsizetype shown = rig.messages().messages.size();
    runEventsFor(1000);
    QCOMPARE(rig.messages().messages.size(), shown);
}

void FaultsTest::debugWindowClosedBehindItsOwnMessage() {
    StartRig rig;
    QVERIFY(rig.load());
    rig.stopBackgroundTimers();
    rig->Debug_io_Click();
    QPointer<frmDebug_window> debug = rig->debugWindow;
    rig.module().setSilent(true);
    // The administrator logs out while the message of a failed refresh is open: the
    // window goes away under the refresh that is still waiting for OK.
    rig->setAdministrator(true);
    rig.messages().whileOpen = [&](const Message&) {
        rig->Log_In_Click();
        runEventsFor(300);
    };
    QVERIFY(runUntil([&] { return !rig.messages().messages.isEmpty(); }, 3000));
    runEventsFor(300);
    QVERIFY(debug.isNull());
    QCOMPARE(rig.messages().messages.size(), 1);
    rig.module().clearCommands();
    runEventsFor(300);
    QCOMPARE(lineOutputs(rig), QStringList{}); // no more reads of ports A and C
}

// ---------------------------------------------------------------- damaged config.dat

enum class ConfigDamage { Bytes, Unreadable, Folder, Pipe };

void FaultsTest::damagedConfigLoadsWhatItCanAndSavesWhole_data() {
    QTest::addColumn<int>("damage");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("linesApplied");
    QByteArray nulInGate = trackFile();
    nulInGate.replace("\"3'", QByteArray("\"3\0'", 4));
    const auto bytes = int(ConfigDamage::Bytes);
    QTest::newRow("NUL in the gate line") << bytes << nulInGate << 3;
    QTest::newRow("NUL bytes only") << bytes << QByteArray(1024, '\0') << 0;
    QTest::newRow("1 MB of junk") << bytes << randomBytes(1 << 20, 3).replace('\'', 'x') << 0;
    QTest::newRow("1 MB of junk after a whole file")
        << bytes << trackFile() + randomBytes(1 << 20, 5) << 9;
    QTest::newRow("CR-only line ends") << bytes << trackFile("\r") << 9;
    QTest::newRow("unreadable") << int(ConfigDamage::Unreadable) << trackFile() << 0;
    QTest::newRow("a folder named config.dat") << int(ConfigDamage::Folder) << QByteArray() << 0;
    QTest::newRow("a pipe named config.dat") << int(ConfigDamage::Pipe) << QByteArray() << 0;
}

void FaultsTest::damagedConfigLoadsWhatItCanAndSavesWhole() {
    QFETCH(int, damage);
    QFETCH(QByteArray, bytes);
    QFETCH(int, linesApplied);
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder messages;
    const QString path = config::configPathFor(w.programFolder.path());
    std::thread writer;
    std::atomic<bool> loaded = false;
    switch (ConfigDamage(damage)) {
    case ConfigDamage::Bytes:
        writeFile(path, bytes);
        break;
    case ConfigDamage::Unreadable:
        writeFile(path, bytes);
        QVERIFY(QFile::setPermissions(w.programFolder.path(),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ExeOther));
        QVERIFY(QFile::setPermissions(path, {}));
        break;
    case ConfigDamage::Folder:
        QVERIFY(QDir(w.programFolder.path()).mkdir(QStringLiteral("config.dat")));
        break;
    case ConfigDamage::Pipe:
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        // Lets a load that waits for a writer go on, so that a failure cannot hang.
        writer = std::thread([path, &loaded] {
            for (int i = 0; i < 60 && !loaded; ++i)
                QThread::msleep(50);
            if (!loaded)
                ::close(::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK));
        });
        break;
    }

    const qint64 loadNs = monotonicNs();
    if (ConfigDamage(damage) == ConfigDamage::Unreadable)
        asAnotherUser([&] { w->Load_Settings(); });
    else
        w->Load_Settings();
    const qint64 loadMs = msSince(loadNs);
    loaded = true;
    if (writer.joinable())
        writer.join();
    // Compared as file text, which reads well when they differ.
    QCOMPARE(config::writeConfig(heldSettings(*w)), config::writeConfig(afterLines(linesApplied)));
    QVERIFY2(loadMs < 1000, qPrintable(QString::number(loadMs)));
    QVERIFY(messages.messages.isEmpty());

    w->Save_Settings_File();
    if (ConfigDamage(damage) == ConfigDamage::Folder) {
        QVERIFY(QFileInfo(path).isDir());
        return;
    }
    if (ConfigDamage(damage) == ConfigDamage::Unreadable && geteuid() != 0) {
        QCOMPARE(readFile(path), QByteArray()); // not ours to replace: left as it was
        return;
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QCOMPARE(readFile(path), wholeFileFor(*w));
}

void FaultsTest::configCutAtEveryByteLoadsTheWholeLinesBeforeTheCut() {
    const QByteArray whole = trackFile();
    // A line counts once its apostrophe is in: its value text is complete then.
    QList<qsizetype> apostrophes;
    for (qsizetype lineStart = 0; lineStart < whole.size();
         lineStart = whole.indexOf("\r\n", lineStart) + 2)
        apostrophes << whole.indexOf('\'', lineStart);
    QCOMPARE(apostrophes.size(), 9);
    ModuleRig rig;
    for (qsizetype cut = 0; cut <= whole.size(); ++cut) {
        WindowUnderTest w(rig);
        const QString path = config::configPathFor(w.programFolder.path());
        writeFile(path, whole.left(cut));
        w->Load_Settings();
        const int lines = int(std::count_if(apostrophes.begin(), apostrophes.end(),
                                            [cut](qsizetype at) { return at < cut; }));
        const QByteArray held = config::writeConfig(heldSettings(*w));
        QVERIFY2(held == config::writeConfig(afterLines(lines)),
                 qPrintable(QStringLiteral("cut at %1:\n%2").arg(cut).arg(held)));
        w->Save_Settings_File();
        QVERIFY2(readFile(path) == wholeFileFor(*w), qPrintable(QString::number(cut)));
    }
}

// ---------------------------------------------------------------- sound faults

enum class SoundFault { AllMissing, NotWav, Empty, Huge, NoServer };

void FaultsTest::soundFaultsNeverHoldUpTheStart_data() {
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("watchTheGateMs"); // how long the synchronous sound lasts
    QTest::newRow("all five files missing") << int(SoundFault::AllMissing) << Default_Tone_Ms;
    QTest::newRow("not WAV files") << int(SoundFault::NotWav) << Default_Tone_Ms;
    QTest::newRow("empty files") << int(SoundFault::Empty) << Default_Tone_Ms;
    QTest::newRow("a minute at 384 kHz") << int(SoundFault::Huge) << Voice_Ms;
    QTest::newRow("no sound server") << int(SoundFault::NoServer) << Voice_Ms;
}

void FaultsTest::soundFaultsNeverHoldUpTheStart() {
    QFETCH(int, fault);
    QFETCH(int, watchTheGateMs);
    const auto kind = SoundFault(fault);
    if (kind == SoundFault::NoServer)
        server_->stop();
    else if (PulseServer::isInstalled() && !server_->isRunning())
        QVERIFY(server_->start());

    QTemporaryDir folder;
    for (const QString& file : QSet<QString>(Start_Sounds.begin(), Start_Sounds.end())) {
        const QString path = folder.filePath(file);
        switch (kind) {
        case SoundFault::AllMissing:
            break;
        case SoundFault::NotWav:
            writeFile(path, "a text file, not a sound\n");
            break;
        case SoundFault::Empty:
            writeFile(path, {});
            break;
        case SoundFault::Huge:
        case SoundFault::NoServer:
            if (kind == SoundFault::Huge && file == QLatin1String("ok_riders.wav"))
                writeToneFile(path, 59000, 384000);
            else
                writeToneFile(path,
                              file.startsWith(QLatin1String("BMX_start_tone.")) ? 60 : Voice_Ms);
            break;
        }
    }
    WorkingFolder here(folder.path());
    // The start itself, on the real player: each step that plays a sound, timed.
    const std::unique_ptr<SoundPlayer> player = createSystemSoundPlayer();
    ManualClock clock;
    RecordingPort port([&] { return clock.nowNs(); });
    StartSequence start(port, *player, clock);
    clock.setRunner([&](StartStep step) { start.stepDue(step); });
    start.setSettings(ModelRig::trackSettings());
    const auto timed = [](const std::function<void()>& step) {
        const qint64 from = monotonicNs();
        step();
        return msSince(from);
    };
    // The gate's raise reads the sounds, at least the hold-off before the first call; the
    // player connects to the server meanwhile.
    VERIFY_WITHIN(timed([&] { start.click(); }), 0, 600);
    QThread::msleep(300);
    clock.advance(cadence::Hold_Off_Ms);
    VERIFY_WITHIN(timed([&] { start.click(); }), 0, 600);
    VERIFY_WITHIN(timed([&] { clock.advance(cadence::Riders_Ready_Ms); }), 0, 600);
    VERIFY_WITHIN(timed([&] { clock.advance(cadence::Watch_The_Gate_Ms); }), watchTheGateMs - 5,
                  watchTheGateMs + 1300);
    for (int beep = 0; beep < 4; ++beep)
        VERIFY_WITHIN(timed([&] { clock.advance(150); }), 0, 600);
    QCOMPARE(port.sent.count(QStringLiteral("L 00")), 1);
}

// ---------------------------------------------------------------- discovery

void FaultsTest::scanGoesOnPastBadPorts_data() {
    QTest::addColumn<QList<int>>("ports"); // PortKind of ports 1, 2, ...
    QTest::addColumn<int>("found");
    const auto kinds = [](std::initializer_list<PortKind> list) {
        QList<int> ports;
        for (PortKind kind : list)
            ports << int(kind);
        return ports;
    };
    QTest::newRow("garbage before the module") << kinds({PortKind::Garbage, PortKind::Module}) << 2;
    QTest::newRow("a port that goes away while probed")
        << kinds({PortKind::Vanishing, PortKind::Module}) << 2;
    QTest::newRow("all of them before the module")
        << kinds({PortKind::Silent, PortKind::Vanishing, PortKind::Garbage, PortKind::Vanishing,
                  PortKind::Module})
        << 5;
}

void FaultsTest::scanGoesOnPastBadPorts() {
    QFETCH(QList<int>, ports);
    QFETCH(int, found);
    QTemporaryDir dir;
    QObject unplugs; // outlives the devices, so no unplug can reach one that is gone
    std::vector<std::unique_ptr<sim::VirtualModule>> devices;
    QStringList names;
    for (int n = 1; n <= ports.size(); ++n) {
        auto device =
            std::make_unique<sim::VirtualModule>(dir.filePath(QStringLiteral("ttyUSB%1").arg(n)));
        sim::VirtualModule* raw = device.get();
        switch (PortKind(ports[n - 1])) {
        case PortKind::Module:
            break;
        case PortKind::Silent:
            raw->setSilent(true);
            break;
        case PortKind::Vanishing:
            // Pulled out as the question arrives, while the scan waits for the answer.
            raw->setOnCommand([raw, &unplugs](const sim::VirtualModule::Command&) {
                QMetaObject::invokeMethod(
                    &unplugs, [raw] { raw->unplug(); }, Qt::QueuedConnection);
            });
            [[fallthrough]];
        case PortKind::Garbage:
            raw->setIdentification(randomBytes(1000, quint32(n)));
            break;
        }
        QVERIFY(raw->start());
        names << raw->devicePath();
        devices.push_back(std::move(device));
    }
    QVERIFY(config::saveConfigAtomically(config::configPathFor(dir.path()), trackConfig()));
    MessageRecorder messages;
    frmUSB_Main w(PortCatalog::fromNames(names), std::make_unique<RecordingSoundPlayer>(),
                  dir.path());
    w.endProgram = [] {};
    w.Form_Load();
    QVERIFY(w.windowTitle().startsWith(QStringLiteral("Korvane USB IO on port %1 ").arg(found)));
    QVERIFY(messages.messages.isEmpty());
    sim::VirtualModule& module = *devices[std::size_t(found - 1)];
    QVERIFY(module.waitForCommands(6, 2000));
    QCOMPARE(commands(module).mid(0, 6),
             QStringList({"?", "! A 00", "! B FF", "! C FF", "a", "A 00"}));
    QVERIFY(w.MSComm1.connected());
    QVERIFY(!w.Restart_Delay.isActive());
    for (int n = 1; n < found; ++n) {
        if (PortKind(ports[n - 1]) == PortKind::Vanishing)
            QVERIFY(!devices[std::size_t(n - 1)]->isPlugged());
    }
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
