// The virtual module, exercised the way the program uses it: a real QSerialPort
// on the pseudo-terminal, blocking waits, no event loop.
#include "sim/virtual_module.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <initializer_list>
#include <memory>

using korvane::sim::describe;
using korvane::sim::LinePacing;
using korvane::sim::monotonicNs;
using korvane::sim::PacedLine;
using korvane::sim::VirtualModule;

namespace {

constexpr qint64 Ns_Per_Ms = 1'000'000;
constexpr qint64 Byte_Ns = PacedLine::Byte_Ns;
// A paced byte is never early; how late it may come is left generous for a busy machine.
constexpr qint64 Slack_Ns = 200 * Ns_Per_Ms;
const QByteArray Default_Identification = "USB I/O 24R1\r\n";

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray result;
    for (int value : values)
        result.append(char(value));
    return result;
}

// QSerialPort's defaults are the module's 9600 8N1.
std::unique_ptr<QSerialPort> openPort(const QString& path) {
    auto port = std::make_unique<QSerialPort>(path);
    port->open(QIODevice::ReadWrite);
    return port;
}

} // namespace

class TestVirtualModule : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<VirtualModule> module_;
    std::unique_ptr<QSerialPort> port_;

    void send(const QByteArray& command) {
        QCOMPARE(port_->write(command), command.size());
        QVERIFY(port_->waitForBytesWritten(1000));
    }

    QByteArray receive(int count, int timeoutMs = 2000) {
        QElapsedTimer timer;
        timer.start();
        QByteArray data;
        while (data.size() < count && !timer.hasExpired(timeoutMs)) {
            // waitForReadyRead only reports bytes new to QSerialPort: look at its buffer first.
            if (port_->bytesAvailable() == 0)
                port_->waitForReadyRead(int(qMax<qint64>(1, timeoutMs - timer.elapsed())));
            data += port_->read(count - data.size());
        }
        return data;
    }

    struct Piece {
        qint64 atNs;
        QByteArray bytes;
    };
    // The reply as the program's reads see it: each piece with when it was taken.
    QList<Piece> receivePieces(int count, int timeoutMs = 2000) {
        QElapsedTimer timer;
        timer.start();
        QList<Piece> pieces;
        qsizetype received = 0;
        while (received < count && !timer.hasExpired(timeoutMs)) {
            if (port_->bytesAvailable() == 0 &&
                !port_->waitForReadyRead(int(qMax<qint64>(1, timeoutMs - timer.elapsed()))))
                continue;
            pieces.append({monotonicNs(), port_->read(count - received)});
            received += pieces.constLast().bytes.size();
        }
        return pieces;
    }

    qint64 firstStampNs() const { return module_->commands().constFirst().atNs; }

    bool nothingArrivesWithin(int ms) {
        return port_->bytesAvailable() == 0 && !port_->waitForReadyRead(ms);
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        module_ = std::make_unique<VirtualModule>(dir_->filePath(QStringLiteral("ttyUSB0")));
        QVERIFY(module_->start());
        QVERIFY(QFileInfo(module_->devicePath()).isSymLink());
        port_ = openPort(module_->devicePath());
        QVERIFY2(port_->isOpen(), qPrintable(port_->errorString()));
    }

    void cleanup() {
        port_.reset();
        module_.reset();
        dir_.reset();
    }

    void identifyRepliesWithTheWholeTextUntranslated_data() {
        QTest::addColumn<QByteArray>("identification"); // null: the module's default
        QTest::newRow("default") << QByteArray();
        QTest::newRow("other model") << QByteArray("USB I/O 24f2\r\n");
        QTest::newRow("no CR LF") << QByteArray("USB I/O 24R1");
        QTest::newRow("junk line first") << QByteArray("x\r\nUSB I/O 24R1\r\n");
    }

    void identifyRepliesWithTheWholeTextUntranslated() {
        QFETCH(QByteArray, identification);
        if (!identification.isNull())
            module_->setIdentification(identification);
        const QByteArray expected =
            identification.isNull() ? Default_Identification : identification;
        send("?");
        QCOMPARE(receive(int(expected.size())), expected);
        QVERIFY(nothingArrivesWithin(100));
    }

    void commandChangesExactlyItsLines_data() {
        QTest::addColumn<QByteArray>("before"); // ports A, B, C
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("after");
        const auto row = [](QByteArray before, QByteArray command, QByteArray after) {
            QTest::addRow("%s", qPrintable(describe(command))) << before << command << after;
        };
        const QByteArray clear = bytes({0x00, 0x00, 0x00});
        const QByteArray full = bytes({0xFF, 0xFF, 0xFF});
        row(clear, bytes({'H', 0}), bytes({0x01, 0x00, 0x00}));
        row(clear, bytes({'H', 15}), bytes({0x00, 0x80, 0x00}));
        row(clear, bytes({'H', 23}), bytes({0x00, 0x00, 0x80}));
        row(clear, bytes({'H', 24}), clear);
        row(full, bytes({'L', 19}), bytes({0xFF, 0xFF, 0xF7}));
        row(full, bytes({'L', 0xFF}), full);
        row(bytes({0x00, 0xFF, 0x00}), bytes({'A', 0x5A}), bytes({0x5A, 0xFF, 0x00}));
        // Bytes a cooked terminal would translate or swallow.
        row(clear, bytes({'C', 0x0D}), bytes({0x00, 0x00, 0x0D}));
        row(full, bytes({'B', 0x11}), bytes({0xFF, 0x11, 0xFF}));
        row(full, bytes({'x'}), full);
    }

    void commandChangesExactlyItsLines() {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, after);
        const char ports[] = {'A', 'B', 'C'};
        for (int i = 0; i < 3; ++i)
            module_->setPort(ports[i], quint8(before.at(i)));

        send(command);
        QVERIFY(module_->waitForCommands(1, 2000));
        QCOMPARE(module_->commands().constFirst().bytes, command);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(module_->port(ports[i]), quint8(after.at(i)));
        for (int line = 0; line < 24; ++line)
            QCOMPARE(module_->line(line), bool((quint8(after.at(line / 8)) >> (line % 8)) & 1));
    }

    void directionsAreKeptAndCommandsLoggedInOrderOnTheMonotonicClock() {
        const QList<QByteArray> sequence = {bytes({'!', 'A', 0x00}), bytes({'!', 'B', 0xFF}),
                                            bytes({'!', 'C', 0xFF}), bytes({'H', 2}),
                                            bytes({'L', 2}),         bytes({'b'})};
        // Stamps are promised on the clock of QElapsedTimer's reference (ms resolution here).
        const auto elapsedTimerNowNs = [] {
            QElapsedTimer clock;
            clock.start();
            return clock.msecsSinceReference() * Ns_Per_Ms;
        };
        qint64 previousNs = elapsedTimerNowNs();
        for (qsizetype i = 0; i < sequence.size(); ++i) {
            send(sequence.at(i));
            QVERIFY(module_->waitForCommands(int(i + 1), 2000));
        }
        const qint64 afterNs = elapsedTimerNowNs() + Ns_Per_Ms;

        QCOMPARE(module_->direction('A'), quint8(0x00));
        QCOMPARE(module_->direction('b'), quint8(0xFF));
        QCOMPARE(module_->direction('C'), quint8(0xFF));
        const QList<VirtualModule::Command> logged = module_->commands();
        QCOMPARE(logged.size(), sequence.size());
        for (qsizetype i = 0; i < logged.size(); ++i) {
            QCOMPARE(describe(logged.at(i).bytes), describe(sequence.at(i)));
            QVERIFY2(logged.at(i).atNs > previousNs, qPrintable(describe(logged.at(i).bytes)));
            previousNs = logged.at(i).atNs;
        }
        QVERIFY(previousNs < afterNs);
    }

    void readRepliesWithExactlyOneByte_data() {
        QTest::addColumn<char>("port");
        QTest::addColumn<quint8>("value");
        QTest::newRow("a 00") << 'a' << quint8(0x00);
        QTest::newRow("b 0D") << 'b' << quint8(0x0D);
        QTest::newRow("c 13") << 'c' << quint8(0x13);
        QTest::newRow("c FF") << 'c' << quint8(0xFF);
    }

    void readRepliesWithExactlyOneByte() {
        QFETCH(char, port);
        QFETCH(quint8, value);
        module_->setPort(port, value);
        send(QByteArray(1, port));
        QCOMPARE(receive(1), QByteArray(1, char(value)));
        QVERIFY(nothingArrivesWithin(100));
    }

    void lateReplyDoesNotHoldBackLaterCommands() {
        constexpr int delayMs = 800;
        module_->setReplyDelayMs(delayMs);
        module_->setLine(9, true);
        send("b");
        send(bytes({'H', 1}));
        QVERIFY(module_->waitForCommands(2, 2000));
        QVERIFY2(nothingArrivesWithin(0), "the line command waited for the delayed reply");

        QCOMPARE(receive(1, 5000), bytes({0x02}));
        QVERIFY(monotonicNs() - module_->commands().constFirst().atNs >= delayMs * Ns_Per_Ms);
        QVERIFY(module_->line(1));
    }

    void silentModuleLogsButNeverReplies() {
        module_->setSilent(true);
        send("?");
        send("a");
        QVERIFY(module_->waitForCommands(2, 2000));
        QVERIFY(nothingArrivesWithin(300));
    }

    void doubleReplyRepeatsOnlyReadReplies() {
        module_->setDoubleReply(true);
        module_->setPort('c', 0x42);
        send("c");
        QCOMPARE(receive(2), QByteArray("\x42\x42"));
        send("?");
        QCOMPARE(receive(int(Default_Identification.size())), Default_Identification);
        QVERIFY(nothingArrivesWithin(100));
    }

    void injectedBytesReachTheProgramUntranslated() {
        const QByteArray stray = bytes({0x00, 0xFF, '\r', '\n', 0x11, 0x13, 0x03, 0x1A});
        module_->injectBytes(stray);
        QCOMPARE(receive(int(stray.size())), stray);
        QVERIFY(module_->commands().isEmpty());
    }

    void splitCommandIsLoggedOnceWhenComplete_data() {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("firstPart");
        QTest::newRow("! | A 00") << bytes({'!', 'A', 0x00}) << 1;
        QTest::newRow("! A | 00") << bytes({'!', 'A', 0x00}) << 2;
        QTest::newRow("H | 05") << bytes({'H', 5}) << 1;
    }

    void splitCommandIsLoggedOnceWhenComplete() {
        QFETCH(QByteArray, command);
        QFETCH(int, firstPart);
        send(command.left(firstPart));
        QVERIFY2(!module_->waitForCommands(1, 100), "an incomplete command was taken");
        const qint64 restSentNs = monotonicNs();
        send(command.mid(firstPart));
        QVERIFY(module_->waitForCommands(1, 2000));

        const QList<VirtualModule::Command> logged = module_->commands();
        QCOMPARE(logged.size(), 1);
        QCOMPARE(logged.constFirst().bytes, command);
        QVERIFY(logged.constFirst().atNs >= restSentNs); // stamped at its last byte
    }

    // Paced: the line a real module is reached by (9600 baud each way, a USB adapter's
    // latency timer on the program's side).

    void pacedCommandsQueueForTheWireAndCountFromTheirLastByte() {
        module_->setPacing({true, 0});
        const qint64 writtenNs = monotonicNs();
        send(bytes({'H', 1}));
        send(bytes({'L', 1}));
        QVERIFY(module_->waitForCommands(2, 2000));
        const QList<VirtualModule::Command> logged = module_->commands();
        QVERIFY(logged.at(0).atNs >= writtenNs + 2 * Byte_Ns);
        QVERIFY2(logged.at(1).atNs - logged.at(0).atNs >= 2 * Byte_Ns,
                 "the second command did not wait for the first to leave the wire");
        QVERIFY(logged.at(1).atNs < writtenNs + 4 * Byte_Ns + Slack_Ns);
        QVERIFY(!module_->line(1));
    }

    void pacedReadReplyComesAfterItsByteAndTheAdapterLatency_data() {
        QTest::addColumn<int>("latencyMs");
        QTest::newRow("line rate only") << 0;
        QTest::newRow("1 ms adapter") << 1;
        QTest::newRow("16 ms adapter") << 16;
    }

    void pacedReadReplyComesAfterItsByteAndTheAdapterLatency() {
        QFETCH(int, latencyMs);
        module_->setPacing({true, latencyMs});
        module_->setPort('b', 0x5A);
        const qint64 writtenNs = monotonicNs();
        send("b");
        QCOMPARE(receive(1), bytes({0x5A}));
        const qint64 receivedNs = monotonicNs();
        QVERIFY(firstStampNs() >= writtenNs + Byte_Ns);
        QVERIFY2(receivedNs - firstStampNs() >= Byte_Ns + latencyMs * Ns_Per_Ms,
                 qPrintable(QStringLiteral("the reply came %1 ms after the read arrived")
                                .arg(double(receivedNs - firstStampNs()) / Ns_Per_Ms)));
        QVERIFY(receivedNs < writtenNs + 2 * Byte_Ns + latencyMs * Ns_Per_Ms + Slack_Ns);
        QVERIFY(nothingArrivesWithin(50));
    }

    // 14 bytes take 14.6 ms on the wire: a short latency timer passes them on a few at a
    // time as they come, a 16 ms one holds them all until it expires.
    void pacedIdentificationComesAsTheAdapterPassesItOn_data() {
        QTest::addColumn<int>("latencyMs");
        QTest::addColumn<bool>("inOnePiece");
        QTest::addColumn<qint64>("wholeAfterNs"); // the "?" command's arrival
        const qint64 size = Default_Identification.size();
        // Each byte passed on 1 ms after its stop bit; all 14 when the first byte's timer expires.
        QTest::newRow("1 ms adapter") << 1 << false << size * Byte_Ns + 1 * Ns_Per_Ms;
        QTest::newRow("16 ms adapter") << 16 << true << Byte_Ns + 16 * Ns_Per_Ms;
    }

    void pacedIdentificationComesAsTheAdapterPassesItOn() {
        QFETCH(int, latencyMs);
        QFETCH(bool, inOnePiece);
        QFETCH(qint64, wholeAfterNs);
        module_->setPacing({true, latencyMs});
        send("?");
        const QList<Piece> pieces = receivePieces(int(Default_Identification.size()));
        QByteArray whole;
        for (const Piece& piece : pieces)
            whole += piece.bytes;
        QCOMPARE(whole, Default_Identification);
        QVERIFY(pieces.constFirst().atNs >= firstStampNs() + Byte_Ns + latencyMs * Ns_Per_Ms);
        QVERIFY(pieces.constLast().atNs >= firstStampNs() + wholeAfterNs);
        if (inOnePiece)
            QCOMPARE(pieces.size(), 1);
        else
            QVERIFY2(pieces.size() > 1, "the adapter held the whole line back");
    }

    void unplugHangsUpThePortAndReplugServesTheSameLink() {
        // Discovery closes and reopens the port between probes: no hang-up from that alone.
        port_->close();
        port_ = openPort(module_->devicePath());
        send("?");
        QCOMPARE(receive(int(Default_Identification.size())), Default_Identification);

        module_->setPort('b', 0x5A);
        module_->unplug();
        QVERIFY(!module_->isPlugged());
        QVERIFY(!QFileInfo(module_->devicePath()).isSymLink());

        // What the program sees (Qt 6.4): its read finds the hung-up tty at end of
        // file, so waitForReadyRead returns false at once with ReadError, whose text is
        // a stale errno and means nothing; with an event loop that ReadError repeats
        // non-stop until the port is closed. A write is taken into QSerialPort's
        // buffer, then flush() fails with ResourceError ("Input/output error").
        QVERIFY(!port_->waitForReadyRead(3000));
        QCOMPARE(port_->error(), QSerialPort::ReadError);
        port_->clearError();
        port_->write("?");
        QVERIFY(!port_->flush());
        QCOMPARE(port_->error(), QSerialPort::ResourceError);
        port_->close();
        // Like a device node that went away: opening fails with DeviceNotFoundError.
        QCOMPARE(openPort(module_->devicePath())->error(), QSerialPort::DeviceNotFoundError);

        QVERIFY(module_->replug());
        QVERIFY(module_->isPlugged());
        port_ = openPort(module_->devicePath());
        QVERIFY2(port_->isOpen(), qPrintable(port_->errorString()));
        send("b");
        QCOMPARE(receive(1), bytes({0x5A}));
    }
};

QTEST_GUILESS_MAIN(TestVirtualModule)
#include "tst_virtual_module.moc"
