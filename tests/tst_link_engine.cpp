// The link engine on its own thread against virtual modules on pseudo-terminals, through
// the real serial library: discovery behind a slow adapter, the order of commands written
// from two threads, samples and their times, replies that come late, twice or not at
// all, and recovery: when it probes which port, and a module unplugged mid-read.
#include "io/module_link.h"
#include "io/module_protocol.h"
#include "sim/event_loop.h"
#include "tests/support/test_rig.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

using namespace korvane;
using namespace korvane::test;
using sim::runEventsFor;
using sim::runUntil;

namespace {

constexpr qint64 Ms = 1'000'000;

// Everything the engine tells, as it reaches the test's thread.
struct Events : QObject {
    explicit Events(const ModuleLink& link) {
        const LinkEngine& engine = link.engine();
        connect(&engine, &LinkEngine::scanned, this, [this](bool found, const QStringList& denied) {
            scans << found;
            deniedPorts = denied;
        });
        connect(&engine, &LinkEngine::stateChanged, this,
                [this](LinkState state) { states << state; });
        connect(&engine, &LinkEngine::moduleReady, this, [this](quint8 portA) {
            readyNs << monotonicNs();
            portAs << portA;
        });
        connect(&engine, &LinkEngine::sampled, this, [this](quint8 portB, qint64 atNs) {
            samples << portB;
            sampleNs << atNs;
        });
        connect(&engine, &LinkEngine::sampleFailed, this,
                [this](ReadFailure failure) { failures << failure; });
        connect(&engine, &LinkEngine::garbledChanged, this, [this](bool on) { garbled << on; });
    }
    QList<bool> scans;
    QStringList deniedPorts;
    QList<LinkState> states;
    QList<qint64> readyNs;
    QList<quint8> portAs;
    QList<quint8> samples;
    QList<qint64> sampleNs;
    QList<ReadFailure> failures;
    QList<bool> garbled;
};

// A virtual module on port 1 and the link to it, with what the link tells.
struct LinkedModule {
    explicit LinkedModule(LinkEngine::Timing timing = {})
        : link(rig.catalog(), timing)
        , events(link) {
        link.start();
    }
    bool connected() {
        return runUntil([&] { return link.connected(); }, 2000);
    }

    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    ModuleLink link;
    Events events;
};

int countOf(const sim::VirtualModule& module, const QString& command) {
    return int(described(module).count(command));
}

QStringList withoutReads(QStringList commands) {
    commands.removeAll(QStringLiteral("a"));
    commands.removeAll(QStringLiteral("b"));
    return commands;
}

} // namespace

class LinkEngineTest : public QObject {
    Q_OBJECT
private slots:
    void slowAdapterIsFoundAtStartUpWithoutABox_data();
    void slowAdapterIsFoundAtStartUpWithoutABox();
    void moduleIsSetUpAndReadBackBeforeAnythingElse();
    void commandsFromBothThreadsKeepTheirOrder();
    void portBIsSampledFastInAStartAndSlowlyAtRest();
    void samplesAreStampedWhenTheModuleTookThem();
    void lateReplyIsNeverTakenForTheNextSample();
    void garbledRepliesAreToldWhileTheyLast();
    void unpluggedModuleIsTakenBackWithinTwoSeconds();
    void retriesProbeABystanderOnlyEveryFewSeconds();
    void unplugDuringAReadsWaitIsSafe();
    void moduleThatComesBackUnderAnotherNameIsFoundAtOnce();
    void portThatWillNotOpenAfterItsProbeIsTriedAgain();
};

void LinkEngineTest::slowAdapterIsFoundAtStartUpWithoutABox_data() {
    QTest::addColumn<int>("replyDelayMs");
    QTest::newRow("16 ms adapter") << 16;
    QTest::newRow("40 ms, a slow adapter on a loaded machine") << 40;
}

void LinkEngineTest::slowAdapterIsFoundAtStartUpWithoutABox() {
    QFETCH(int, replyDelayMs);
    ModuleRig rig;
    rig.addSilentDevice(1);
    rig.addModule(2).setReplyDelayMs(replyDelayMs);
    ModuleLink link(rig.catalog());
    Events events(link);
    const qint64 startNs = monotonicNs();
    link.start();
    QVERIFY(runUntil([&] { return !events.readyNs.isEmpty(); }, 2000));
    QVERIFY2(events.readyNs[0] - startNs < 1000 * Ms,
             qPrintable(QString::number((events.readyNs[0] - startNs) / Ms)));
    QVERIFY(link.connected());
    QCOMPARE(link.portNumber(), 2);
    QVERIFY(!events.scans.contains(false));
}

void LinkEngineTest::moduleIsSetUpAndReadBackBeforeAnythingElse() {
    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    module.setPort('A', 0x05); // a module that kept its outputs
    ModuleLink link(rig.catalog());
    Events events(link);
    link.start();
    QVERIFY(runUntil([&] { return link.connected(); }, 2000));
    QVERIFY(runUntil([&] { return !events.portAs.isEmpty(); }, 1000));
    QCOMPARE(events.portAs, QList<quint8>{0x05});
    QCOMPARE(link.portA(), std::optional<quint8>(0x05));
    QCOMPARE(described(module).mid(0, 5), (QStringList{"?", "! A 00", "! B FF", "! C FF", "a"}));
}

// A start's commands are written on the window thread while the engine reads port B on
// its own: the module must get every command, in the order asked, none lost or split.
void LinkEngineTest::commandsFromBothThreadsKeepTheirOrder() {
    LinkedModule linked;
    QVERIFY(linked.connected());
    sim::VirtualModule& module = linked.module;
    ModuleLink& link = linked.link;
    link.setFastSampling(true);
    runEventsFor(50);
    module.clearCommands();
    QStringList sent;
    for (int i = 0; i < 200; ++i) {
        const quint8 line = quint8(i % 8);
        const QByteArray command =
            protocol::lineCommand(i % 2 ? protocol::Line_Off : protocol::Line_On, line);
        QVERIFY(link.send(command).sent);
        sent << sim::describe(command);
        if (i % 20 == 0)
            runEventsFor(2);
    }
    QVERIFY(runUntil([&] { return withoutReads(described(module)).size() >= 200; }, 2000));
    QCOMPARE(withoutReads(described(module)), sent);
    QVERIFY(countOf(module, QStringLiteral("b")) > 5); // the engine read meanwhile
}

void LinkEngineTest::portBIsSampledFastInAStartAndSlowlyAtRest() {
    LinkedModule linked;
    QVERIFY(linked.connected());
    sim::VirtualModule& module = linked.module;
    ModuleLink& link = linked.link;
    Events& events = linked.events;
    runEventsFor(1100);
    const int atRest = events.samples.size();
    QVERIFY2(atRest >= 1 && atRest <= 4, qPrintable(QString::number(atRest)));

    module.setLine(8 + 2, true);
    link.setFastSampling(true);
    runEventsFor(50);
    const qsizetype before = events.samples.size();
    runEventsFor(500);
    const qsizetype fast = events.samples.size() - before;
    // At most one a millisecond; a pseudo-terminal answers at once, so close to that.
    QVERIFY2(fast >= 100 && fast <= 520, qPrintable(QString::number(fast)));
    QCOMPARE(events.samples.last(), quint8(1 << 2));

    link.setFastSampling(false);
    runEventsFor(100);
    const qsizetype slowed = events.samples.size();
    runEventsFor(600);
    QVERIFY(events.samples.size() - slowed <= 2);
}

// On a line paced at 9600 baud a command takes its bytes' time to arrive; a sample is
// taken when its read command has arrived, and a command's time at the module counts the
// bytes queued ahead of it.
void LinkEngineTest::samplesAreStampedWhenTheModuleTookThem() {
    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    module.setPacing({true, 1});
    ModuleLink link(rig.catalog());
    Events events(link);
    link.start();
    QVERIFY(runUntil([&] { return link.connected(); }, 2000));
    link.setFastSampling(true);
    QVERIFY(runUntil([&] { return events.samples.size() >= 30; }, 3000));
    link.setFastSampling(false);
    runEventsFor(100);

    QList<qint64> readStamps;
    for (const sim::VirtualModule::Command& command : module.commands()) {
        if (command.bytes == "b")
            readStamps << command.atNs;
    }
    int matched = 0;
    for (const qint64 sampleNs : events.sampleNs) {
        for (const qint64 stamp : readStamps) {
            if (std::abs(stamp - sampleNs) < Ms / 2) {
                ++matched;
                break;
            }
        }
    }
    QVERIFY2(matched >= events.sampleNs.size() - 2,
             qPrintable(QStringLiteral("%1 of %2").arg(matched).arg(events.sampleNs.size())));

    // Three commands written at once: the last arrives three commands' time later.
    runEventsFor(20);
    module.clearCommands();
    link.send(protocol::lineCommand(protocol::Line_On, 1));
    link.send(protocol::lineCommand(protocol::Line_On, 2));
    const SendResult third = link.send(protocol::lineCommand(protocol::Line_Off, 0));
    QVERIFY(runUntil([&] { return described(module).contains(QStringLiteral("L 00")); }, 1000));
    const qint64 arrivedNs = module.commands().last().atNs;
    QVERIFY2(std::abs(arrivedNs - third.atModuleNs) < Ms / 2,
             qPrintable(QString::number(double(arrivedNs - third.atModuleNs) / Ms)));
}

void LinkEngineTest::lateReplyIsNeverTakenForTheNextSample() {
    LinkedModule linked;
    QVERIFY(linked.connected());
    sim::VirtualModule& module = linked.module;
    ModuleLink& link = linked.link;
    Events& events = linked.events;
    module.setPort('B', 0x11);
    module.setReplyDelayMs(150); // past the read's 100 ms
    link.setFastSampling(true);
    QVERIFY(runUntil([&] { return events.failures.size() >= 3; }, 2000));
    // Each reply comes after its read gave up: none is taken for a later read's.
    QCOMPARE(events.samples.size(), 0);
    QVERIFY(events.garbled.isEmpty()); // late is not garbled
    QCOMPARE(events.failures.first(), ReadFailure::Timeout);

    module.setReplyDelayMs(0);
    module.setPort('B', 0x22);
    QVERIFY(runUntil([&] { return !events.samples.isEmpty(); }, 2000));
    runEventsFor(200);
    QVERIFY(!events.samples.contains(0x11));
}

void LinkEngineTest::garbledRepliesAreToldWhileTheyLast() {
    LinkedModule linked(LinkEngine::Timing{.garbledClearMs = 300});
    QVERIFY(linked.connected());
    sim::VirtualModule& module = linked.module;
    ModuleLink& link = linked.link;
    Events& events = linked.events;
    link.setFastSampling(true);
    module.setDoubleReply(true);
    QVERIFY(runUntil([&] { return events.garbled == QList<bool>{true}; }, 1000));
    module.setDoubleReply(false);
    QVERIFY(runUntil([&] { return events.garbled == QList<bool>({true, false}); }, 2000));
    const qsizetype before = events.samples.size();
    runEventsFor(100);
    QVERIFY(events.samples.size() > before);
}

void LinkEngineTest::unpluggedModuleIsTakenBackWithinTwoSeconds() {
    LinkedModule linked;
    QVERIFY(linked.connected());
    sim::VirtualModule& module = linked.module;
    ModuleLink& link = linked.link;
    Events& events = linked.events;
    link.setFastSampling(true); // a race is being watched
    runEventsFor(100);

    module.unplug(sim::VirtualModule::Power::Lost);
    QVERIFY(runUntil([&] { return !link.connected(); }, 1000));
    QCOMPARE(events.states.last(), LinkState::Lost);
    QVERIFY(!link.send(protocol::lineCommand(protocol::Line_On, 0)).sent);
    runEventsFor(1500);
    module.clearCommands();
    const qint64 backNs = monotonicNs();
    QVERIFY(module.replug());
    QVERIFY(runUntil([&] { return events.readyNs.size() == 2; }, 3000));
    QVERIFY2(events.readyNs[1] - backNs < 2000 * Ms,
             qPrintable(QString::number((events.readyNs[1] - backNs) / Ms)));
    QCOMPARE(events.portAs.last(), quint8(0)); // its power was lost: every output off
    QCOMPARE(described(module).mid(0, 5), (QStringList{"?", "! A 00", "! B FF", "! C FF", "a"}));
    // The race goes on with the module back: it is sampled fast again.
    const qsizetype before = events.samples.size();
    runEventsFor(200);
    QVERIFY(events.samples.size() - before > 20);
}

// A lost module's own port is tried every second; every other port (a bystander that is
// some other device) only every third second after the first three, and a second loss
// starts the schedule afresh.
void LinkEngineTest::retriesProbeABystanderOnlyEveryFewSeconds() {
    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    sim::VirtualModule& bystander = rig.addSilentDevice(2);
    ModuleLink link(rig.catalog(), {.probeWaitMs = 50, .retryMs = 200});
    link.start();
    QVERIFY(runUntil([&] { return link.connected(); }, 2000));
    bystander.clearCommands();

    for (int loss = 0; loss < 2; ++loss) {
        module.unplug();
        QVERIFY(runUntil([&] { return !link.connected(); }, 1000));
        runEventsFor(200 * 9 + 100);                                       // nine retries
        QCOMPARE(countOf(bystander, QStringLiteral("?")), 2 * (loss + 1)); // retries 6 and 9
        module.replug();
        QVERIFY(runUntil([&] { return link.connected(); }, 1000));
        QVERIFY(countOf(module, QStringLiteral("?")) >= 1);
    }
}

void LinkEngineTest::unplugDuringAReadsWaitIsSafe() {
    LinkedModule linked;
    QVERIFY(linked.connected());
    sim::VirtualModule& module = linked.module;
    ModuleLink& link = linked.link;
    Events& events = linked.events;
    module.setSilent(true);
    link.setFastSampling(true);
    runEventsFor(30); // a read is waiting for its reply
    module.unplug();
    QVERIFY(runUntil([&] { return !link.connected(); }, 1000));
    runEventsFor(150); // past the read's wait
    module.setSilent(false);
    module.replug();
    QVERIFY(runUntil([&] { return link.connected(); }, 3000));
    QVERIFY(runUntil([&] { return !events.samples.isEmpty(); }, 1000));
}

// An adapter plugged back in may get another device name; a port that appears is tried
// at the next retry, not only at the next full rescan.
void LinkEngineTest::moduleThatComesBackUnderAnotherNameIsFoundAtOnce() {
    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    const QString otherName = QFileInfo(module.devicePath()).dir().filePath("ttyUSB3");
    ModuleLink link(PortCatalog::fromNames({module.devicePath(), QString(), otherName}));
    link.start();
    QVERIFY(runUntil([&] { return link.connected(); }, 2000));
    module.unplug();
    QVERIFY(runUntil([&] { return !link.connected(); }, 1000));
    runEventsFor(300);
    const qint64 backNs = monotonicNs();
    QVERIFY(module.replug(otherName));
    QVERIFY(runUntil([&] { return link.connected(); }, 3000));
    QVERIFY2(monotonicNs() - backNs < 2000 * Ms,
             qPrintable(QString::number((monotonicNs() - backNs) / Ms)));
    QCOMPARE(link.portNumber(), 3);
}

// The module answers its probe, then its port will not open (it went, or another program
// took it): the first scan finds nothing to work with, and the retries take it.
void LinkEngineTest::portThatWillNotOpenAfterItsProbeIsTriedAgain() {
    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    int asked = 0;
    // The scan's probe asks for the port's name first, then the link that opens it.
    const PortCatalog catalog([&](int number) {
        if (number != 1)
            return QString();
        return ++asked == 2 ? QStringLiteral("/nonexistent/ttyUSB0") : module.devicePath();
    });
    ModuleLink link(catalog, {.retryMs = 200});
    Events events(link);
    link.start();
    QVERIFY(runUntil([&] { return !events.scans.isEmpty(); }, 2000));
    QCOMPARE(events.scans, QList<bool>{false});
    QVERIFY(runUntil([&] { return link.connected(); }, 2000));
}

QTEST_GUILESS_MAIN(LinkEngineTest)
#include "tst_link_engine.moc"
