#include "bench/bench.h"

#include "sequence/start_sounds.h"

#include <QDir>
#include <QScopeGuard>
#include <QThread>

#include <csignal>
#include <thread>

using namespace Qt::StringLiterals;

namespace korvane::bench {

namespace {

double ms(qint64 ns) {
    return double(ns) / Ns_Per_Ms;
}

// A start's figures, each its deviation from the ideal, under their keys. `watchMs`: the
// length of what "Watch the gate" plays, part of the ideal timeline.
void addStart(Samples& s, const StartRecord& r, double watchMs) {
    const double beep = r.beepMs;
    const int drop = r.gateTiming;
    const qint64 okRiders = r.call(start_sounds::Ok_Riders).calledNs;
    const qint64 ridersReady = r.call(start_sounds::Riders_Ready).calledNs;
    const sim::StampingSoundPlayer::Call& watch = r.call(start_sounds::Watch_The_Gate);
    const qint64 beeps[] = {r.byte(u"red on"_s), r.byte(u"red off"_s), r.byte(u"orange off"_s),
                            r.byte(u"green on again"_s)};
    const qint64 dropByte = r.byte(u"gate down"_s);
    s["hold-off"].push_back(ms(r.startCallNs - r.raiseCallNs) - cadence::Hold_Off_Ms);
    s["gate-up"].push_back(ms(r.byte(u"gate up"_s) - r.raiseCallNs));
    s["riders-ready"].push_back(ms(ridersReady - okRiders) - cadence::Riders_Ready_Ms);
    s["watch-call"].push_back(ms(watch.calledNs - ridersReady) - cadence::Watch_The_Gate_Ms);
    s["watch-length"].push_back(ms(watch.returnedNs - watch.calledNs) - watchMs);
    s["beep1-byte"].push_back(ms(beeps[0] - watch.returnedNs) - beep);
    s["beep1-call"].push_back(ms(r.tones[0].calledNs - watch.returnedNs) - beep);
    for (int k = 0; k < 4; ++k) {
        const qint64 callNs = r.tones[k].calledNs;
        if (k > 0) {
            const double error = ms(beeps[k] - beeps[k - 1]) - beep;
            s["interval-bytes"].push_back(error);
            s[u"interval-bytes-%1"_s.arg(r.beepMs)].push_back(error);
            s["interval-calls"].push_back(ms(callNs - r.tones[k - 1].calledNs) - beep);
        }
        // Beeps 1 to 3 write their light's bytes before the tone's call: what follows is
        // the bytes' delivery.
        if (k < 3)
            s["light-after-call"].push_back(ms(beeps[k] - callNs));
        s["play-call"].push_back(ms(r.tones[k].returnedNs - callNs));
        if (r.toneOnsetNs[k])
            s["onset-vs-call"].push_back(ms(*r.toneOnsetNs[k] - callNs));
    }
    s["drop-after-beep"].push_back(ms(dropByte - beeps[drop]));
    s["drop-vs-timeline"].push_back(ms(dropByte - okRiders) - cadence::Riders_Ready_Ms -
                                    cadence::Watch_The_Gate_Ms - watchMs - (drop + 1) * beep);
    if (r.readyMeasured)
        s["ready"].push_back(ms(r.byte(u"all port A lines off"_s) - beeps[3]) -
                             cadence::Ready_After_Last_Beep_Ms);
    // Beeps 1 to 3 call the tone, then drop; beep 4 drops, then calls the long tone.
    const double callToByte = ms(dropByte - r.tones[drop].calledNs);
    s[drop < 3 ? "drop-after-call" : "drop-first"].push_back(callToByte);
    s[u"drop-after-call-%1"_s.arg(drop)].push_back(callToByte);
    if (drop < 3)
        s["drop-written"].push_back(ms(r.dropWrittenNs - r.tones[drop].calledNs));
    if (r.toneOnsetNs[drop])
        s["onset-vs-drop"].push_back(ms(*r.toneOnsetNs[drop] - dropByte));
    const QString pulse = u"line %1 on"_s.arg(BenchWindow::Start_Pulse_Line);
    if (r.byteNs.count(pulse))
        s["pulse-after-drop"].push_back(ms(r.byteNs.at(pulse) - dropByte));
}

// The five sound files moved from one folder to another.
void moveSounds(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& file : start_sounds::All)
        QFile::rename(QDir(from).filePath(file), QDir(to).filePath(file));
}

void startServer(test::PulseServer& server) {
    QString error;
    check(server.start(&error), u"the sound server did not start: "_s + error);
    QThread::msleep(1200); // the player looks for the server once a second
}

// The starts of one beep speed, each gate timing in turn.
std::vector<StartRecord> runSpeed(BenchWindow& bench, test::PulseServer* server,
                                  const QString& folder, const Counts& counts, const Condition& c,
                                  int beepMs) {
    const SoundCase sound = server ? c.sound : SoundCase::NoServer;
    // Onsets are found in the recording of the files' own tones, which end before the next
    // begins; the built-in tone is cut by the next.
    if (sound == SoundCase::Recorded || sound == SoundCase::FilesMissing)
        startServer(*server);
    std::vector<StartRecord> records;
    const int count = counts[c.sound == SoundCase::Recorded ? u"starts"_s : u"sound-starts"_s];
    const int readyEvery = counts[u"ready-every"_s];
    for (int i = 0; i < count; ++i) {
        std::jthread killer; // joined, whatever happens to the start
        std::function<void()> atCadence;
        if (sound == SoundCase::ServerKilled) {
            startServer(*server);
            atCadence = [&] {
                killer = std::jthread([server] {
                    std::this_thread::sleep_for(std::chrono::seconds(2));
                    for (const pid_t pid : server->processIds())
                        kill(pid, SIGKILL);
                });
            };
        }
        const StartRecord& r = records.emplace_back(
            bench.runStart(c, beepMs, i % 4, readyEvery > 0 && i % readyEvery == 0, atCadence));
        if (killer.joinable()) {
            killer.join();
            server->stop(); // reaps what was killed: the next start gets a server of its own
        }
        progress(u"%1, beep %2 ms: start %3 of %4, the drop written %5 ms after its tone's call"_s
                     .arg(c.link)
                     .arg(beepMs)
                     .arg(i + 1)
                     .arg(count)
                     .arg(ms(r.dropWrittenNs - r.tones[i % 4].calledNs), 0, 'f', 3));
    }
    if (sound == SoundCase::Recorded) {
        server->waitForRecording(records.back().tones[3].calledNs + 300 * Ns_Per_Ms);
        findOnsets(server->recording(), folder, records);
    }
    if (server)
        server->stop();
    return records;
}

} // namespace

QList<Condition> benchConditions(bool forStarts, const QStringList& only) {
    const QString pty = u"pseudo-terminal"_s, line = u"Idle, at the line rate behind a "_s;
    QList<Condition> all = {
        {u"pty-idle"_s, u"Idle"_s, pty},
        {u"pty-busy"_s, u"Other core busy"_s, pty + u", busy"_s, {}, true},
        {u"1ms-idle"_s, line + u"1 ms adapter"_s, u"1 ms adapter"_s, {true, 1}},
        {u"16ms-idle"_s, line + u"16 ms adapter"_s, u"16 ms adapter"_s, {true, 16}}};
    const std::tuple<QString, QString, QString, SoundCase> troubles[] = {
        {u"no-server"_s, u"no sound server"_s, u"no sound server"_s, SoundCase::NoServer},
        {u"server-killed"_s, u"the sound server killed 2 s into the cadence"_s, u"server killed"_s,
         SoundCase::ServerKilled},
        {u"files-missing"_s, u"the five sound files missing"_s, u"files missing"_s,
         SoundCase::FilesMissing}};
    if (forStarts) {
        all.append({u"pulse-idle"_s, u"Idle, with the start pulse"_s, pty + u", start pulse"_s});
        all.back().startPulse = true;
        for (const auto& [key, title, link, sound] : troubles)
            all.append({key, u"Idle, "_s + title, pty + u", "_s + link, {}, false, false, sound});
    }
    all.removeIf([&](const Condition& c) { return !only.isEmpty() && !only.contains(c.key); });
    return all;
}

Group runStarts(BenchWindow& bench, test::PulseServer* server, const QString& folder,
                const Counts& counts, const QStringList& speeds, const Condition& c) {
    const QString away = QDir(folder).filePath(u"away"_s);
    if (c.sound == SoundCase::FilesMissing)
        moveSounds(folder, away);
    const auto restore = qScopeGuard([&] {
        if (c.sound == SoundCase::FilesMissing)
            moveSounds(away, folder);
    });
    const double watchMs = playedLengthMs(QDir(folder).filePath(start_sounds::Watch_The_Gate));
    const int messagesBefore = bench.messages();
    const BusyLoad busy(c.busy);
    Samples samples;
    for (const QString& speed : speeds) {
        for (const StartRecord& r : runSpeed(bench, server, folder, counts, c, speed.toInt()))
            addStart(samples, r, watchMs);
    }
    Group g{u"start"_s, c.key, c.title, c.link, loadAtTheEnd()};
    g.add(samples);
    g.set(u"starts"_s, double(samples["hold-off"].size()));
    g.set(u"read-timeouts"_s, bench.messages() - messagesBefore);
    g.set(u"watch-ms"_s, watchMs);
    return g;
}

} // namespace korvane::bench
