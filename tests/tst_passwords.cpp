// The passwords an administrator sets: the file of derived keys, what stands when it is
// missing or damaged, the slowing down of wrong tries, the checks off the window thread,
// and the Passwords dialog on the real main window.
#include "dialogs/frmLogin.h"
#include "dialogs/frmLogout.h"
#include "dialogs/passwords_dialog.h"
#include "settings/background_job.h"
#include "settings/passwords.h"
#include "tests/support/files.h"
#include "tests/support/test_rig.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

using namespace korvane;
using namespace korvane::test;
using passwords::Role;

namespace {

// Few iterations, so that the file tests run quickly; the program uses Iterations.
constexpr int Quick = passwords::Min_Iterations;

// PBKDF2-HMAC-SHA256 of "track-day" and of "Zürich" (UTF-8), salt "0123456789abcdef",
// 1000 iterations, 32 bytes, as any other implementation computes them.
const QByteArray Known_Salt = "MDEyMzQ1Njc4OWFiY2RlZg==";
const QByteArray Track_Day_Key = "5m/N11KvNOW3yZmfqb8/k0UcX1vybRtNoxeCyD1E/pE=";
const QByteArray Zurich_Key = "zgEJdjTys4nHt2Vqn0/jpaWp+rhhv7zoloMPzSwD3yE=";

QByteArray line(const QByteArray& role, const QByteArray& key,
                const QByteArray& iterations = "1000", const QByteArray& salt = Known_Salt,
                const QByteArray& scheme = "pbkdf2-sha256") {
    return role + ' ' + scheme + ' ' + iterations + ' ' + salt + ' ' + key + '\n';
}

// A file whose exit line is usable: its password is "track-day".
QByteArray withGoodExit(const QByteArray& loginLine) {
    return loginLine + line("exit", Track_Day_Key);
}

bool answered(Password_Dialog* dialog) {
    return QTest::qWaitFor([dialog] { return !dialog->checking(); }, 20000);
}

// Types `typed` into the dialog and presses OK; true when the answer has come.
bool tryPassword(Password_Dialog* dialog, const QString& typed) {
    dialog->txtPassword->clear();
    QTest::keyClicks(dialog->txtPassword, typed);
    dialog->cmdOK->click();
    return answered(dialog);
}

bool logIn(WindowUnderTest& w, const QString& password) {
    w->Log_In_Click();
    return tryPassword(w->loginDialog, password) && w->Log_In->text() == "Log Out";
}

// Sets a password through the Passwords dialog; true when it was saved and closed.
bool setPassword(WindowUnderTest& w, Role role, const QString& password) {
    w->passwordsItem->trigger();
    QPointer<PasswordsDialog> dialog = w->passwordsWindow;
    if (!dialog)
        return false;
    (role == Role::Login ? dialog->logInPassword : dialog->exitPassword)->setChecked(true);
    QTest::keyClicks(dialog->newPassword, password);
    QTest::keyClicks(dialog->again, password);
    dialog->cmdOK->click();
    return QTest::qWaitFor([&dialog] { return dialog.isNull(); }, 20000);
}

} // namespace

class PasswordsTest : public QObject {
    Q_OBJECT
private slots:
    void originalPasswordsStandWithoutAFile_data();
    void originalPasswordsStandWithoutAFile();
    void savedPasswordReplacesOnlyItsOwnRole();
    void storedKeysAreStandardPbkdf2OfTheUtf8Text();
    void damagedEntryLeavesItsOriginalPasswordStanding_data();
    void damagedEntryLeavesItsOriginalPasswordStanding();
    void savingOverADamagedFileKeepsTheUsableEntry();
    void failedSaveLeavesThePreviousFileWhole();
    void wrongTriesWaitLongerAndLonger();

    void destroyingABusyJobWaitsAndNeverAnswers();

    void administratorChangesTheLogInPassword();
    void administratorChangesTheExitPassword();
    void passwordsAreTheAdministratorsOnly();
    void differentOrShortEntriesAreRefusedAndNothingIsSaved();
    void repeatedWrongTriesLockOkForLonger();
    void cancellingDoesNotEndTheLockOut();
    void checkNeverHoldsUpTheWindowThread();
    void damagedFileIsReportedAtStartUpAndTheOriginalWorks();
};

void PasswordsTest::originalPasswordsStandWithoutAFile_data() {
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("right");
    QTest::newRow("log-in") << int(Role::Login) << "plumtree" << true;
    QTest::newRow("log-in, upper case") << int(Role::Login) << "Plumtree" << false;
    QTest::newRow("log-in, exit's") << int(Role::Login) << "QMWZ" << false;
    QTest::newRow("log-in, empty") << int(Role::Login) << "" << false;
    QTest::newRow("exit") << int(Role::Exit) << "QMWZ" << true;
    QTest::newRow("exit, trailing blank") << int(Role::Exit) << "QMWZ " << false;
    QTest::newRow("exit, log-in's") << int(Role::Exit) << "plumtree" << false;
}

void PasswordsTest::originalPasswordsStandWithoutAFile() {
    QFETCH(int, role);
    QFETCH(QString, typed);
    QFETCH(bool, right);
    QTemporaryDir dir;
    const QString path = passwords::passwordsPathFor(dir.path());
    QCOMPARE(passwords::checkPassword(path, Role(role), typed), right);
    QVERIFY(passwords::loadPasswords(path).problems.isEmpty());
    QVERIFY(passwords::passwordsReport(path).isEmpty());
}

void PasswordsTest::savedPasswordReplacesOnlyItsOwnRole() {
    QTemporaryDir dir;
    const QString path = passwords::passwordsPathFor(dir.path());
    QVERIFY(passwords::savePassword(path, Role::Login, "track-day", Quick));
    QVERIFY(!passwords::checkPassword(path, Role::Login, "plumtree"));
    QVERIFY(passwords::checkPassword(path, Role::Login, "track-day"));
    QVERIFY(!passwords::checkPassword(path, Role::Login, "track-da"));
    QVERIFY(passwords::checkPassword(path, Role::Exit, "QMWZ"));
    QVERIFY(!passwords::checkPassword(path, Role::Exit, "track-day"));

    QVERIFY(passwords::savePassword(path, Role::Exit, "gate keeper", Quick));
    QVERIFY(passwords::checkPassword(path, Role::Login, "track-day"));
    QVERIFY(passwords::checkPassword(path, Role::Exit, "gate keeper"));
    QVERIFY(!passwords::checkPassword(path, Role::Exit, "QMWZ"));

    const QByteArray text = fileContents(path);
    QVERIFY(!text.contains("track-day"));
    QVERIFY(!text.contains("gate keeper"));
    QVERIFY(passwords::loadPasswords(path).problems.isEmpty());
    // A new salt each time: the same password never gives the same line twice.
    const QByteArray before = passwords::loadPasswords(path).login->salt;
    QVERIFY(passwords::savePassword(path, Role::Login, "track-day", Quick));
    QVERIFY(passwords::loadPasswords(path).login->salt != before);
    QCOMPARE(passwords::loadPasswords(path).login->salt.size(), 16);
}

// Stored keys must stay readable by every later version: a change of algorithm or text
// encoding would lock every track with a changed password out after an upgrade.
void PasswordsTest::storedKeysAreStandardPbkdf2OfTheUtf8Text() {
    QTemporaryDir dir;
    const QString path = passwords::passwordsPathFor(dir.path());
    writeFile(path, line("login", Track_Day_Key) + line("exit", Zurich_Key));
    QVERIFY(passwords::checkPassword(path, Role::Login, "track-day"));
    QVERIFY(passwords::checkPassword(path, Role::Exit, QStringLiteral("Z\u00fcrich")));
    QVERIFY(!passwords::checkPassword(path, Role::Exit, QStringLiteral("Zurich")));

    const passwords::Hashed made = passwords::hashPassword("track-day", Quick);
    QCOMPARE(made.iterations, Quick);
    QCOMPARE(made.key.size(), 32);
    QVERIFY(passwords::matches(made, Role::Login, "track-day"));
    QVERIFY(!passwords::matches(made, Role::Login, "plumtree"));
}

void PasswordsTest::damagedEntryLeavesItsOriginalPasswordStanding_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("exitKept"); // the usable exit line still counts
    QTest::addColumn<QString>("said");
    const QString loginStands = "The log-in password cannot be read: the original log-in "
                                "password stands.";
    QTest::newRow("key not base64") << withGoodExit(line("login", "***")) << true << loginStands;
    QTest::newRow("key cut short")
        << withGoodExit(line("login", Track_Day_Key.left(20) + "==")) << true << loginStands;
    QTest::newRow("salt not base64")
        << withGoodExit(line("login", Track_Day_Key, "1000", "!salt!")) << true << loginStands;
    QTest::newRow("another scheme")
        << withGoodExit(line("login", Track_Day_Key, "1000", Known_Salt, "md5")) << true
        << loginStands;
    // A line must not be able to keep a check busy for hours, nor make it a formality.
    QTest::newRow("iterations beyond the limit")
        << withGoodExit(line("login", Track_Day_Key, "2000000000")) << true << loginStands;
    QTest::newRow("too few iterations")
        << withGoodExit(line("login", Track_Day_Key, "10")) << true << loginStands;
    QTest::newRow("field missing")
        << withGoodExit("login pbkdf2-sha256 1000 " + Known_Salt + "\n") << true << loginStands;
    QTest::newRow("log-in twice") << withGoodExit(line("login", Track_Day_Key) +
                                                  line("login", Zurich_Key))
                                  << true << loginStands;
    QTest::newRow("a line of something else")
        << withGoodExit("admin=secret\n") << true << "Line 1 is not a password; it is left out.";
    QTest::newRow("binary junk") << QByteArray("\x01\xff\xfe\x00login\x7f", 10) << false
                                 << "Line 1 is not a password";
    QTest::newRow("a folder") << QByteArray("<folder>") << false
                              << "The file cannot be read: the original log-in and exit "
                                 "passwords stand.";
    QTest::newRow("far too large")
        << withGoodExit(QByteArray(20000, '#') + '\n') << false << "The file cannot be read";
}

void PasswordsTest::damagedEntryLeavesItsOriginalPasswordStanding() {
    QFETCH(QByteArray, file);
    QFETCH(bool, exitKept);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const QString path = passwords::passwordsPathFor(dir.path());
    placeFile(path, file);

    QVERIFY(passwords::checkPassword(path, Role::Login, "plumtree"));
    QVERIFY(!passwords::checkPassword(path, Role::Login, "track-day"));
    QCOMPARE(passwords::checkPassword(path, Role::Exit, "track-day"), exitKept);
    QCOMPARE(passwords::checkPassword(path, Role::Exit, "QMWZ"), !exitKept);
    const QString report = passwords::passwordsReport(path);
    QVERIFY2(report.contains(said), qPrintable(report));
    QVERIFY(report.contains(QDir::toNativeSeparators(path)));
    QVERIFY(report.contains("Admin > Passwords"));
}

void PasswordsTest::savingOverADamagedFileKeepsTheUsableEntry() {
    QTemporaryDir dir;
    const QString path = passwords::passwordsPathFor(dir.path());
    writeFile(path, withGoodExit(line("login", "***")) + "junk\n");
    QVERIFY(passwords::savePassword(path, Role::Login, "new one", Quick));
    QVERIFY(passwords::loadPasswords(path).problems.isEmpty());
    QVERIFY(passwords::checkPassword(path, Role::Login, "new one"));
    QVERIFY(passwords::checkPassword(path, Role::Exit, "track-day"));
}

void PasswordsTest::failedSaveLeavesThePreviousFileWhole() {
    QTemporaryDir dir;
    const QString path = passwords::passwordsPathFor(dir.path());
    QVERIFY(passwords::savePassword(path, Role::Login, "track-day", Quick));
    const QByteArray before = fileContents(path);
    QVERIFY(!onFullDisk(
        100, [&] { return passwords::savePassword(path, Role::Login, "other one", Quick); }));
    QCOMPARE(fileContents(path), before);
    QVERIFY(passwords::checkPassword(path, Role::Login, "track-day"));
}

void PasswordsTest::wrongTriesWaitLongerAndLonger() {
    passwords::WrongTries tries;
    QList<qint64> waits;
    for (int i = 0; i < 10; ++i)
        waits << tries.noteWrong().count();
    QCOMPARE(waits, QList<qint64>({0, 0, 1, 2, 4, 8, 16, 30, 30, 30}));
    for (int i = 0; i < 1000; ++i)
        QCOMPARE(tries.noteWrong().count(), 30);
    tries.noteRight();
    QCOMPARE(tries.noteWrong().count(), 0);
}

void PasswordsTest::destroyingABusyJobWaitsAndNeverAnswers() {
    std::atomic<bool> finished = false;
    bool answeredAtAll = false;
    {
        BackgroundJob job;
        job.start(
            [&finished] {
                QThread::msleep(200);
                finished = true;
                return true;
            },
            [&answeredAtAll](bool) { answeredAtAll = true; });
    }
    QVERIFY(finished);
    QTest::qWait(50);
    QVERIFY(!answeredAtAll);
}

void PasswordsTest::administratorChangesTheLogInPassword() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder recorder;
    QVERIFY(logIn(w, "plumtree"));
    QVERIFY(setPassword(w, Role::Login, "start gate 7"));
    QCOMPARE(recorder.messages.size(), 1);
    QCOMPARE(recorder.messages[0].text, QStringLiteral("Log-in password changed."));
    QCOMPARE(recorder.messages[0].title, QStringLiteral("Passwords"));
    QVERIFY(!fileContents(passwords::passwordsPathFor(w.programFolder.path()))
                 .contains("start gate 7"));

    w->Log_In->trigger(); // log out
    QVERIFY(!logIn(w, "plumtree"));
    QCOMPARE(recorder.messages.last().text, QStringLiteral("Invalid Password, try again!"));
    QCOMPARE(recorder.messages.last().title, QStringLiteral("Login"));
    QVERIFY(tryPassword(w->loginDialog, "start gate 7"));
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log Out"));

    // The exit password is the original still.
    w->Exit->trigger();
    QVERIFY(tryPassword(w->logoutDialog, "QMWZ"));
    QVERIFY(w.ended);
}

void PasswordsTest::administratorChangesTheExitPassword() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder recorder;
    QVERIFY(logIn(w, "plumtree"));
    QVERIFY(setPassword(w, Role::Exit, "home time"));
    QCOMPARE(recorder.messages.last().text, QStringLiteral("Exit password changed."));
    w->Exit->trigger();
    QVERIFY(tryPassword(w->logoutDialog, "QMWZ"));
    QVERIFY(!w.ended);
    QVERIFY(tryPassword(w->logoutDialog, "home time"));
    QVERIFY(w.ended);
}

void PasswordsTest::passwordsAreTheAdministratorsOnly() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    QVERIFY(!w->passwordsItem->isEnabled());
    QVERIFY(logIn(w, "plumtree"));
    QVERIFY(w->passwordsItem->isEnabled());
    w->passwordsItem->trigger();
    QPointer<PasswordsDialog> dialog = w->passwordsWindow;
    QVERIFY(dialog && dialog->isVisible());
    QVERIFY(dialog->logInPassword->isChecked());
    QCOMPARE(dialog->newPassword->echoMode(), QLineEdit::Password);
    QCOMPARE(dialog->again->echoMode(), QLineEdit::Password);
    w->passwordsItem->trigger();
    QCOMPARE(w->findChildren<PasswordsDialog*>().size(), 1);

    QTest::keyClicks(dialog->newPassword, "half typed");
    w->Log_In->trigger(); // log out: the dialog goes, typed text and all
    QTRY_VERIFY(dialog.isNull());
    QVERIFY(!w->passwordsItem->isEnabled());
}

void PasswordsTest::differentOrShortEntriesAreRefusedAndNothingIsSaved() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder recorder;
    QVERIFY(logIn(w, "plumtree"));
    w->passwordsItem->trigger();
    PasswordsDialog* dialog = w->passwordsWindow;
    QTest::keyClicks(dialog->newPassword, "start gate");
    QTest::keyClicks(dialog->again, "start gale");
    dialog->cmdOK->click();
    QCOMPARE(recorder.messages.size(), 1);
    QVERIFY(recorder.messages[0].text.startsWith("The two entries differ"));
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->saving());
    QVERIFY(dialog->newPassword->text().isEmpty());
    QVERIFY(dialog->again->text().isEmpty());

    QTest::keyClicks(dialog->newPassword, "abc");
    QTest::keyClicks(dialog->again, "abc");
    QTest::keyClick(dialog->again, Qt::Key_Return);
    QCOMPARE(recorder.messages.size(), 2);
    QVERIFY(recorder.messages[1].text.contains("at least 4 characters"));
    QVERIFY(!QFileInfo::exists(passwords::passwordsPathFor(w.programFolder.path())));

    QPointer<PasswordsDialog> guard = dialog;
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTRY_VERIFY(guard.isNull());
    QCOMPARE(recorder.messages.size(), 2);
}

void PasswordsTest::repeatedWrongTriesLockOkForLonger() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder recorder;
    w->Log_In_Click();
    frmLogin* dialog = w->loginDialog;
    for (int i = 0; i < passwords::WrongTries::Free_Tries; ++i) {
        QVERIFY(tryPassword(dialog, "guess"));
        QVERIFY(dialog->cmdOK->isEnabled());
    }
    QVERIFY(tryPassword(dialog, "guess"));
    QCOMPARE(recorder.messages.size(), 3);
    QVERIFY(!dialog->cmdOK->isEnabled());
    QCOMPARE(dialog->cmdOK->text(), QStringLiteral("Wait 1 s"));
    // Enter while locked checks nothing, even the right password.
    dialog->txtPassword->clear();
    QTest::keyClicks(dialog->txtPassword, "plumtree");
    QTest::keyClick(dialog->txtPassword, Qt::Key_Return);
    dialog->cmdOK_Click();
    QVERIFY(!dialog->checking());
    QCOMPARE(recorder.messages.size(), 3);
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log In"));

    QTRY_VERIFY_WITH_TIMEOUT(dialog->cmdOK->isEnabled(), 3000);
    QCOMPARE(dialog->cmdOK->text(), QStringLiteral("OK"));
    QVERIFY(tryPassword(dialog, "guess"));
    QCOMPARE(dialog->cmdOK->text(), QStringLiteral("Wait 2 s"));
    QTRY_VERIFY_WITH_TIMEOUT(dialog->cmdOK->isEnabled(), 4000);
    // The right password is taken and starts the count over.
    QVERIFY(tryPassword(dialog, "plumtree"));
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log Out"));
    QCOMPARE(recorder.messages.size(), 4);
}

void PasswordsTest::cancellingDoesNotEndTheLockOut() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder recorder;
    w->Exit_Click();
    frmLogout* dialog = w->logoutDialog;
    for (int i = 0; i <= passwords::WrongTries::Free_Tries; ++i)
        QVERIFY(tryPassword(dialog, "guess"));
    QVERIFY(!dialog->cmdOK->isEnabled());
    dialog->cmdCancel->click();
    w->Exit_Click();
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->cmdOK->isEnabled());
    QVERIFY(dialog->cmdOK->text().startsWith("Wait"));
    QTRY_VERIFY_WITH_TIMEOUT(dialog->cmdOK->isEnabled(), 3000);

    // A wrong try cancelled before its answer still counts.
    QTest::keyClicks(dialog->txtPassword, "guess");
    dialog->cmdOK->click();
    dialog->cmdCancel->click();
    QVERIFY(answered(dialog));
    QCOMPARE(recorder.messages.size(), 3); // no answer for a cancelled try
    QCOMPARE(dialog->cmdOK->text(), QStringLiteral("Wait 2 s"));
    QVERIFY(!w.ended);
}

void PasswordsTest::checkNeverHoldsUpTheWindowThread() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    const QString path = passwords::passwordsPathFor(w.programFolder.path());
    QVERIFY(passwords::savePassword(path, Role::Login, "start gate 7"));
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(2);
    w->Log_In_Click();
    QTest::keyClicks(w->loginDialog->txtPassword, "start gate 7");
    w->loginDialog->cmdOK->click();
    QVERIFY(w->loginDialog->checking());
    QVERIFY(!w->loginDialog->cmdOK->isEnabled()); // no second try meanwhile
    QVERIFY(answered(w->loginDialog));
    // The derivation takes a good part of a second; the window thread ran all along.
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log Out"));
}

void PasswordsTest::damagedFileIsReportedAtStartUpAndTheOriginalWorks() {
    ModuleRig rig;
    rig.addModule(1);
    WindowUnderTest w(rig);
    w.writeConfig(trackConfig());
    const QString path = passwords::passwordsPathFor(w.programFolder.path());
    writeFile(path, withGoodExit(line("login", "damaged")));
    MessageRecorder recorder;
    w->Form_Load();
    QCOMPARE(recorder.messages.size(), 1);
    const QString said = recorder.messages[0].text;
    QVERIFY2(said.contains(QDir::toNativeSeparators(path)), qPrintable(said));
    QVERIFY(said.contains("the original log-in password stands"));
    QCOMPARE(recorder.messages[0].icon, MessageIcon::Warning);
    QVERIFY(logIn(w, "plumtree"));
}

QTEST_MAIN(PasswordsTest)
#include "tst_passwords.moc"
