// Loading and saving config.dat through the main window and its settings controls.
#include "settings/config_file.h"
#include "tests/support/test_rig.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>

#include <csignal>

#include <sys/resource.h>

using namespace korvane;

namespace {

// A file in the program's own format, from nine value texts.
QByteArray configText(const QList<QByteArray>& values) {
    QByteArray text;
    for (int i = 0; i < values.size(); ++i)
        text += '"' + values[i] + config::lineLabels()[i] + "\"\r\n";
    return text;
}

const QList<QByteArray> Track_Values = {"250", "2", "T", "3", "4", "5", "6", "2", "7"};

struct SettingsWindow {
    test::ModuleRig rig;
    std::unique_ptr<test::WindowUnderTest> w = std::make_unique<test::WindowUnderTest>(rig);
    frmUSB_Main& operator*() { return **w; }
    frmUSB_Main* operator->() { return w->window.get(); }
    QString path() const { return config::configPathFor(w->programFolder.path()); }

    void write(const QByteArray& bytes) {
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QByteArray read() const {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    int gateTiming() {
        for (int i = 0; i < 4; ++i)
            if ((*this)->Gate_timing[i]->isChecked())
                return i;
        return -1;
    }
    bool panelShown() { return (*this)->Frame2->isVisibleTo(w->window.get()); }
};

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT
private slots:
    void trackFileIsAppliedToTheWindow();
    void startValuesSavedThenLoaded();
    void loadedFileSavesByteIdentical();
    void loadStopsAtTheFirstBadLine_data();
    void loadStopsAtTheFirstBadLine();
    void missingFileChangesNothing();
    void failedSaveKeepsTheOldFileWhole();
    void veiwRaceTimeTogglesThePanelAndSaves();
    void controlsFollowTheOperator();
    void startUpReadsTheFileBesideTheProgram();
    void damagedFileIsReportedOnceAndKeptAtTheFirstSave();
    void startUpWithoutAModuleKeepsTheFileTheOperatorWrote();
    void missingFileAndSharedLinesAreReported();
    void saveDuringAStartWaitsForItsEnd();
    void failedSaveOfADamagedFileLeavesNoCopyAndIsSaid();
};

void SettingsTest::trackFileIsAppliedToTheWindow() {
    SettingsWindow s;
    s.write(configText(Track_Values));
    s->Load_Settings();
    QCOMPARE(s->HScroll1->value(), 250);
    QCOMPARE(s->Beep_time_label->text(), QStringLiteral("250"));
    QCOMPARE(s.gateTiming(), 2);
    QVERIFY(s->Veiw_Timer->isChecked());
    QVERIFY(s.panelShown());
    QCOMPARE(s->Gate, 3);
    QCOMPARE(s->Red, 4);
    QCOMPARE(s->Orange, 5);
    QCOMPARE(s->Green, 6);
    QCOMPARE(s->Start_Button, 4);
    QCOMPARE(s->Finish_Beam, 128);
}

void SettingsTest::startValuesSavedThenLoaded() {
    SettingsWindow s;
    s->Save_Settings_File();
    QCOMPARE(s.read(), configText({"150", "0", "F", "0", "0", "0", "0", "0", "0"}));
    s->Load_Settings();
    QCOMPARE(s.gateTiming(), 0);
    // A mask of 0 was written as line 0, which reads back as the mask of line 0.
    QCOMPARE(s->Start_Button, 1);
    QCOMPARE(s->Finish_Beam, 1);
}

void SettingsTest::loadedFileSavesByteIdentical() {
    SettingsWindow s;
    const QByteArray original = configText(Track_Values);
    s.write(original);
    s->Load_Settings();
    s->Save_Settings_Click();
    QCOMPARE(s.read(), original);
    s->Save_Settings_Click();
    QCOMPARE(s.read(), original);

    SettingsWindow again;
    again.write(original);
    again->Load_Settings();
    QCOMPARE(again->HScroll1->value(), s->HScroll1->value());
    QCOMPARE(again->Start_Button, s->Start_Button);
}

void SettingsTest::loadStopsAtTheFirstBadLine_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("beep");
    QTest::addColumn<int>("gateTiming");
    QTest::addColumn<bool>("panel");
    QTest::addColumn<int>("gate");
    QTest::addColumn<int>("startMask");

    auto with = [](int line, const QByteArray& value) {
        QList<QByteArray> values = Track_Values;
        values[line - 1] = value;
        return configText(values);
    };
    QTest::newRow("whole file") << configText(Track_Values) << 250 << 2 << true << 3 << 4;
    QTest::newRow("only three lines")
        << configText(Track_Values.mid(0, 3)) << 250 << 2 << true << 0 << 0;
    QTest::newRow("gate timing 7") << with(2, "7") << 250 << -1 << false << 0 << 0;
    QTest::newRow("lower-case t goes on") << with(3, "t") << 250 << 2 << false << 3 << 4;
    QTest::newRow("T with a blank goes on") << with(3, "T ") << 250 << 2 << false << 3 << 4;
    QTest::newRow("blank after a number") << with(4, "3 ") << 250 << 2 << true << 3 << 4;
    QTest::newRow("start button line 15") << with(8, "15") << 250 << 2 << true << 3 << 0;
    QTest::newRow("start button line 3") << with(8, "3") << 250 << 2 << true << 3 << 8;
    QTest::newRow("beep speed above the bar") << with(1, "900") << 150 << -1 << false << 0 << 0;
    QTest::newRow("beep speed below the bar") << with(1, "50") << 150 << -1 << false << 0 << 0;
    QTest::newRow("gate line 256 cannot be sent") << with(4, "256") << 250 << 2 << true << 0 << 0;
    QTest::newRow("negative gate line") << with(4, "-1") << 250 << 2 << true << 0 << 0;
    QTest::newRow("line without apostrophe")
        << QByteArray("\"250'     Beep speed\"\r\n\"1\"\r\n\"T'\"\r\n") << 250 << -1 << false << 0
        << 0;
    QTest::newRow("hand-edited unquoted lines")
        << QByteArray("200' beep\r\n3 'timing\r\n\"T'\"\r\n") << 200 << 3 << true << 0 << 0;
    QTest::newRow("LF only line ends")
        << configText(Track_Values).replace("\r\n", "\n") << 250 << 2 << true << 3 << 4;
    QTest::newRow("fraction rounds half to even") << with(1, "252.5") << 252 << 2 << true << 3 << 4;
    QTest::newRow("empty file") << QByteArray() << 150 << -1 << false << 0 << 0;
}

void SettingsTest::loadStopsAtTheFirstBadLine() {
    QFETCH(QByteArray, file);
    QFETCH(int, beep);
    QFETCH(int, gateTiming);
    QFETCH(bool, panel);
    QFETCH(int, gate);
    QFETCH(int, startMask);
    SettingsWindow s;
    test::MessageRecorder messages;
    s.write(file);
    s->Load_Settings();
    QCOMPARE(s->HScroll1->value(), beep);
    QCOMPARE(s.gateTiming(), gateTiming);
    QCOMPARE(s.panelShown(), panel);
    QCOMPARE(s->Veiw_Timer->isChecked(), panel);
    QCOMPARE(int(s->Gate), gate);
    QCOMPARE(int(s->Start_Button), startMask);
    QVERIFY(messages.messages.isEmpty());
}

void SettingsTest::missingFileChangesNothing() {
    SettingsWindow s;
    test::MessageRecorder messages;
    s->Load_Settings();
    QCOMPARE(s->HScroll1->value(), 150);
    QCOMPARE(s.gateTiming(), -1);
    QVERIFY(!s.panelShown());
    QCOMPARE(s->Start_Button, 0);
    QVERIFY(!QFile::exists(s.path()));
    QVERIFY(messages.messages.isEmpty());
}

void SettingsTest::failedSaveKeepsTheOldFileWhole() {
    SettingsWindow s;
    const QByteArray original = configText(Track_Values);
    s.write(original);
    s->Load_Settings();
    s->HScroll1->setValue(400);

    // A full disk: no file may grow past 100 bytes while the window saves.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 100;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    test::MessageRecorder messages;
    s->Save_Settings_Click();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    QCOMPARE(s.read(), original);
    QCOMPARE(s->HScroll1->value(), 400);
    // Said, not left for the operator to find out at the next start-up.
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY(messages.messages[0].text.contains(QStringLiteral("could not be saved")));
    s->Save_Settings_Click(); // room again: the save goes through
    QVERIFY(s.read().startsWith("\"400'"));

    // A directory squatting on the file's name stays as it is.
    SettingsWindow d;
    QVERIFY(QDir(d.w->programFolder.path()).mkdir("config.dat"));
    d->Save_Settings_Click();
    QVERIFY(QFileInfo(d.path()).isDir());
}

void SettingsTest::veiwRaceTimeTogglesThePanelAndSaves() {
    SettingsWindow s;
    s->HScroll1->setValue(320);
    s->Gate_timing[1]->setChecked(true);
    s->Veiw_Timer->trigger(); // as the menu does it, logged out
    QVERIFY(s->Veiw_Timer->isChecked());
    QVERIFY(s.panelShown());
    const QByteArray first = s.read();
    QCOMPARE(first, configText({"320", "1", "T", "0", "0", "0", "0", "0", "0"}));
    s->Veiw_Timer->trigger();
    QVERIFY(!s->Veiw_Timer->isChecked());
    QVERIFY(!s.panelShown());
    QByteArray second = s.read();
    QCOMPARE(second.size(), first.size());
    // Only the letter of line 3 differs.
    const qsizetype line3 = first.indexOf("\r\n", first.indexOf("\r\n") + 2) + 3;
    QCOMPARE(second.at(line3), 'F');
    QCOMPARE(second.replace(line3, 1, "T"), first);
}

void SettingsTest::controlsFollowTheOperator() {
    SettingsWindow s;
    s->HScroll1->setEnabled(true);
    s->HScroll1->triggerAction(QScrollBar::SliderSingleStepAdd);
    QCOMPARE(s->Beep_time_label->text(), QStringLiteral("160"));
    QVERIFY(!QFile::exists(s.path())); // moving the bar does not save
    s->HScroll1->triggerAction(QScrollBar::SliderPageStepSub);
    QCOMPARE(s->HScroll1->value(), 110);

    s->Gate_timing[0]->setChecked(true);
    s->Gate_timing[2]->setChecked(true);
    QCOMPARE(s.gateTiming(), 2);
    QVERIFY(!s->Gate_timing[0]->isChecked());
    s->Gate_timing_Click(2);
    QCOMPARE(s.gateTiming(), 2);
    QCOMPARE(s->Gate_timing[1]->isChecked() + s->Gate_timing[3]->isChecked(), 0);

    s->Save_Settings->click(); // the button works when shown to an administrator
    QCOMPARE(s.read().left(5), QByteArray("\"110'"));
}

void SettingsTest::startUpReadsTheFileBesideTheProgram() {
    SettingsWindow s;
    s.rig.addModule(1);
    s.w = std::make_unique<test::WindowUnderTest>(s.rig);
    s.write(configText(Track_Values));
    s->Form_Load();
    QCOMPARE(s->HScroll1->value(), 250);
    QCOMPARE(s->Beep_time_label->text(), QStringLiteral("250"));
    QCOMPARE(s.gateTiming(), 2);
    QVERIFY(s.panelShown());
    QVERIFY(!s->Gate_timing[2]->isEnabled()); // shown, but locked until log-in
}

// Line 1 is out of range, lines 2 to 9 are the track's wiring: a click on "Veiw Race
// Time" (no password needed) must not lose the wiring.
void SettingsTest::damagedFileIsReportedOnceAndKeptAtTheFirstSave() {
    SettingsWindow s;
    s.rig.addModule(1);
    s.w = std::make_unique<test::WindowUnderTest>(s.rig);
    QList<QByteArray> values = Track_Values;
    values[0] = "99";
    const QByteArray original = configText(values);
    s.write(original);
    test::MessageRecorder messages;
    s->Form_Load();
    QCOMPARE(messages.messages.size(), 1);
    const QString report = messages.messages[0].text;
    QVERIFY2(report.contains(QDir::toNativeSeparators(s.path())), qPrintable(report));
    QVERIFY2(report.contains(QStringLiteral("line 1 (Beep speed (100 to 500))")),
             qPrintable(report));
    QVERIFY2(report.contains(QStringLiteral("lines 1 to 9")), qPrintable(report));
    QVERIFY2(report.contains(QStringLiteral("config.dat.bak")), qPrintable(report));
    // The built-in values put every output on line 0: that is said too.
    QVERIFY2(report.contains(QStringLiteral("Port A line 0 drives the gate")), qPrintable(report));

    const QString backup = s.path() + QStringLiteral(".bak");
    s->Veiw_Timer->trigger();
    QCOMPARE(s.read(), configText({"150", "0", "T", "0", "0", "0", "0", "0", "0"}));
    QFile kept(backup);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), original);
    kept.close();
    // Later saves replace config.dat only: the copy stays what the operator wrote.
    s->Veiw_Timer->trigger();
    s->Save_Settings_Click();
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), original);
    QVERIFY(!QFile::exists(s.path() + QStringLiteral(".bak2")));
    QCOMPARE(messages.messages.size(), 1);
}

void SettingsTest::startUpWithoutAModuleKeepsTheFileTheOperatorWrote() {
    SettingsWindow s;
    s.write(configText(Track_Values));
    test::MessageRecorder messages;
    s->Form_Load();
    QCOMPARE(messages.messages.size(), 1); // "No Controller  detected" alone
    s->Veiw_Timer->trigger();
    QList<QByteArray> hidden = Track_Values;
    hidden[2] = "F";
    QCOMPARE(s.read(), configText(hidden));
    QVERIFY(!QFile::exists(s.path() + QStringLiteral(".bak")));
}

void SettingsTest::missingFileAndSharedLinesAreReported() {
    SettingsWindow s;
    s.rig.addModule(1);
    s.w = std::make_unique<test::WindowUnderTest>(s.rig);
    test::MessageRecorder messages;
    s->Form_Load();
    QCOMPARE(messages.messages.size(), 1);
    QCOMPARE(messages.messages[0].icon, MessageIcon::Warning);
    const QString report = messages.messages[0].text;
    QVERIFY2(report.contains(QStringLiteral("was not found")), qPrintable(report));
    QVERIFY2(report.contains(QStringLiteral("Port A line 0 drives the gate, the red light, the "
                                            "orange light and the green light.")),
             qPrintable(report));
    // A start is still allowed: the window is ready.
    QCOMPARE(s->Window_start_button->text(), QStringLiteral("Click to put up gate"));
    QVERIFY(s->Window_start_button->isEnabled());

    // A whole file with a line of its own for each output says nothing.
    SettingsWindow good;
    good.rig.addModule(1);
    good.w = std::make_unique<test::WindowUnderTest>(good.rig);
    good.write(configText(Track_Values));
    test::MessageRecorder none;
    good->Form_Load();
    QVERIFY(none.messages.isEmpty());
}

// From "OK riders" to the ready state nothing is written on the window's thread: a
// disk that takes its time would make a beep late. The save is made when the start ends.
void SettingsTest::saveDuringAStartWaitsForItsEnd() {
    SettingsWindow s;
    sim::VirtualModule& module = s.rig.addModule(1);
    Q_UNUSED(module);
    s.w = std::make_unique<test::WindowUnderTest>(s.rig);
    s.write(configText(Track_Values));
    test::MessageRecorder messages;
    s->Form_Load();
    QTRY_VERIFY(s->MSComm1.connected());
    const QByteArray before = s.read();
    s->Window_start_button_Click();
    s->Gate_up_timer_Timer();
    s->Window_start_button_Click();
    QVERIFY(s->startSequence.running());
    s->Veiw_Timer->trigger();
    s->HScroll1->setValue(400);
    s->Save_Settings_Click();
    QCOMPARE(s.read(), before);
    QCOMPARE(s->startSequence.settingsInUse().beepIntervalMs, 250); // the start keeps its own
    s->abortClick();
    QVERIFY(s.read().startsWith("\"400'"));
    QVERIFY(messages.messages.isEmpty());
}

// A damaged file whose save fails (a full disk here; a read-only file on Windows): the
// copy kept aside before the first save goes again when the save fails, and the failure
// is said, each time, so failed saves leave no pile of copies.
void SettingsTest::failedSaveOfADamagedFileLeavesNoCopyAndIsSaid() {
    SettingsWindow s;
    s.write("\"250'   x\"\r\n\"not a number'\"\r\n");
    s->Load_Settings();
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 100; // the copy fits, the new file does not
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    test::MessageRecorder messages;
    s->Save_Settings_Click();
    s->Save_Settings_Click();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    QCOMPARE(messages.messages.size(), 2);
    QVERIFY(messages.messages[0].text.contains(QStringLiteral("could not be saved")));
    const QStringList copies =
        QDir(s.w->programFolder.path()).entryList({QStringLiteral("config.dat.bak*")});
    QVERIFY2(copies.isEmpty(), qPrintable(copies.join(QStringLiteral(", "))));
    s->Save_Settings_Click(); // room again: a copy of what was there, then the save
    QCOMPARE(QDir(s.w->programFolder.path()).entryList({QStringLiteral("config.dat.bak*")}),
             QStringList{QStringLiteral("config.dat.bak")});
}

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
