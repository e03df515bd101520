// What the window tells the operator about the sound: the line shown while the riders
// would not hear a start, the start-up report of unusable files, Options > "Test sound",
// and a start that keeps its commands when the sound server goes away under it. The
// real player plays into a private sound server.
#include "sequence/start_log.h"
#include "sequence/start_sounds.h"
#include "tests/support/pulse_server.h"
#include "tests/support/start_helpers.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

// The start sounds as shipped, copied into `folder`.
void copyStartSounds(const QString& folder) {
    const QDir sounds(qEnvironmentVariable("KORVANE_SOURCE_DIR") + QStringLiteral("/sounds"));
    for (const QString& file : start_sounds::All)
        QVERIFY(QFile::copy(sounds.filePath(file), QDir(folder).filePath(file)));
}

bool soundLineShown(frmUSB_Main& w) {
    return w.soundStatus->isVisibleTo(&w);
}

} // namespace

class SoundStateTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void workingSoundSaysNothing();
    void noServerIsShown();
    void missingFilesAreReportedAndShown();
    void serverLostMidStartIsShownAndTheStartKeepsItsCommands();
    void lineFollowsThePlayerBothWays();
    void testSoundSaysWhereItPlayedAndOnlyAtRest();

private:
    // The window on a virtual module with the real player, started from `folder`.
    std::unique_ptr<WindowUnderTest> loadWindow(const QString& folder);

    std::unique_ptr<PulseServer> server_;
    QString previousFolder_;
    QTemporaryDir sounds_;
    QTemporaryDir empty_;
    std::unique_ptr<ModuleRig> rig_;
    std::unique_ptr<MessageRecorder> messages_;
};

void SoundStateTest::initTestCase() {
    server_ = std::make_unique<PulseServer>();
    previousFolder_ = QDir::currentPath();
    copyStartSounds(sounds_.path());
}

void SoundStateTest::init() {
    rig_ = std::make_unique<ModuleRig>();
    rig_->addModule(1);
    messages_ = std::make_unique<MessageRecorder>();
}

void SoundStateTest::cleanup() {
    QDir::setCurrent(previousFolder_);
    messages_.reset();
    rig_.reset();
}

void SoundStateTest::cleanupTestCase() {
    server_.reset();
}

std::unique_ptr<WindowUnderTest> SoundStateTest::loadWindow(const QString& folder) {
    QDir::setCurrent(folder);
    auto w = std::make_unique<WindowUnderTest>(*rig_, createSystemSoundPlayer());
    w->writeConfig(trackConfig());
    (*w)->Form_Load();
    return w;
}

void SoundStateTest::workingSoundSaysNothing() {
    if (!PulseServer::isInstalled())
        QSKIP("pulseaudio is not installed");
    QString error;
    QVERIFY2(server_->start(&error), qPrintable(error));
    auto w = loadWindow(sounds_.path());
    runEventsFor(2000);
    QVERIFY(!soundLineShown(**w));
    QVERIFY(messages_->messages.isEmpty());
    QCOMPARE((*w)->sound().output(), SoundOutput::Ready);
}

void SoundStateTest::noServerIsShown() {
    server_->stop();
    auto w = loadWindow(sounds_.path());
    QTRY_VERIFY_WITH_TIMEOUT(soundLineShown(**w), 2000);
    QVERIFY((*w)->soundStatus->text().contains(QStringLiteral("no sound server")));
    QVERIFY(messages_->messages.isEmpty()); // a line, not a box: a start stays allowed
    QVERIFY((*w)->Window_start_button->isEnabled());
}

void SoundStateTest::missingFilesAreReportedAndShown() {
    server_->stop();
    QVERIFY(QFile::copy(QDir(sounds_.path()).filePath(start_sounds::Ok_Riders),
                        QDir(empty_.path()).filePath(start_sounds::Ok_Riders)));
    auto w = loadWindow(empty_.path());
    QFile::remove(QDir(empty_.path()).filePath(start_sounds::Ok_Riders));

    QCOMPARE(messages_->messages.size(), 1);
    const QString report = messages_->messages[0].text;
    for (const QString& file : start_sounds::All.mid(1))
        QVERIFY2(report.contains(file + QStringLiteral(" is missing")), qPrintable(report));
    QVERIFY2(!report.contains(start_sounds::Ok_Riders), qPrintable(report));
    QVERIFY(report.contains(QStringLiteral("built-in tone")));
    // With no server the line says that first: a tone that nobody hears is no news.
    server_->start();
    QTRY_VERIFY_WITH_TIMEOUT((*w)->sound().output() == SoundOutput::Ready, 3000);
    QTRY_VERIFY_WITH_TIMEOUT((*w)->soundStatus->text().startsWith(QStringLiteral("Built-in tone")),
                             2000);
    QVERIFY(!(*w)->soundStatus->text().contains(start_sounds::Ok_Riders));
    // A file that went meanwhile is seen when the gate goes up, long before it is played.
    (*w)->Window_start_button_Click();
    QTRY_VERIFY_WITH_TIMEOUT((*w)->soundStatus->text().contains(start_sounds::Ok_Riders), 2000);
}

void SoundStateTest::serverLostMidStartIsShownAndTheStartKeepsItsCommands() {
    if (!PulseServer::isInstalled())
        QSKIP("pulseaudio is not installed");
    QString error;
    QVERIFY2(server_->start(&error), qPrintable(error));
    auto w = loadWindow(sounds_.path());
    frmUSB_Main& window = **w;
    QTRY_VERIFY_WITH_TIMEOUT(window.sound().output() == SoundOutput::Ready, 2000);
    setTestSpeed(window);
    window.Restart_Delay.stop(); // the design's ready state ten seconds after loading
    window.Gate = 0;
    window.Red = 1;
    window.Orange = 2;
    window.Green = 3;
    window.Finish_Beam = 0; // no race to wait for: the record is written at the ready state
    window.Gate_timing[1]->setChecked(true);
    sim::VirtualModule& module = rig_->module(1);
    const auto readyStateSent = [&] { return described(module).contains(QStringLiteral("A 00")); };
    QVERIFY(runUntil(readyStateSent, 2000)); // the load's
    module.clearCommands();

    window.Window_start_button_Click();
    QTRY_VERIFY_WITH_TIMEOUT(window.Window_start_button->isEnabled(), 2000);
    window.Window_start_button_Click();
    const qint64 lostNs = monotonicNs();
    server_->stop();
    QTRY_VERIFY_WITH_TIMEOUT(soundLineShown(window), 2000);
    QVERIFY(window.soundStatus->text().contains(QStringLiteral("lost")));
    QVERIFY(monotonicNs() - lostNs < 2'000'000'000);

    QVERIFY(runUntil(readyStateSent, 10000));
    QStringList outputs = described(module);
    outputs.removeAll(QStringLiteral("b"));
    QCOMPARE(outputs,
             (QStringList{"H 00", "H 01", "L 01", "H 02", "L 00", "L 02", "H 03", "H 03", "A 00"}));
    const auto log =
        startlog::readRecentStarts(startlog::startLogPathFor(w->programFolder.path()), 1);
    QCOMPARE(log.records.size(), 1);
    QCOMPARE(log.records[0].sound, QStringLiteral("no output"));
}

void SoundStateTest::lineFollowsThePlayerBothWays() {
    ModuleRig rig;
    rig.addModule(1);
    WindowUnderTest w(rig);
    w.writeConfig(trackConfig());
    w->Form_Load();
    QVERIFY(!soundLineShown(*w));

    w.sound->setOutput(SoundOutput::NoDevice);
    QTRY_VERIFY(soundLineShown(*w));
    QVERIFY(w->soundStatus->text().contains(QStringLiteral("no output device")));
    // Both lines have their place: a lost module does not hide the sound, nor the reverse.
    rig.module(1).unplug();
    QTRY_VERIFY(w->linkStatus->isVisibleTo(w.window.get()));
    QVERIFY(soundLineShown(*w));
    QVERIFY(!w->linkStatus->geometry().intersects(w->soundStatus->geometry()));
    QVERIFY2(clippedCaptions(w.window.get()).isEmpty(),
             qPrintable(clippedCaptions(w.window.get()).join(QStringLiteral("; "))));

    w.sound->setOutput(SoundOutput::Ready);
    w.sound->setFileState(start_sounds::Watch_The_Gate, SoundFileState::Undecodable);
    QTRY_VERIFY(w->soundStatus->text().startsWith(QStringLiteral("Built-in tone")));
    w.sound->setFileState(start_sounds::Watch_The_Gate, SoundFileState::Ready);
    QTRY_VERIFY(!soundLineShown(*w));
}

void SoundStateTest::testSoundSaysWhereItPlayedAndOnlyAtRest() {
    ModuleRig rig;
    rig.addModule(1);
    WindowUnderTest w(rig);
    w.writeConfig(trackConfig());
    w->Form_Load();
    messages_->messages.clear();

    QVERIFY(w->testSoundItem->isEnabled());
    w->testSoundItem->trigger();
    QCOMPARE(messages_->messages.size(), 1);
    QVERIFY(messages_->messages[0].text.contains(QStringLiteral("Test speakers")));
    QTRY_COMPARE(w.sound->files(),
                 (QStringList{start_sounds::Beep_Tone, start_sounds::Riders_Ready}));

    w.sound->setOutput(SoundOutput::NoServer);
    w->testSoundItem->trigger();
    QVERIFY(messages_->messages[1].text.contains(QStringLiteral("no sound server")));

    // From the gate's raise to the ready state a test would sound over the start.
    w->Window_start_button_Click();
    QVERIFY(!w->testSoundItem->isEnabled());
    w->Set_Ready_State();
    QVERIFY(w->testSoundItem->isEnabled());
}

QTEST_MAIN(SoundStateTest)
#include "tst_sound_state.moc"
