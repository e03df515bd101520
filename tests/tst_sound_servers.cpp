// The private sound servers of the test support, on PulseAudio and on PipeWire: they
// leave nothing running and nothing in the user's home, and end with a test process
// that is killed.
#include "tests/support/pulse_server.h"
#include "tests/support/server_stack.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

using namespace korvane::test;

namespace {

constexpr char Holder_Variable[] = "KORVANE_TEST_HOLD_SERVER";

// Gone, or a zombie nobody reaps (an orphan's parent here may never reap).
bool processHasEnded(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return true;
    }
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
}

bool allEnd(const std::vector<pid_t>& pids, int limitMs) {
    for (int waited = 0;; waited += 20) {
        if (std::all_of(pids.begin(), pids.end(), processHasEnded)) {
            return true;
        }
        if (waited >= limitMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The other half of serversEndWithAKilledTestProcess: starts the server it is told,
// prints its temporary folder and its processes' ids on one line and waits to be killed.
int holdServer(const QByteArray& kind) {
    PulseServer server(kind == "pipewire" ? SoundServerKind::PipeWire
                                          : SoundServerKind::PulseAudio);
    QString error;
    if (!server.start(&error)) {
        std::printf("failed: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s", qPrintable(QFileInfo(server.homePath()).path()));
    for (const pid_t pid : server.processIds()) {
        std::printf(" %d", int(pid));
    }
    std::printf("\n");
    std::fflush(stdout);
    for (;;) {
        pause();
    }
}

} // namespace

class SoundServersTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void serverStopsLeavingNothingBehind_data() { addServerRows(); }
    void serverStopsLeavingNothingBehind();
    void serversEndWithAKilledTestProcess_data() { addServerRows(); }
    void serversEndWithAKilledTestProcess();
    void missingServerNamesItsPackages();
    void sampleIsPlacedByTheBlockThatBroughtIt();

private:
    static void addServerRows();
    static void requireInstalled(SoundServerKind kind);

    QTemporaryDir userHome_;
};

void SoundServersTest::initTestCase() {
    // Where the servers would keep their state if they used the user's own folders.
    QVERIFY(userHome_.isValid());
    qputenv("HOME", QFile::encodeName(userHome_.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(userHome_.filePath(QStringLiteral("config"))));
    qputenv("XDG_STATE_HOME", QFile::encodeName(userHome_.filePath(QStringLiteral("state"))));
}

void SoundServersTest::addServerRows() {
    QTest::addColumn<SoundServerKind>("kind");
    QTest::newRow("PulseAudio") << SoundServerKind::PulseAudio;
    QTest::newRow("PipeWire") << SoundServerKind::PipeWire;
}

void SoundServersTest::requireInstalled(SoundServerKind kind) {
    if (const QString missing = missingPrograms(kind); !missing.isEmpty()) {
        QSKIP(qPrintable(missing));
    }
}

// A server run leaves no process, no zombie and nothing in the user's home behind.
void SoundServersTest::serverStopsLeavingNothingBehind() {
    QFETCH(SoundServerKind, kind);
    requireInstalled(kind);
    PulseServer server(kind);
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    const std::vector<pid_t> pids = server.processIds();
    QCOMPARE(pids.size(), std::size_t(kind == SoundServerKind::PipeWire ? 5 : 2));
    QVERIFY(!allEnd(pids, 0));
    // Starting makes the server store its choice of default sink: in its own home.
    QVERIFY(
        !QDir(server.homePath()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));

    server.stop();
    for (const pid_t pid : pids) {
        // Reaped, not left as zombies.
        QVERIFY2(kill(pid, 0) != 0 && errno == ESRCH, qPrintable(QString::number(pid)));
    }
    QVERIFY(server.processIds().empty());
    QCOMPARE(
        QDir(userHome_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList());
}

void SoundServersTest::serversEndWithAKilledTestProcess() {
    QFETCH(SoundServerKind, kind);
    requireInstalled(kind);
    QProcess holder;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(Holder_Variable), kind == SoundServerKind::PipeWire
                                                           ? QStringLiteral("pipewire")
                                                           : QStringLiteral("pulseaudio"));
    holder.setProcessEnvironment(environment);
    holder.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(holder.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine() || holder.state() != QProcess::Running, 15000);
    const QByteArray line = holder.readLine().trimmed();
    QList<QByteArray> fields = line.split(' ');
    const QString folder = QFile::decodeName(fields.takeFirst());
    std::vector<pid_t> pids;
    for (const QByteArray& id : fields) {
        pids.push_back(pid_t(id.toInt()));
    }
    QVERIFY2(pids.size() >= 2 && pids.front() > 0, line.constData());

    holder.kill(); // as a test run's time limit does
    QVERIFY(holder.waitForFinished());
    const bool ended = allEnd(pids, 5000);
    QDir(folder).removeRecursively(); // a killed process cannot
    QVERIFY2(ended, line.constData());
}

void SoundServersTest::missingServerNamesItsPackages() {
    const QByteArray path = qgetenv("PATH");
    const QTemporaryDir empty;
    qputenv("PATH", QFile::encodeName(empty.path()));
    const QString pipeWire = missingPrograms(SoundServerKind::PipeWire);
    const QString pulseAudio = missingPrograms(SoundServerKind::PulseAudio);
    qputenv("PATH", path);

    QVERIFY2(pipeWire.startsWith(QLatin1String("PipeWire cannot be started")),
             qPrintable(pipeWire));
    QVERIFY2(pipeWire.endsWith(
                 QLatin1String("(Debian packages: pipewire wireplumber pipewire-pulse dbus-daemon "
                               "pulseaudio-utils)")),
             qPrintable(pipeWire));
    QVERIFY2(pulseAudio.endsWith(QLatin1String("(Debian packages: pulseaudio pulseaudio-utils)")),
             qPrintable(pulseAudio));
}

void SoundServersTest::sampleIsPlacedByTheBlockThatBroughtIt() {
    // 480 samples (10 ms) in a burst at 1 s, then 96 (2 ms) at 1.5 s.
    constexpr qint64 Ms = 1'000'000;
    const Recording recording(std::vector<float>(576), 0, {{480, 1000 * Ms}, {576, 1500 * Ms}});
    QCOMPARE(recording.sentAt(recording.timeOf(0)), std::optional<qint64>(990 * Ms));
    QCOMPARE(recording.sentAt(recording.timeOf(479)), std::optional<qint64>(1000 * Ms - 20'833));
    QCOMPARE(recording.sentAt(recording.timeOf(480)), std::optional<qint64>(1498 * Ms));
    QCOMPARE(recording.sentAt(recording.timeOf(576)), std::nullopt);
}

int main(int argc, char* argv[]) {
    if (const QByteArray kind = qgetenv(Holder_Variable); !kind.isEmpty()) {
        QCoreApplication app(argc, argv);
        return holdServer(kind);
    }
    QCoreApplication app(argc, argv);
    SoundServersTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_sound_servers.moc"
