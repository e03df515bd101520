// korvane --help and --version: answered on stdout before any window, so they work
// without a display; anything else is refused.
#include "app/command_line.h"

#include <QProcess>
#include <QTest>

using namespace korvane;

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void programAnswersWithoutADisplay_data();
    void programAnswersWithoutADisplay();
};

void CommandLineTest::answers_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("toStdout");
    QTest::addColumn<QString>("said");
    QTest::newRow("-h") << QStringList{"-h"} << 0 << true << "~/.local/share/korvane";
    QTest::newRow("two options") << QStringList{"--help", "--version"} << 2 << false
                                 << "--help --version";
    QTest::newRow("a Qt option") << QStringList{"-platform", "xcb"} << 2 << false
                                 << "Try 'korvane --help'";
}

void CommandLineTest::answers() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(bool, toStdout);
    QFETCH(QString, said);
    const std::optional<CommandLineAnswer> answer = answerCommandLine(arguments);
    QVERIFY(answer);
    QCOMPARE(answer->exitCode, exitCode);
    QCOMPARE(answer->toStdout, toStdout);
    QVERIFY2(answer->text.contains(said), qPrintable(answer->text));
    QVERIFY(answer->text.endsWith('\n'));
    QVERIFY(!answerCommandLine({}));
}

void CommandLineTest::programAnswersWithoutADisplay_data() {
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("--version") << "--version" << 0 << "korvane 2.1.1\n"
                               << "";
    QTest::newRow("--help") << "--help" << 0 << "Usage: korvane"
                            << "";
    QTest::newRow("unknown") << "--verbose" << 2 << ""
                             << "korvane --help";
}

// Qt aborts a program that makes its application object without a display; the
// answers must come before it.
void CommandLineTest::programAnswersWithoutADisplay() {
    QFETCH(QString, option);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(KORVANE_PROGRAM), {option});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    const QString stdoutText = QString::fromLocal8Bit(program.readAllStandardOutput());
    const QString stderrText = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(out.isEmpty() ? stdoutText.isEmpty() : stdoutText.startsWith(out),
             qPrintable(stdoutText));
    QVERIFY2(err.isEmpty() ? stderrText.isEmpty() : stderrText.contains(err),
             qPrintable(stderrText));
}

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"
