#include "bench/timing_report.h"

#include "bench/stats.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace korvane::bench {

namespace {

QString joined(const QStringList& lines) {
    return lines.join(QLatin1Char('\n'));
}

QString figure(double value, int decimals = 2) {
    return QString::number(value, 'f', decimals);
}

// A figure of the start: its key in the recorded figures, its label, its deviations.
struct Figure {
    const char* key;
    const char* label;
    Deviations StartFigures::*values;
};

// The figures compared with the run before and set beside each other across the links.
const Figure Headlines[] = {
    {"beep-interval-bytes", "**Beep-to-beep interval**, module bytes (B)",
     &StartFigures::intervalBytes},
    {"beep-interval-calls", "Beep-to-beep interval, tone play calls (B)",
     &StartFigures::intervalCalls},
    {"drop-after-tone-call", "Tone's play call → gate-drop byte, gate timing 0–2 (0)",
     &StartFigures::playToDropToneFirst},
    {"drop-first", "Tone's play call → gate-drop byte, gate timing 3 (0)",
     &StartFigures::playToDropDropFirst},
    {"drop-after-beep", "Gate-drop byte after its beep's first byte (0)",
     &StartFigures::dropVsBeep},
    {"drop-vs-timeline", "Gate-drop byte vs the ideal timeline", &StartFigures::dropVsTimeline},
    {"ready", "Ready-state byte after beep 4 (10000 ms)", &StartFigures::ready},
    {"onset-vs-drop", "Audio onset of the drop's tone − gate-drop byte (0)",
     &StartFigures::onsetVsDrop},
    {"pulse-after-drop", "Start-pulse byte after the gate-drop byte (with the pulse on)",
     &StartFigures::pulseAfterDrop},
};

bool isPaced(const Condition& condition) {
    return condition.pacing.isOn();
}

// ---------------------------------------------------------------- tables

// The steps of the start in their order, each against its ideal.
const Figure Timeline[] = {
    {"", "Gate-up byte after the click (0)", &StartFigures::gateUpByte},
    {"", "Hold-off: start possible after the gate went up (4000 ms)", &StartFigures::holdOff},
    {"", "“Riders ready” call after the start (3600 ms)", &StartFigures::ridersReady},
    {"", "“Watch the gate” call after “Riders ready” (1000 ms)", &StartFigures::watchCall},
    {"", "“Watch the gate” played to its end (its length W)", &StartFigures::watchLength},
    {"", "Beep 1 byte after the end of “Watch the gate” (B)", &StartFigures::firstBeep},
    {"", "Beep 1 tone call after the end of “Watch the gate” (B)", &StartFigures::firstTone},
    {"", "**Beep-to-beep interval**, module bytes (B)", &StartFigures::intervalBytes},
    {"", "Beep-to-beep interval, tone play calls (B)", &StartFigures::intervalCalls},
    {"", "**Gate drop** byte after its beep's first byte (0)", &StartFigures::dropVsBeep},
    {"", "Gate drop byte vs the ideal timeline (t0 + 4.6 s + W + k·B)",
     &StartFigures::dropVsTimeline},
    {"", "**Ready state** byte after beep 4 (10000 ms)", &StartFigures::ready},
    {"", "Beeps 1–3: light byte stamped after the tone call (written before it: 0)",
     &StartFigures::byteAfterCall},
};

QString timelineTable(const StartFigures& f) {
    QStringList rows = {QStringLiteral("| Step (ideal) | n | median | p99 | max |"),
                        QStringLiteral("|---|---:|---:|---:|---:|")};
    for (const Figure& step : Timeline)
        rows << summaryRow(QString::fromUtf8(step.label), summarize(f.*step.values));
    return joined(rows);
}

QString dropTable(const std::vector<ConditionResult>& conditions) {
    QStringList rows = {QStringLiteral("| Measure | condition | n | median | p99 | max |"),
                        QStringLiteral("|---|---|---:|---:|---:|---:|")};
    const auto add = [&](const char* label, Deviations StartFigures::*values) {
        for (const ConditionResult& c : conditions)
            rows << summaryRow(QString::fromUtf8(label) + QStringLiteral(" | ") + c.condition.link,
                               summarize(c.figures.*values));
    };
    add("Tone's play call → gate-drop byte, gate timing 0–2 (tone first)",
        &StartFigures::playToDropToneFirst);
    add("Tone's play call → gate-drop byte, gate timing 3 (drop first: negative = byte first)",
        &StartFigures::playToDropDropFirst);
    add("Duration of the asynchronous play call", &StartFigures::playCall);
    add("Audio onset of the drop's tone − gate-drop byte", &StartFigures::onsetVsDrop);
    add("Audio onset − its play call, every tone", &StartFigures::onsetVsCall);
    return joined(rows);
}

QString speedTable(const std::vector<ConditionResult>& conditions) {
    QStringList rows = {QStringLiteral("| Beep speed B | condition | n | median | p99 | max |"),
                        QStringLiteral("|---|---|---:|---:|---:|---:|")};
    for (const ConditionResult& c : conditions) {
        for (const auto& [speed, values] : c.intervalsBySpeed)
            rows << summaryRow(QStringLiteral("%1 ms | %2").arg(speed).arg(c.condition.link),
                               summarize(values));
    }
    return joined(rows);
}

// The idle conditions side by side: what the link adds to each headline figure.
QString linkTable(const std::vector<const ConditionResult*>& idle) {
    QStringList columns;
    for (const ConditionResult* c : idle)
        columns << c->condition.link;
    std::vector<SideBySideRow> rows;
    for (const Figure& h : Headlines) {
        SideBySideRow row{QString::fromUtf8(h.label), {}};
        for (const ConditionResult* c : idle)
            row.cells.push_back(summarize(c->figures.*h.values));
        rows.push_back(std::move(row));
    }
    return sideBySideTable(QStringLiteral("Figure, median / p99 (ms)"), columns, rows);
}

// The drop's byte after its tone's play call by gate timing, medians: how many commands
// wait on the wire ahead of the drop shows here.
QString dropByTimingTable(const std::vector<const ConditionResult*>& idle) {
    QString head = QStringLiteral("| Gate timing (drop at beep) | commands ahead of the drop |");
    QString rule = QStringLiteral("|---|---|");
    for (const ConditionResult* c : idle) {
        head += QStringLiteral(" %1 |").arg(c->condition.link);
        rule += QStringLiteral("---:|");
    }
    QStringList rows = {head, rule};
    const char* ahead[] = {"red on", "red off, orange on", "orange off, green on", "green on"};
    for (int timing = 0; timing < 4; ++timing) {
        QString row = QStringLiteral("| %1 (beep %2) | %3 |")
                          .arg(timing)
                          .arg(timing + 1)
                          .arg(QString::fromLatin1(ahead[timing]));
        for (const ConditionResult* c : idle) {
            const Summary s = summarize(c->figures.playToDropByTiming[std::size_t(timing)]);
            row += s.count == 0 ? QStringLiteral(" – |")
                                : QStringLiteral(" %1 |").arg(figure(s.median));
        }
        rows << row;
    }
    return joined(rows);
}

QString startUpCell(const Deviations& values) {
    if (values.empty())
        return QStringLiteral("not measured");
    return QStringLiteral("median %1 ms, max %2 ms (%3 runs)")
        .arg(figure(summarize(values).median, 0))
        .arg(figure(*std::max_element(values.begin(), values.end()), 0))
        .arg(values.size());
}

QString idleCell(const std::optional<ProgramProcess::Idle>& idle) {
    if (!idle)
        return QStringLiteral("not measured");
    QStringList wakeups;
    for (const auto& [thread, rate] : idle->wakeupsPerSecond)
        wakeups << QStringLiteral("%1 %2/s").arg(thread, figure(rate, 1));
    return QStringLiteral("%1 % of one core over %2 s; wake-ups: %3")
        .arg(figure(idle->cpuPercent, 3), figure(idle->seconds, 0),
             wakeups.join(QStringLiteral(", ")));
}

QString processTable(const ProcessFigures& f) {
    QStringList rows = {QStringLiteral("| Measure | figure |"), QStringLiteral("|---|---|")};
    const auto row = [&](const QString& measure, const QString& value) {
        rows << QStringLiteral("| %1 | %2 |").arg(measure, value);
    };
    row(QStringLiteral("Start-up to the ready state (“A 00” at the module), module on port 1"),
        startUpCell(f.startUpModule));
    row(QStringLiteral("The same, module at the line rate behind a %1 ms adapter")
            .arg(f.startUpPacedLatencyMs),
        startUpCell(f.startUpPaced));
    row(QStringLiteral("Start-up to “No Controller  detected”, 16 absent ports"),
        startUpCell(f.startUpAbsent));
    row(QStringLiteral("Start-up to “No Controller  detected”, 16 ports that never answer"),
        startUpCell(f.startUpSilent));
    row(QStringLiteral("Idle CPU in the ready state, sound server running"),
        idleCell(f.idleWithServer));
    row(QStringLiteral("Idle CPU in the ready state, no sound server"),
        idleCell(f.idleWithoutServer));
    const std::optional<ProgramProcess::Idle>& memory =
        f.idleWithServer ? f.idleWithServer : f.idleWithoutServer;
    if (memory)
        row(QStringLiteral("Resident memory after the idle period"),
            QStringLiteral("%1 MiB (peak %2 MiB), %3 threads")
                .arg(figure(double(memory->residentKb) / 1024, 1),
                     figure(double(memory->peakResidentKb) / 1024, 1))
                .arg(memory->threads));
    return joined(rows);
}

QString targetsTable(const StartFigures& idle, const StartFigures* busy, const ProcessFigures& p) {
    const Summary interval = summarize(idle.intervalBytes);
    const Summary intervalCalls = summarize(idle.intervalCalls);
    Deviations playToDrop = idle.playToDropToneFirst;
    playToDrop.insert(playToDrop.end(), idle.playToDropDropFirst.begin(),
                      idle.playToDropDropFirst.end());
    const Summary drop = summarize(playToDrop);
    const Summary onset = summarize(idle.onsetVsDrop);
    QStringList rows = {QStringLiteral("| Target | measured (module bytes) | on the program's "
                                       "thread (tone calls) | |"),
                        QStringLiteral("|---|---|---|---|")};
    const auto row = [&](const QString& target, const QString& measured, const QString& thread,
                         bool reached) {
        rows << QStringLiteral("| %1 | %2 | %3 | %4 |")
                    .arg(target, measured, thread,
                         reached ? QStringLiteral("reached") : QStringLiteral("**missed**"));
    };
    const QString none = QStringLiteral("–");
    const auto msCell = [](double value) { return figure(value) + QStringLiteral(" ms"); };
    const auto withP99 = [](const Summary& s) {
        return figure(s.max) + QStringLiteral(" ms (p99 ") + figure(s.p99) + QStringLiteral(")");
    };
    row(QStringLiteral("Beep-to-beep interval error, idle: median ≤ 0.10 ms"),
        msCell(interval.median), msCell(intervalCalls.median), std::abs(interval.median) <= 0.1);
    row(QStringLiteral("Beep-to-beep interval error, idle: p99 ≤ 0.50 ms"), msCell(interval.p99),
        msCell(intervalCalls.p99), interval.p99 <= 0.5);
    if (busy) {
        const Summary intervalBusy = summarize(busy->intervalBytes);
        row(QStringLiteral("Beep-to-beep interval error, other core busy: max ≤ 2 ms"),
            msCell(intervalBusy.max), msCell(summarize(busy->intervalCalls).max),
            intervalBusy.max <= 2.0);
    }
    row(QStringLiteral("Gate-drop byte after its tone's play call: p99 ≤ 0.30 ms"), withP99(drop),
        none, drop.count > 0 && drop.p99 <= 0.3);
    const Summary timeline = summarize(idle.dropVsTimeline);
    row(QStringLiteral("Gate-drop byte vs its ideal timeline: median ≤ 2 ms"),
        msCell(timeline.median), none, timeline.count > 0 && std::abs(timeline.median) <= 2.0);
    if (onset.count > 0)
        row(QStringLiteral("Audio onset of the drop's tone vs the gate-drop byte: max ≤ 3 ms"),
            withP99(onset), none, onset.max <= 3.0);
    const auto idleRow = [&](const char* target, const std::optional<ProgramProcess::Idle>& idle) {
        if (idle)
            row(QString::fromUtf8(target), figure(idle->cpuPercent, 3) + QStringLiteral(" %"), none,
                idle->cpuPercent <= 0.1);
    };
    idleRow("Idle CPU ≤ 0.10 % of one core (sound server running)", p.idleWithServer);
    idleRow("Idle CPU ≤ 0.10 % of one core (no sound server)", p.idleWithoutServer);
    if (p.idleWithServer) {
        // libpulse's own thread, by the name it gives itself.
        const auto& rates = p.idleWithServer->wakeupsPerSecond;
        const auto audio = rates.find(QStringLiteral("threaded-ml"));
        const double perSecond = audio == rates.end() ? 0 : audio->second;
        row(QStringLiteral("Sound thread wake-ups at rest ≤ 5/s (sound server running)"),
            figure(perSecond, 1) + QStringLiteral("/s"), none, perSecond <= 5.0);
    }
    if (!p.startUpModule.empty()) {
        const double worst = *std::max_element(p.startUpModule.begin(), p.startUpModule.end());
        row(QStringLiteral("Start-up to ready ≤ 0.5 s, module on port 1 (max)"),
            figure(worst, 0) + QStringLiteral(" ms"), none, worst <= 500);
    }
    return joined(rows);
}

QString floorTable(const MeasurementFloor& f) {
    QStringList rows = {QStringLiteral("| What the machine and the instrument add | load | n | "
                                       "median | p99 | max |"),
                        QStringLiteral("|---|---|---:|---:|---:|---:|")};
    const QString delivery = QStringLiteral("Two-byte write handed to the kernel → stamped at "
                                            "the virtual module (pseudo-terminal) | ");
    const QString sleep =
        QStringLiteral("A thread's wake-up after a 20 ms clock_nanosleep, lateness | ");
    rows << summaryRow(delivery + QStringLiteral("idle"), summarize(f.deliveryIdle), 3);
    if (!f.deliveryBusy.empty())
        rows << summaryRow(delivery + QStringLiteral("busy"), summarize(f.deliveryBusy), 3);
    rows << summaryRow(sleep + QStringLiteral("idle"), summarize(f.sleepIdle), 3);
    if (!f.sleepBusy.empty())
        rows << summaryRow(sleep + QStringLiteral("busy"), summarize(f.sleepBusy), 3);
    return joined(rows);
}

// ---------------------------------------------------------------- prose

QString measuredLine(const TimingResults& r) {
    QString line = QStringLiteral("Measured by `%1` on %2, %3 minutes of measuring.")
                       .arg(r.command, r.began.toString(QStringLiteral("yyyy-MM-dd HH:mm")))
                       .arg(r.seconds / 60);
    line += r.readyEvery == 1
                ? QStringLiteral(" Nothing in the program was changed or shortened for it.")
                : QStringLiteral(" Nothing in the program was changed for it; the 10 s wait for "
                                 "the ready state was cut short where said below.");
    if (!r.revision.isEmpty())
        line += QStringLiteral("\n\nProgram revision: %1.").arg(r.revision);
    return line;
}

QString machineSection(const TimingResults& r) {
    QStringList lines = {
        QStringLiteral("- CPU: %1, %2 cores (`nproc`)").arg(r.cpu).arg(r.cores),
        QStringLiteral("- ") + r.system,
        QStringLiteral("- Load average when the run began: %1. The machine is shared: “idle” "
                       "means no load of the benchmark's own, not an empty machine.")
            .arg(r.loadAtStart),
    };
    for (const ConditionResult& c : r.conditions)
        lines << QStringLiteral("- During the starts “%1”: %2.").arg(c.condition.title, c.machine);
    lines << QStringLiteral("- Sound: ") +
                 (r.audio ? QStringLiteral("the real PulseAudio player on a private PulseAudio "
                                           "server with a null sink, recorded from its monitor")
                          : QStringLiteral("no sound server (the player is silent; the "
                                           "synchronous play still takes the file's length)"));
    return joined(lines);
}

QString readyNote(int readyEvery) {
    if (readyEvery == 1)
        return {};
    if (readyEvery == 0)
        return QStringLiteral(
            " The ready state was not waited for: once beep 4's commands were at the module, the "
            "benchmark called the restart timer's handler itself, so the 10 s step is not "
            "measured.");
    return QStringLiteral(
               " The ready state came by its own 10 s timer in one start of every %1, which gives "
               "the ready-state row; in the others, once beep 4's commands were at the module, the "
               "benchmark called the restart timer's handler itself. Nothing measured comes after "
               "that point, and the race clock's reads of the finish beam, running from the drop "
               "to the next start in either case, went on as in service.")
        .arg(readyEvery);
}

QString howSection(const TimingResults& r) {
    QStringList speeds;
    for (int speed : r.speeds)
        speeds << QString::number(speed);
    QStringList conditions;
    for (const ConditionResult& c : r.conditions)
        conditions << QStringLiteral("“%1”").arg(c.condition.title);
    const int perCondition = r.startsPerSpeed * int(r.speeds.size());
    return QStringLiteral(
               "The real main window (`frmUSB_Main`, offscreen) with its real timers and the real "
               "sound player runs complete starts against a virtual I/O module, found by "
               "discovery on port 1 and set up from the sample `config.dat`. For each start the "
               "benchmark clicks the start button to raise the gate and clicks again the moment "
               "the 4 s hold-off ends; from there the program's own timers run the start, and "
               "every read the program makes goes to the module as in service (nobody presses "
               "the external button or breaks the finish beam, so the race clock reads the beam "
               "every 10 ms from the drop until the next start's cadence begins). Every command is "
               "stamped when its last byte "
               "arrives at the module (CLOCK_MONOTONIC); every sound call is stamped on the "
               "program's thread by a wrapper around the real player. Starts run one after the "
               "other, never overlapping.%1\n\n"
               "The link: a pseudo-terminal moves bytes at once. The paced conditions make the "
               "virtual module behave as a real one on its serial line: each byte takes 1.04 ms "
               "on the wire at 9600 baud (10 bits), both ways; a command written while another "
               "is on the wire waits for it; a reply reaches the program when the USB adapter's "
               "latency timer, started by the reply's first byte, expires (1 ms and 16 ms are "
               "the usual settings). A read therefore blocks the program's thread for at least "
               "2.08 ms plus the latency.\n\n"
               "Conditions: %2. Each rests on %3 starts: %4 at each beep speed B = %5 ms, the "
               "gate timing going round 0, 1, 2, 3. Beep-to-beep intervals give three values "
               "per start. *Deviation* = measured − ideal in ms; the median keeps its sign "
               "(+ = late), p99 (nearest rank) and max are of its size. “Busy” runs have a "
               "process of the benchmark's own spinning on one core the whole time; the link "
               "does not change what that load does to the program, so only the "
               "pseudo-terminal runs it. W = %6 ms, the length of “Watch_the_gate.wav”; t0 = "
               "the start click (“ok_riders.wav” call).")
        .arg(readyNote(r.readyEvery), conditions.join(QStringLiteral(", ")))
        .arg(perCondition)
        .arg(r.startsPerSpeed)
        .arg(speeds.join(QStringLiteral(", ")))
        .arg(figure(r.watchLengthMs, 1));
}

// What the wire does to the drop, in the figures of this run.
QString dropOnTheWireNote(const std::vector<const ConditionResult*>& idle) {
    QStringList measured;
    for (const ConditionResult* c : idle) {
        const Summary toneFirst = summarize(c->figures.playToDropToneFirst);
        const Summary afterBeep = summarize(c->figures.dropVsBeep);
        if (toneFirst.count == 0)
            continue;
        measured << QStringLiteral("%1: %2 ms after the tone's play call (median, gate timing "
                                   "0–2), %3 ms after its beep's first byte")
                        .arg(c->condition.link, figure(toneFirst.median), figure(afterBeep.median));
    }
    return QStringLiteral(
               "At the line rate every command takes its bytes' time on the wire, 2.08 ms for a "
               "light or the drop, and the commands of one beep step leave one behind the other: "
               "the drop is written just after its beep's light commands (and its tone's play "
               "call), so it waits on the wire for them and reaches the gate one command (beeps 1 "
               "and 4) or two commands (beeps 2 and 3, light off and light on) after its write, "
               "on top of its own 2.08 ms. The tone, started within a millisecond of its call, is "
               "then heard that much before the gate gets its command. Measured: %1.")
        .arg(measured.join(QStringLiteral("; ")));
}

QString whereTheTimeGoes() {
    return QStringLiteral(
        "- Qt rounds the wait for its next timer up to a whole millisecond (also with "
        "`Qt::PreciseTimer`). So each timed step of a start (“Riders ready”, “Watch the "
        "gate”, the beeps, the ready state) is woken by such a timer 2 ms before it is due "
        "and waits out the rest on the monotonic clock: it runs within a thread's wake-up of "
        "its due time. A step is due at the previous step's actual time plus its interval, "
        "so what one step is late by is carried into the next; the hold-off's end is no "
        "step of the chain and keeps Qt's rounding.\n"
        "- “Watch the gate” is played to its end: the step returns when the sound server "
        "reports its last sample heard, which is its length W plus the part of the sink's "
        "latency the estimate leaves over. Beep 1 counts from there, so the drop carries "
        "this against the ideal timeline, which counts W alone.\n"
        "- A play call hands its sound to the player's thread through a lock-free mailbox "
        "and returns within microseconds, so no step is held up by a sound call.\n"
        "- A read of port B (the start-button poll every 500 ms, the race clock every 10 ms "
        "from the drop) blocks the program's thread for a round trip to the module: next to "
        "nothing on the pseudo-terminal, at least 2.08 ms plus the adapter's latency on a real "
        "link. No read is begun when a step of the start is due within 105 ms, so only what "
        "is not guarded is held up: the hold-off's end, while the race clock of the start "
        "before still reads the beam (back to back behind a 16 ms adapter).\n"
        "- On a real link each command reaches the module its bytes' wire time after its "
        "write, later when commands written just before it are still on the wire; a step's "
        "first byte, the drop most of all, carries this.\n"
        "- A byte's stamp carries more than the floor's delivery during a start: the pseudo-"
        "terminal's kernel worker and the virtual module's thread, which stamp it, then share "
        "the two cores with the player's thread topping up the stream, the sound server and "
        "the race clock's reads. So the module bytes' p99 lies a few tenths of a ms above the "
        "tone calls', which are stamped on the program's own thread; the drop's write follows "
        "its tone's play call by that call's duration.\n"
        "- The machine is shared: a step late by a few ms now and then comes from other work "
        "holding both cores (tens of ms when the machine is very busy), as the measurement "
        "floor shows.");
}

QString readTimeoutsSection(const std::vector<ConditionResult>& conditions) {
    QStringList rows = {QStringLiteral("| Condition | starts | “Read Timeout” messages | stale "
                                       "reply bytes drained |"),
                        QStringLiteral("|---|---:|---:|---:|")};
    for (const ConditionResult& c : conditions)
        rows << QStringLiteral("| %1 | %2 | %3 | %4 |")
                    .arg(c.condition.title)
                    .arg(c.starts)
                    .arg(c.readTimeouts)
                    .arg(c.staleReplies);
    return joined(rows) +
           QStringLiteral(
               "\n\nMessages are caught, not shown. A reply that came after a read's wait stays "
               "in the receive buffer; such bytes were drained after each start, so that every "
               "start begins with the link as it is after a clean start-up.");
}

// ---------------------------------------------------------------- the run before

QList<MeasuredFigure> headlineFigures(const TimingResults& r) {
    return everyFigure(r.conditions, Headlines, [](const ConditionResult& c, const Figure& h) {
        return summarize(c.figures.*h.values);
    });
}

} // namespace

QString timingReport(const TimingResults& r) {
    std::vector<const ConditionResult*> idle;
    const StartFigures* busy = nullptr;
    for (const ConditionResult& c : r.conditions) {
        if (!c.condition.busy)
            idle.push_back(&c);
        else if (!isPaced(c.condition))
            busy = &c.figures;
    }
    const QList<MeasuredFigure> headlines = headlineFigures(r);
    QStringList parts = {
        QStringLiteral("# Start timing"),
        measuredLine(r),
        QStringLiteral("## Machine"),
        machineSection(r),
        QStringLiteral("## How it is measured"),
        howSection(r),
    };
    if (!idle.empty()) {
        parts << QStringLiteral("## Targets") << QStringLiteral("On the pseudo-terminal, idle:")
              << targetsTable(idle.front()->figures, busy, r.process);
    }
    parts << QStringLiteral("## Against the run before")
          << comparisonSection(headlines, r.previous);
    if (idle.size() > 1) {
        parts << QStringLiteral("## What a real link adds") << linkTable(idle)
              << dropOnTheWireNote(idle)
              << QStringLiteral("Tone's play call → gate-drop byte by gate timing, median (ms):")
              << dropByTimingTable(idle);
    }
    parts << QStringLiteral("## The start against its ideal timeline: deviation in ms");
    for (const ConditionResult& c : r.conditions)
        parts << QStringLiteral("### ") + c.condition.title << timelineTable(c.figures);
    parts << QStringLiteral("## Beep-to-beep interval error by beep speed (module bytes, ms)")
          << speedTable(r.conditions) << QStringLiteral("## Gate drop, its tone and the audio (ms)")
          << dropTable(r.conditions)
          << QStringLiteral(
                 "Audio onsets come from the recording of the null sink's monitor, each tone's "
                 "own fade-in taken off. The recording is placed on the monotonic clock from when "
                 "its blocks arrive, which puts it early by up to about one block of the sink (a "
                 "few ms); the spread between starts within one recording is exact.")
          << QStringLiteral("## The program as a process") << processTable(r.process)
          << QStringLiteral(
                 "Start-up is measured from spawning `korvane-bench-program` (the program as "
                 "`main.cpp` builds it, on the benchmark's ports instead of the machine's; message "
                 "boxes are reported instead of shown) to the ready state's byte at the module. "
                 "Idle CPU is utime + stime of that process from /proc over the period, after 5 s "
                 "in the ready state; it includes the port-B poll every 500 ms. The kernel counts "
                 "it in clock ticks of 10 ms, so the figure moves in steps of one tick: 0.017 % "
                 "over 60 s, 0.5 % over the quick run's 2 s.")
          << QStringLiteral("## Measurement floor") << floorTable(r.floor)
          << QStringLiteral(
                 "Every byte stamp above includes the first: the pseudo-terminal hands written "
                 "bytes on through a kernel worker, then the module's thread must wake. On a "
                 "paced link a command's stamp is the time its bytes were read from the "
                 "pseudo-terminal plus their time on the wire, so it carries this once. The tone "
                 "play calls, stamped on the program's own thread, show the timers without "
                 "either. The second is the best any timer on this machine can do.")
          << QStringLiteral("## Where the time goes") << whereTheTimeGoes()
          << QStringLiteral("## Read timeouts") << readTimeoutsSection(r.conditions)
          << recordBlock(recordOf(r.revision, r.began.toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                                  headlines));
    return parts.join(QStringLiteral("\n\n")) + QLatin1Char('\n');
}

} // namespace korvane::bench
