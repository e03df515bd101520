// Administrator log-in and log-out, the exit password, the close box and the About box,
// on the real main window.
#include "dialogs/frmAbout.h"
#include "dialogs/frmDebug_window.h"
#include "dialogs/frmLogin.h"
#include "dialogs/frmLogout.h"
#include "dialogs/passwords_dialog.h"
#include "tests/support/test_rig.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

const QString Wrong_Password_Text = QStringLiteral("Invalid Password, try again!");

Password_Dialog* openDialog(WindowUnderTest& w, bool exitDialog) {
    if (exitDialog) {
        w->Exit_Click();
        return w->logoutDialog.data();
    }
    w->Log_In_Click();
    return w->loginDialog.data();
}

// OK's answer comes from a check off the window thread.
bool answered(Password_Dialog* dialog) {
    return QTest::qWaitFor([dialog] { return !dialog->checking(); }, 10000);
}

void logIn(WindowUnderTest& w) {
    w->Log_In_Click();
    QTest::keyClicks(w->loginDialog->txtPassword, QStringLiteral("plumtree"));
    w->loginDialog->cmdOK->click();
    QVERIFY(answered(w->loginDialog));
}

// Records, in order, the changes the administrator mode makes to the main window.
class ChangeLog : public QObject {
public:
    QStringList entries;

    void watch(QWidget* widget, const QString& name) {
        names_[widget] = name;
        widget->installEventFilter(this);
    }
    void watch(QAction* action, const QString& name) {
        connect(
            action, &QAction::changed, this,
            [this, action, name, enabled = action->isEnabled(), text = action->text()]() mutable {
                if (action->isEnabled() != enabled)
                    entries << name + (action->isEnabled() ? " enabled" : " disabled");
                if (action->text() != text)
                    entries << name + " reads " + action->text();
                enabled = action->isEnabled();
                text = action->text();
            });
    }

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        const QString& name = names_[object];
        const auto* widget = static_cast<QWidget*>(object);
        switch (event->type()) {
        case QEvent::EnabledChange:
            entries << name + (widget->isEnabled() ? " enabled" : " disabled");
            break;
        case QEvent::ShowToParent:
            entries << name + " shown";
            break;
        case QEvent::HideToParent:
            entries << name + " hidden";
            break;
        case QEvent::Close:
            entries << name + " closed";
            break;
        default:
            break;
        }
        return false;
    }

private:
    QHash<QObject*, QString> names_;
};

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void passwordDialogsHaveTheirLayoutAndPlace_data();
    void passwordDialogsHaveTheirLayoutAndPlace();
    void passwordMustMatchWholeAndCaseSensitive_data();
    void passwordMustMatchWholeAndCaseSensitive();
    void wrongEntryIsSelectedSoTheRightOneReplacesIt();
    void cancelThenLogInAgainShowsAnEmptyBoxAtTheSamePlace();
    void logInWhileTheDialogIsOpenChangesNothing();
    void logInAndLogOutChangeTheControlsInOrder();
    void loggingInAgainDoesNotReopenTheDebugWindow();
    void exitCancelKeepsTheProgramAndTheAdministrator();
    void exitPasswordEndsAtOnceAndSendsNothingMore();
    void exitLogsTheStartAndFreesThePort();
    void closeBoxAsksForTheExitPassword();

    void aboutBoxShowsTitleAndVersion();
    void aboutBoxClosesWithOkEnterAndEsc_data();
    void aboutBoxClosesWithOkEnterAndEsc();
    void aboutTwiceIsOneBoxAndReopeningShowsTheSameTexts();
    void longFolderIsShortenedInTheMiddleToFit();

    void screenshots();
};

void DialogsTest::passwordDialogsHaveTheirLayoutAndPlace_data() {
    QTest::addColumn<bool>("exitDialog");
    QTest::addColumn<QString>("caption");
    QTest::newRow("log-in") << false << "Login";
    QTest::newRow("exit") << true << "Log out";
}

void DialogsTest::passwordDialogsHaveTheirLayoutAndPlace() {
    QFETCH(bool, exitDialog);
    QFETCH(QString, caption);
    ModuleRig rig;
    WindowUnderTest w(rig);
    Password_Dialog* dialog = openDialog(w, exitDialog);
    QVERIFY(dialog && dialog->isVisible());
    QVERIFY(!dialog->isModal());
    QCOMPARE(dialog->windowTitle(), caption);
    QCOMPARE(dialog->lblLabels->text(), QStringLiteral("&Password:"));
    QCOMPARE(dialog->lblLabels->buddy(), dialog->txtPassword);
    QVERIFY(dialog->cmdOK->isDefault());
    QCOMPARE(dialog->cmdOK->text(), QStringLiteral("OK"));
    QCOMPARE(dialog->cmdCancel->text(), QStringLiteral("Cancel"));
    QCOMPARE(dialog->txtPassword->nextInFocusChain(), dialog->cmdOK);
    QCOMPARE(dialog->cmdOK->nextInFocusChain(), dialog->cmdCancel);
    QVERIFY(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(dialog->pos(), QPoint(50, 50));
    QTest::keyClicks(dialog->txtPassword, QStringLiteral("abc"));
    QCOMPARE(dialog->txtPassword->displayText(), QStringLiteral("***"));
}

void DialogsTest::passwordMustMatchWholeAndCaseSensitive_data() {
    QTest::addColumn<bool>("exitDialog");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("log-in password") << false << "plumtree" << true;
    QTest::newRow("log-in, first letter upper case") << false << "Plumtree" << false;
    QTest::newRow("log-in, trailing blank") << false << "plumtree " << false;
    QTest::newRow("log-in, leading blank") << false << " plumtree" << false;
    QTest::newRow("log-in, empty box") << false << "" << false;
    QTest::newRow("log-in, prefix only") << false << "plum" << false;
    QTest::newRow("log-in, exit password") << false << "QMWZ" << false;
    QTest::newRow("exit password") << true << "QMWZ" << true;
    QTest::newRow("exit, lower case") << true << "qmwz" << false;
    QTest::newRow("exit, trailing blank") << true << "QMWZ " << false;
    QTest::newRow("exit, empty box") << true << "" << false;
    QTest::newRow("exit, log-in password") << true << "plumtree" << false;
}

void DialogsTest::passwordMustMatchWholeAndCaseSensitive() {
    QFETCH(bool, exitDialog);
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder recorder;
    Password_Dialog* dialog = openDialog(w, exitDialog);
    QTest::keyClicks(dialog->txtPassword, typed);
    QCOMPARE(dialog->txtPassword->text(), typed);
    QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
    QVERIFY(answered(dialog));

    if (accepted) {
        QVERIFY(recorder.messages.isEmpty());
        QVERIFY(!dialog->isVisible());
        QVERIFY(dialog->txtPassword->text().isEmpty());
    } else {
        QCOMPARE(recorder.messages.size(), 1);
        QCOMPARE(recorder.messages[0].text, Wrong_Password_Text);
        QCOMPARE(recorder.messages[0].title, QStringLiteral("Login"));
        QCOMPARE(recorder.messages[0].icon, MessageIcon::None);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->txtPassword->text(), typed);
    }
    const bool loggedIn = accepted && !exitDialog;
    QCOMPARE(w->Log_In->text(), loggedIn ? QStringLiteral("Log Out") : QStringLiteral("Log In"));
    QCOMPARE(w->Debug_io->isEnabled(), loggedIn);
    QCOMPARE(w.ended, accepted && exitDialog);
    if (exitDialog)
        QCOMPARE(w->logoutDialog->LogoutSucceeded, accepted);
    else
        QCOMPARE(w->loginDialog->LoginSucceeded, accepted);
}

void DialogsTest::wrongEntryIsSelectedSoTheRightOneReplacesIt() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder recorder;
    w->Log_In_Click();
    frmLogin* dialog = w->loginDialog;
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QTest::keyClicks(dialog->txtPassword, QStringLiteral("Plumtree"));
    dialog->txtPassword->setCursorPosition(3); // anywhere: the reaction selects it all
    dialog->cmdOK->setFocus();
    QTest::mouseClick(dialog->cmdOK, Qt::LeftButton);
    QVERIFY(answered(dialog));
    QCOMPARE(recorder.messages.size(), 1);

    QVERIFY(dialog->txtPassword->hasFocus());
    QCOMPARE(dialog->txtPassword->selectedText(), QStringLiteral("Plumtree"));
    QCOMPARE(dialog->txtPassword->selectionStart(), 0);

    QTest::keyClicks(dialog->txtPassword, QStringLiteral("plumtree"));
    QCOMPARE(dialog->txtPassword->text(), QStringLiteral("plumtree"));
    QTest::keyClick(dialog->txtPassword, Qt::Key_Return); // Enter presses OK
    QVERIFY(answered(dialog));
    QCOMPARE(recorder.messages.size(), 1);
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log Out"));
    QVERIFY(!dialog->isVisible());
}

void DialogsTest::cancelThenLogInAgainShowsAnEmptyBoxAtTheSamePlace() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    MessageRecorder recorder;
    w->Log_In_Click();
    QPointer<frmLogin> dialog = w->loginDialog;
    QTest::keyClicks(dialog->txtPassword, QStringLiteral("wrong"));
    dialog->cmdOK->click();
    QVERIFY(answered(dialog));
    QTest::keyClick(dialog, Qt::Key_Escape); // Esc presses Cancel
    QVERIFY(!dialog->isVisible());
    QVERIFY(!dialog->LoginSucceeded);
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log In"));

    w->Log_In_Click();
    QCOMPARE(w->loginDialog, dialog); // hidden, not unloaded
    QVERIFY(dialog->isVisible());
    QVERIFY(dialog->txtPassword->text().isEmpty());
    QCOMPARE(dialog->pos(), QPoint(50, 50));
}

void DialogsTest::logInWhileTheDialogIsOpenChangesNothing() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->Log_In_Click();
    frmLogin* dialog = w->loginDialog;
    QTest::keyClicks(dialog->txtPassword, QStringLiteral("plum"));
    w->Log_In->trigger();
    QCOMPARE(w->loginDialog.data(), dialog);
    QCOMPARE(w->findChildren<frmLogin*>().size(), 1);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->txtPassword->text(), QStringLiteral("plum"));
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log In"));
}

void DialogsTest::logInAndLogOutChangeTheControlsInOrder() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->Log_In_Click();
    ChangeLog log;
    log.watch(w->Debug_io, "Debug_io");
    for (int i = 0; i < 4; ++i)
        log.watch(w->Gate_timing[i], QStringLiteral("Gate_timing%1").arg(i));
    log.watch(w->HScroll1, "HScroll1");
    log.watch(w->Save_Settings, "Save_Settings");
    log.watch(w->Log_In, "Log_In");
    log.watch(w->loginDialog, "frmLogin");

    QTest::keyClicks(w->loginDialog->txtPassword, QStringLiteral("plumtree"));
    w->loginDialog->cmdOK->click();
    QVERIFY(answered(w->loginDialog));
    QCOMPARE(log.entries,
             QStringList({"Debug_io enabled", "Gate_timing0 enabled", "Gate_timing1 enabled",
                          "Gate_timing2 enabled", "Gate_timing3 enabled", "HScroll1 enabled",
                          "Save_Settings shown", "Log_In reads Log Out", "frmLogin hidden"}));

    w->Debug_io->trigger();
    QVERIFY(w->debugWindow);
    log.watch(w->debugWindow, "frmDebug_window");
    log.entries.clear();
    w->Log_In->trigger(); // "Log Out": no dialog, no password
    // Closing the window hides it afterwards: the order up to the close is what counts.
    QCOMPARE(
        log.entries.mid(0, 9),
        QStringList({"Debug_io disabled", "Gate_timing0 disabled", "Gate_timing1 disabled",
                     "Gate_timing2 disabled", "Gate_timing3 disabled", "HScroll1 disabled",
                     "Save_Settings hidden", "Log_In reads Log In", "frmDebug_window closed"}));
    QVERIFY(!w->loginDialog->isVisible());
}

void DialogsTest::loggingInAgainDoesNotReopenTheDebugWindow() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    logIn(w);
    w->Debug_io->trigger();
    QVERIFY(w->debugWindow && w->debugWindow->isVisible());
    w->Log_In->trigger();
    QTRY_VERIFY(w->debugWindow.isNull()); // unloaded, not just hidden
    QVERIFY(!w->Debug_io->isEnabled());

    logIn(w);
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log Out"));
    QTest::qWait(50);
    QVERIFY(w->debugWindow.isNull());
    QVERIFY(w->findChildren<frmDebug_window*>().isEmpty());
}

void DialogsTest::exitCancelKeepsTheProgramAndTheAdministrator() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    logIn(w);
    w->Exit->trigger();
    frmLogout* dialog = w->logoutDialog;
    QVERIFY(dialog && dialog->isVisible());
    QTest::keyClicks(dialog->txtPassword, QStringLiteral("QMW"));
    dialog->cmdCancel->click();
    QVERIFY(!dialog->isVisible());
    QVERIFY(dialog->txtPassword->text().isEmpty());
    QVERIFY(!dialog->LogoutSucceeded);
    QVERIFY(!w.ended);
    QCOMPARE(w->Log_In->text(), QStringLiteral("Log Out"));
}

void DialogsTest::exitPasswordEndsAtOnceAndSendsNothingMore() {
    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    WindowUnderTest w(rig);
    w->Form_Load();
    QTRY_VERIFY(described(module).contains("A 00"));
    // A start under way: the gate goes up, and the exit must not bring it down.
    w->Window_start_button_Click();
    QTest::qWait(200);
    // Port B is read meanwhile by the link's own thread; only commands count here.
    const auto commands = [&] {
        QStringList sent = described(module);
        sent.removeAll(QStringLiteral("b"));
        return sent;
    };
    const QStringList before = commands();

    w->Exit->trigger();
    QTest::keyClicks(w->logoutDialog->txtPassword, QStringLiteral("QMWZ"));
    QTest::keyClick(w->logoutDialog->txtPassword, Qt::Key_Return);
    QVERIFY(answered(w->logoutDialog));
    QVERIFY(w.ended); // with the answer, before anything else runs
    QVERIFY(w->logoutDialog->LogoutSucceeded);
    QVERIFY(!w->logoutDialog->isVisible());
    QTest::qWait(500);
    QCOMPARE(commands(), before);
}

// The program's own way out, not a test's: the start under way is logged, and the port
// is closed, so that the next run of the program finds it free.
void DialogsTest::exitLogsTheStartAndFreesThePort() {
    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    auto w = std::make_unique<WindowUnderTest>(rig);
    (*w)->endProgram = [window = w->window.get()] { window->endInOrder(); };
    (*w)->Form_Load();
    QTRY_VERIFY((*w)->MSComm1.connected());
    (*w)->Window_start_button_Click();
    (*w)->startSequence.stepDue(StartStep::HoldOff);
    (*w)->Window_start_button_Click();
    QCOMPARE((*w)->startSequence.state(), StartState::Cadence);
    (*w)->Exit->trigger();
    QTest::keyClicks((*w)->logoutDialog->txtPassword, QStringLiteral("QMWZ"));
    QTest::keyClick((*w)->logoutDialog->txtPassword, Qt::Key_Return);
    QVERIFY(answered((*w)->logoutDialog));
    const QString log = startlog::startLogPathFor(w->programFolder.path());
    const startlog::RecentStarts starts = startlog::readRecentStarts(log, 5);
    QCOMPARE(starts.records.size(), 1);
    QVERIFY(starts.records[0].aborted);
    w.reset(); // as main() returns

    SerialLink next(PortCatalog::fromNames({module.devicePath()}));
    next.selectPort(1);
    QVERIFY(next.open());
}

void DialogsTest::closeBoxAsksForTheExitPassword() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->show();
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    QVERIFY(w->logoutDialog && w->logoutDialog->isVisible());
    QVERIFY(!w.ended);
    QVERIFY(!w->close()); // again: still the one dialog
    QCOMPARE(w->findChildren<frmLogout*>().size(), 1);
    QTest::keyClicks(w->logoutDialog->txtPassword, QStringLiteral("QMWZ"));
    w->logoutDialog->cmdOK->click();
    QVERIFY(answered(w->logoutDialog));
    QVERIFY(w.ended);
}

void DialogsTest::aboutBoxShowsTitleAndVersion() {
    QCOMPARE(versionText(2, 1, 1), QStringLiteral("Version 2.1.1"));
    QCOMPARE(versionText(10, 0, 12), QStringLiteral("Version 10.0.12"));
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->About->trigger();
    frmAbout* about = w->aboutBox;
    QVERIFY(about && about->isVisible());
    QVERIFY(!about->isModal());
    QCOMPARE(about->windowTitle(), QStringLiteral("About Korvane"));
    QCOMPARE(about->lblTitle->text(), QStringLiteral("Korvane"));
    QCOMPARE(about->lblVersion->text(), QStringLiteral("Version 2.1.1"));
    QCOMPARE(about->size(), QSize(387, 160));
    QVERIFY(about->lblTitle->font().italic());
    QCOMPARE(about->lblTitle->font().pointSizeF(), 15.75);
    QVERIFY(about->cmdOK->isDefault());
    QCOMPARE(about->lblFolder->toolTip(), QDir::toNativeSeparators(w.programFolder.path()));
    QVERIFY(about->lblFolder->text().startsWith("Your files: "));
    QVERIFY(!about->lblFolder->geometry().intersects(about->cmdOK->geometry()));
    for (QLabel* line : about->lblDescription)
        QVERIFY(!line->text().isEmpty());
    // The grey line lies on top of the white one.
    QCOMPARE(about->Line1[0]->geometry(), QRect(0, 128, 386, 2));
    QCOMPARE(about->Line1[1]->geometry(), QRect(0, 128, 387, 1));
    const QImage rule = about->grab().toImage();
    QCOMPARE(rule.pixelColor(10, 128), QColor(128, 128, 128));
    QCOMPARE(rule.pixelColor(10, 129), QColor(Qt::white));
}

void DialogsTest::aboutBoxClosesWithOkEnterAndEsc_data() {
    QTest::addColumn<int>("key"); // 0: click OK
    QTest::newRow("OK") << 0;
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
    QTest::newRow("Esc") << int(Qt::Key_Escape);
}

void DialogsTest::aboutBoxClosesWithOkEnterAndEsc() {
    QFETCH(int, key);
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->About_Click();
    QPointer<frmAbout> about = w->aboutBox;
    if (key == 0)
        QTest::mouseClick(about->cmdOK, Qt::LeftButton);
    else
        QTest::keyClick(about, Qt::Key(key));
    QTRY_VERIFY(about.isNull()); // unloaded
    QVERIFY(w->aboutBox.isNull());
}

void DialogsTest::aboutTwiceIsOneBoxAndReopeningShowsTheSameTexts() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->About_Click();
    QPointer<frmAbout> first = w->aboutBox;
    w->About_Click();
    QCOMPARE(w->aboutBox, first);
    QCOMPARE(w->findChildren<frmAbout*>().size(), 1);
    first->cmdOK->click();
    QTRY_VERIFY(first.isNull());

    w->About_Click();
    QVERIFY(w->aboutBox && w->aboutBox->isVisible());
    QCOMPARE(w->aboutBox->windowTitle(), QStringLiteral("About Korvane"));
    QCOMPARE(w->aboutBox->lblVersion->text(), QStringLiteral("Version 2.1.1"));
    QCOMPARE(w->aboutBox->lblTitle->text(), QStringLiteral("Korvane"));
}

void DialogsTest::longFolderIsShortenedInTheMiddleToFit() {
    const QFontMetrics metrics(QFont(QStringLiteral("Arial"), 8));
    const QString shortFolder = QStringLiteral("/home/track/.local/share/korvane");
    QCOMPARE(yourFilesText(shortFolder, metrics, 400), "Your files: " + shortFolder);
    const QString longFolder = "/home/" + QString(200, 'x') + "/.local/share/korvane";
    const QString shown = yourFilesText(longFolder, metrics, 272);
    QVERIFY(metrics.horizontalAdvance(shown) <= 272);
    QVERIFY(shown.startsWith("Your files: /home/"));
    QVERIFY(shown.endsWith("share/korvane"));
}

// With KORVANE_SCREENSHOT_DIR set (under Xvfb), saves login.png, about.png and
// passwords.png there.
void DialogsTest::screenshots() {
    const QString folder = qEnvironmentVariable("KORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty())
        QSKIP("KORVANE_SCREENSHOT_DIR not set");
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->Log_In_Click();
    QTest::keyClicks(w->loginDialog->txtPassword, QStringLiteral("plum"));
    // The folder a track's user has, not the test's own.
    auto* about = new frmAbout(QStringLiteral("/home/track/.local/share/korvane"), w.window.get());
    about->show();
    w->passwordsClick();
    QTest::keyClicks(w->passwordsWindow->newPassword, QStringLiteral("start gate"));
    QTest::keyClicks(w->passwordsWindow->again, QStringLiteral("start gate"));
    QVERIFY(QTest::qWaitForWindowExposed(about));
    QVERIFY(QTest::qWaitForWindowExposed(w->loginDialog));
    QVERIFY(QTest::qWaitForWindowExposed(w->passwordsWindow));
    QTest::qWait(200);
    QVERIFY(w->loginDialog->grab().save(QDir(folder).filePath("login.png")));
    QVERIFY(about->grab().save(QDir(folder).filePath("about.png")));
    QVERIFY(w->passwordsWindow->grab().save(QDir(folder).filePath("passwords.png")));
}

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
