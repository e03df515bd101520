#include "bench/bench.h"

#include "sequence/start_sequence.h"

#include <QRegularExpression>
#include <QStringList>

#include <cmath>
#include <functional>

using namespace Qt::StringLiterals;

namespace korvane::bench {

namespace {

using Cell = std::function<QString(const Summary&)>;

QString num(double value, int decimals = 2) {
    return QString::number(value, 'f', decimals);
}

const QString Drop_Written = u"Drop's command written after its tone's play call, on the "
                             u"program's own thread, gate timing 0–2"_s;

// Every row's label by the key of its figure.
const std::map<QString, QString> Labels = {
    {u"gate-up"_s, u"Gate-up byte after the click (0)"_s},
    {u"hold-off"_s,
     u"Hold-off: start possible after the gate went up (%1 ms)"_s.arg(cadence::Hold_Off_Ms)},
    {u"riders-ready"_s,
     u"“Riders ready” call after the start (%1 ms)"_s.arg(cadence::Riders_Ready_Ms)},
    {u"watch-call"_s,
     u"“Watch the gate” call after “Riders ready” (%1 ms)"_s.arg(cadence::Watch_The_Gate_Ms)},
    {u"watch-length"_s, u"“Watch the gate” played to its end (its length W)"_s},
    {u"beep1-byte"_s, u"Beep 1 byte after the end of “Watch the gate” (B)"_s},
    {u"beep1-call"_s, u"Beep 1 tone call after the end of “Watch the gate” (B)"_s},
    {u"interval-bytes"_s, u"**Beep-to-beep interval**, module bytes (B)"_s},
    {u"interval-calls"_s, u"Beep-to-beep interval, tone play calls (B)"_s},
    {u"drop-after-beep"_s, u"**Gate drop** byte after its beep's first byte (0)"_s},
    {u"drop-written"_s, Drop_Written + u" (0)"_s},
    {u"drop-vs-timeline"_s, u"Gate drop byte vs the ideal timeline (t0 + %1 s + W + k·B)"_s.arg(
                                (cadence::Riders_Ready_Ms + cadence::Watch_The_Gate_Ms) / 1000.0)},
    {u"ready"_s,
     u"**Ready state** byte after beep 4 (%1 ms)"_s.arg(cadence::Ready_After_Last_Beep_Ms)},
    {u"light-after-call"_s,
     u"Beeps 1–3: light byte stamped after the tone call (written before it: 0)"_s},
    {u"drop-after-call"_s, u"Tone's play call → gate-drop byte, gate timing 0–2 (tone first)"_s},
    {u"drop-first"_s,
     u"Tone's play call → gate-drop byte, gate timing 3 (drop first: negative = byte first)"_s},
    {u"play-call"_s, u"Duration of the asynchronous play call"_s},
    {u"onset-vs-drop"_s, u"Audio onset of the drop's tone − gate-drop byte (0)"_s},
    {u"onset-vs-call"_s, u"Audio onset − its play call, every tone"_s},
    {u"pulse-after-drop"_s, u"Start-pulse byte after the gate-drop byte (with the pulse on)"_s},
    {u"sample-period"_s, u"port B sampled every"_s},
    {u"race-shown"_s, u"shown race time − true time"_s},
    {u"race-count"_s, u"Race_time − true time"_s},
    {u"loop-gap"_s, u"longest event-loop gap per race"_s},
    {u"startup-module"_s,
     u"Start-up to the ready state (“A 00” at the module), module on port 1"_s},
    {u"startup-paced"_s, u"The same, module at the line rate behind a 16 ms adapter"_s},
    {u"startup-busy"_s, u"The same behind a 16 ms adapter, the other core busy"_s},
    {u"startup-slow"_s, u"The same, the module answering every command 40 ms late"_s},
    {u"startup-absent"_s, u"Start-up to “No Controller  detected”, 16 absent ports"_s},
    {u"startup-silent"_s, u"Start-up to “No Controller  detected”, 16 ports that never answer"_s},
    {u"idle-server-cpu"_s, u"Idle CPU in the ready state, sound server running (% of one core)"_s},
    {u"idle-none-cpu"_s, u"Idle CPU in the ready state, no sound server (% of one core)"_s},
    {u"resident-mib"_s, u"Resident memory after the idle period (MiB)"_s},
    {u"threads"_s, u"Threads after the idle period"_s},
    {u"at-rest"_s, u"At rest, in the ready state"_s},
    {u"gate-raised"_s, u"The gate up, the hold-off over"_s},
    {u"held"_s, u"A start held on screen"_s},
    {u"cadence"_s, u"In the spoken cadence, just after “OK riders”"_s},
    {u"race"_s, u"Watching the finish beam after the drop"_s},
    {u"message"_s, u"At rest, a message box open"_s},
    {u"onset"_s, u"Tone onset after the play call"_s},
    {u"sync-return"_s, u"Synchronous play returns after the tone's end"_s},
    {u"stopped-cut"_s, u"The tone stopped right on that return: heard short by"_s},
    {u"cpu-awake"_s, u"Player awake, stream running: % of a core"_s},
    {u"wakeups-awake"_s, u"… wake-ups a second"_s},
    {u"cpu-rest"_s, u"Player at rest, stream corked: % of a core"_s},
    {u"wakeups-rest"_s, u"… wake-ups a second"_s},
};

// The rows of a table: the figures' keys, each with its label (or the key's own rest).
using Rows = std::vector<std::pair<QString, QString>>;
Rows rows(const QString& keys) {
    Rows found;
    for (const QString& key : keys.split(u' ')) {
        const auto label = Labels.find(key);
        found.emplace_back(key, label == Labels.end() ? key : label->second);
    }
    return found;
}

const QString Timeline = u"gate-up hold-off riders-ready watch-call watch-length beep1-byte "
                         u"beep1-call interval-bytes interval-calls drop-after-beep drop-written "
                         u"drop-vs-timeline ready light-after-call"_s;
const QString Race_Rows = u"sample-period race-shown race-count loop-gap"_s;

// The figures compared with the run before and set beside each other across the links.
const QString Headlines = u"interval-bytes interval-calls drop-after-call drop-first "
                          u"drop-written drop-after-beep drop-vs-timeline ready onset-vs-drop "
                          u"pulse-after-drop"_s;

// A table's head: the first `left` columns left-aligned, the others (figures) right-aligned.
QString head(const QStringList& columns, int left = 1) {
    QString rule = u"|"_s;
    for (int i = 0; i < columns.size(); ++i)
        rule += i < left ? u"---|"_s : u"---:|"_s;
    return u"| %1 |\n"_s.arg(columns.join(u" | "_s)) + rule;
}

// "n | median | p99 | max", or dashes without samples.
QString cells(const Summary* s) {
    return s ? u"%1 | %2 | %3 | %4"_s.arg(s->count).arg(num(s->median), num(s->p99), num(s->max))
             : u"– | – | – | –"_s;
}

QString medianP99(const Summary& s) {
    return num(s.median) + u" / "_s + num(s.p99);
}

// One row a figure, one column a group with cell(summary) in it; or, without `cell`, the
// n, median, p99 and max of each figure of each group, the group in a column of its own
// when there are several.
QString table(const QString& corner, const std::vector<const Group*>& groups, const Rows& figures,
              const Cell& cell = {}) {
    QStringList columns = {corner};
    const bool several = groups.size() > 1;
    for (const Group* g : groups)
        columns << g->link;
    if (!cell)
        columns = QStringList{corner} + (several ? QStringList{u"condition"_s} : QStringList()) +
                  QStringList{u"n"_s, u"median"_s, u"p99"_s, u"max"_s};
    QStringList lines = {head(columns, cell ? 1 : several ? 2 : 1)};
    for (const auto& [key, label] : figures) {
        QString line = u"| "_s + label + u" |"_s;
        for (const Group* g : groups) {
            const Summary* s = g->figure(key);
            if (cell)
                line += u" %1 |"_s.arg(s ? cell(*s) : u"–"_s);
            else if (s || !several)
                lines << u"| %1 | %2 |"_s.arg(several ? label + u" | "_s + g->link : label,
                                              cells(s));
        }
        if (cell)
            lines << line;
    }
    return lines.join(u'\n');
}

// The idle conditions of the links, in the order of their columns.
std::vector<const Group*> linkGroups(const Run& run) {
    std::vector<const Group*> groups;
    for (const QString& key : {u"pty-idle"_s, u"1ms-idle"_s, u"16ms-idle"_s, u"pulse-idle"_s}) {
        if (const Group* g = run.group(key))
            groups.push_back(g);
    }
    return groups;
}

// Which run came before, and each figure of each group now beside the same of that run.
QString comparison(const Run& run, const QString& kind, const Rows& figures) {
    const Run* before = run.before.get();
    QStringList lines = {head({u"Figure (ms)"_s, u"n"_s, u"median"_s, u"p99"_s, u"max"_s,
                               u"before: n"_s, u"median"_s, u"p99"_s, u"max"_s})};
    for (const Group* g : run.groupsOf(kind)) {
        const Group* old = before ? before->group(g->key) : nullptr;
        for (const auto& [key, label] : figures) {
            const Summary* was = old ? old->figure(key) : nullptr;
            if (g->figure(key) || was)
                lines << u"| %1, %2 | %3 | %4 |"_s.arg(label, g->link, cells(g->figure(key)),
                                                       cells(was));
        }
    }
    return (before ? u"The run before: revision %1, measured %2 by `%3`."_s.arg(
                         before->revision, before->measured, before->command)
                   : u"No run before was recorded."_s) +
           u"\n\n"_s + lines.join(u'\n');
}

QString targetsTable(const Run& run) {
    QStringList lines = {
        head({u"Target"_s, u"measured (module bytes)"_s, u"on the program's thread"_s, {}}, 4)};
    // `stat` ('m' the median's size, 'p' p99, 'x' max) of a figure of a group against
    // `limit`, in the module bytes' column or, `onThread`, in the program thread's;
    // `beside`: the same of another figure, in the other column.
    const auto target = [&](const QString& text, const QString& group, const QString& figure,
                            char stat, double limit, const QString& unit = u" ms"_s,
                            const QString& beside = {}, bool onThread = false) {
        const Group* g = run.group(group);
        const auto value = [&](const QString& key) -> std::optional<double> {
            const Summary* s = g && !key.isEmpty() ? g->figure(key) : nullptr;
            if (!s)
                return std::nullopt;
            return stat == 'm' ? std::abs(s->median) : stat == 'p' ? s->p99 : s->max;
        };
        const auto cell = [&](const QString& key) {
            const int decimals = unit == u" %"_s ? 3 : unit == u" ms"_s ? 2 : 0;
            return value(key) ? num(*value(key), decimals) + unit : u"–"_s;
        };
        if (value(figure))
            lines << u"| %1 | %2 | %3 | %4 |"_s.arg(
                text, cell(onThread ? beside : figure), cell(onThread ? figure : beside),
                *value(figure) <= limit ? u"reached"_s : u"**missed**"_s);
    };
    for (const auto& [group, what, stat, limit] :
         {std::tuple{u"pty-idle"_s, u"idle: median ≤ 0.10 ms"_s, 'm', 0.1},
          {u"pty-idle"_s, u"idle: p99 ≤ 0.50 ms"_s, 'p', 0.5},
          {u"pty-busy"_s, u"other core busy: max ≤ 2 ms"_s, 'x', 2.0},
          {u"no-server"_s, u"no sound server: max ≤ 2 ms"_s, 'x', 2.0},
          {u"server-killed"_s, u"the sound server killed: max ≤ 2 ms"_s, 'x', 2.0},
          {u"files-missing"_s, u"the sound files missing: max ≤ 2 ms"_s, 'x', 2.0}})
        target(u"Beep-to-beep interval error, "_s + what, group, u"interval-bytes"_s, stat, limit,
               u" ms"_s, u"interval-calls"_s);
    const QString idle = u"pty-idle"_s, process = u"process"_s;
    target(u"Gate-drop byte after its tone's play call, gate timing 0–2: p99 ≤ 0.30 ms"_s, idle,
           u"drop-after-call"_s, 'p', 0.3);
    target(Drop_Written + u": p99 ≤ 0.30 ms"_s, idle, u"drop-written"_s, 'p', 0.3, u" ms"_s, {},
           true);
    target(u"Gate-drop byte vs its ideal timeline: median ≤ 2 ms"_s, idle, u"drop-vs-timeline"_s,
           'm', 2);
    target(u"Audio onset of the drop's tone vs the gate-drop byte: max ≤ 3 ms"_s, idle,
           u"onset-vs-drop"_s, 'x', 3);
    target(u"Idle CPU ≤ 0.10 % of one core (sound server running)"_s, process, u"idle-server-cpu"_s,
           'x', 0.1, u" %"_s);
    target(u"Idle CPU ≤ 0.10 % of one core (no sound server)"_s, process, u"idle-none-cpu"_s, 'x',
           0.1, u" %"_s);
    target(u"Sound thread wake-ups at rest ≤ 5/s (sound server running)"_s, process,
           u"idle-server-wakeups:threaded-ml"_s, 'x', 5, u"/s"_s);
    target(u"Start-up to ready ≤ 0.5 s, module on port 1 (max)"_s, process, u"startup-module"_s,
           'x', 500);
    target(u"Start-up to ready ≤ 1 s, the module answering 40 ms late (max)"_s, process,
           u"startup-slow"_s, 'x', 1000);
    target(u"… and no “No Controller  detected”"_s, process, u"startup-slow-boxes"_s, 'x', 0,
           u" runs"_s);
    target(u"Start-ups behind a 16 ms adapter, other core busy: every one found"_s, process,
           u"startup-busy-missed"_s, 'x', 0, u" not found"_s);
    target(u"… and no “No Controller  detected”"_s, process, u"startup-busy-boxes"_s, 'x', 0,
           u" runs"_s);
    target(u"Module plugged in again → the window's link connected ≤ 2 s, every situation (max)"_s,
           u"recovery"_s, u"any"_s, 'x', 2000);
    return lines.join(u'\n');
}

QString measured(const Run& run) {
    return u"Measured by `%1` on %2, %3 minutes of measuring, program revision %4. Load average "
           u"when the run began: %5 (“idle”: no load of the benchmark's own)."_s.arg(
               run.command, run.measured, run.about[u"minutes"_s], run.revision,
               run.about[u"load"_s]);
}

QString describeRun(const Run& run) {
    const QMap<QString, QString>& about = run.about;
    QStringList lines = {
        measured(run) + u"\n\n## Machine\n"_s,
        u"- CPU: %1, %2 cores (`nproc`); %3"_s.arg(about[u"cpu"_s], about[u"cores"_s],
                                                   about[u"system"_s]),
        u"- Sound: the real player on a private %1 server with a null sink, recorded from its "
        u"monitor"_s.arg(about.value(u"sound"_s, u"(no)"_s))};
    for (const Group* g : run.groupsOf(u"start"_s))
        lines << u"- During “%1” (starts: %2): %3."_s.arg(g->title)
                     .arg(g->value(u"starts"_s))
                     .arg(g->during);
    const Group* idle = run.group(u"pty-idle"_s);
    lines << u"\nBeep speeds B = %1 ms; %2 starts at each on each link, %3 in each sound "
             u"condition; the ready state's own timer waited for every %4 starts (0: never); W = "
             u"%5 ms."_s.arg(about[u"speeds"_s], about[u"starts"_s], about[u"sound-starts"_s],
                             about[u"ready-every"_s],
                             num(idle ? idle->value(u"watch-ms"_s) : 0, 1));
    return lines.join(u'\n');
}

// A cell of one figure: "median / max" of several samples, or the single value.
QString medianMax(const Summary& s) {
    const double v = s.median;
    return s.count > 1 ? u"%1 / %2"_s.arg(num(v, 1), num(s.max, 1))
                       : num(v, v == std::round(v) ? 0
                                : std::abs(v) < 1  ? 3
                                                   : 1);
}

QString processTable(const Run& run) {
    const Group* p = run.group(u"process"_s);
    if (!p)
        return u"Not measured in this run."_s;
    Rows figures = rows(u"startup-module startup-paced startup-busy startup-slow startup-absent "
                        u"startup-silent idle-server-cpu idle-none-cpu"_s);
    for (const auto& [key, s] : p->figures) {
        if (key.contains(u"-wakeups:"_s))
            figures.emplace_back(key, u"… its thread “%1” woke, a second (%2)"_s.arg(
                                          key.section(u':', 1), key.contains(u"server"_s)
                                                                    ? u"sound server running"_s
                                                                    : u"no sound server"_s));
    }
    const Rows memory = rows(u"resident-mib threads"_s);
    figures.insert(figures.end(), memory.begin(), memory.end());
    return u"Start-ups in ms, median / max of the runs; idle CPU over %1 s.\n\n"_s.arg(
               run.about.value(u"idle-seconds"_s)) +
           table(u"Measure"_s, {p}, figures, medianMax);
}

QString soundServerTable(const Run& run) {
    const std::vector<const Group*> servers = run.groupsOf(u"sound-server"_s);
    if (servers.empty())
        return u"Not measured in this run."_s;
    QStringList versions;
    for (const Group* g : servers)
        versions << g->title;
    Rows figures = rows(u"onset short-cut long-cut sync-return stopped-cut cpu-awake wakeups-awake "
                        u"cpu-rest wakeups-rest"_s);
    for (const int i : {1, 2})
        figures[std::size_t(i)].second = u"`%1` (%2 ms) heard short by"_s.arg(
            i == 1 ? u"BMX_start_tone.wav"_s : u"BMX_start_tone_long.wav"_s,
            num(servers[0]->value(figures[std::size_t(i)].first + u"-file"_s), 1));
    return u"Servers: %1. Median / max in ms, %2 plays of each tone; the player's cost over %3 s."
           u"\n\n"_s.arg(versions.join(u"; "_s), run.about.value(u"plays"_s),
                         run.about.value(u"cost-seconds"_s)) +
           table(u"Measure"_s, servers, figures, medianMax);
}

QString raceFigures(const Run& run) {
    QStringList parts = {measured(run) + u" %1 races per condition, the beam broken 1 to 5 s after "
                                         u"the drop."_s.arg(run.about[u"races"_s])};
    for (const Group* g : run.groupsOf(u"race"_s))
        parts << u"### "_s + g->title
              << table(u"measured (ms)"_s, {g}, rows(Race_Rows)) +
                     u"\n| longest event-loop gap, %1 s without a race | 1 | %2 | | |"_s
                         .arg(g->value(u"quiet-seconds"_s))
                         .arg(num(g->value(u"gap-without-race"_s)))
              << u"“Read Timeout”: %1 (counted, not shown). During these races: %2."_s
                     .arg(g->value(u"read-timeouts"_s))
                     .arg(g->during);
    parts << u"### What a real link adds"_s
          << table(u"Idle, median / p99 (ms)"_s, linkGroups(run), rows(Race_Rows), medianP99)
          << u"### Against the run before"_s << comparison(run, u"race"_s, rows(Race_Rows));
    return parts.join(u"\n\n"_s);
}

std::map<QString, QString> timingBlocks(const Run& run) {
    const std::vector<const Group*> starts = run.groupsOf(u"start"_s);
    QStringList timelines,
        timeouts = {head({u"Condition"_s, u"starts"_s, u"“Read Timeout” messages"_s})};
    for (const Group* g : starts) {
        timelines << u"### "_s + g->title << table(u"Step (ideal)"_s, {g}, rows(Timeline));
        timeouts << u"| %1 | %2 | %3 |"_s.arg(g->title)
                        .arg(g->value(u"starts"_s))
                        .arg(g->value(u"read-timeouts"_s));
    }
    Rows speeds, byTiming;
    for (const QString& speed : run.about.value(u"speeds"_s).split(u", "_s))
        speeds.emplace_back(u"interval-bytes-"_s + speed, speed + u" ms"_s);
    const char* ahead[] = {"red on", "red off, orange on", "orange off, green on", "green on"};
    for (int timing = 0; timing < 4; ++timing)
        byTiming.emplace_back(
            u"drop-after-call-%1"_s.arg(timing),
            u"%1 (beep %2): %3"_s.arg(timing).arg(timing + 1).arg(QLatin1String(ahead[timing])));
    const auto single = [&](const QString& key, const QString& corner, const QString& keys) {
        const Group* g = run.group(key);
        return g ? table(corner, {g}, rows(keys)) : u"Not measured in this run."_s;
    };
    return {
        {u"run"_s, describeRun(run)},
        {u"targets"_s, targetsTable(run)},
        {u"before"_s, comparison(run, u"start"_s, rows(Headlines))},
        {u"links"_s,
         table(u"Figure, median / p99 (ms)"_s, linkGroups(run), rows(Headlines), medianP99)},
        {u"drop-by-timing"_s,
         table(u"Gate timing (drop at beep): commands ahead of the drop"_s, linkGroups(run),
               byTiming, [](const Summary& s) { return num(s.median); })},
        {u"timelines"_s, timelines.join(u"\n\n"_s)},
        {u"speeds"_s, table(u"Beep speed B"_s, starts, speeds)},
        {u"drop"_s, table(u"Measure"_s, starts,
                          rows(u"drop-after-call drop-first drop-written play-call onset-vs-drop "
                               u"onset-vs-call"_s))},
        {u"process"_s, processTable(run)},
        {u"recovery"_s, single(u"recovery"_s, u"Module unplugged (ms from the replug)"_s,
                               u"at-rest gate-raised held cadence race message"_s)},
        {u"timeouts"_s, timeouts.join(u'\n')},
        {u"sound-servers"_s, soundServerTable(run)}};
}

} // namespace

QString renderDoc(const QString& doc, const Run& run, bool race) {
    static const QRegularExpression block(u"(<!-- bench: ([a-z-]+) -->).*?(<!-- /bench -->)"_s,
                                          QRegularExpression::DotMatchesEverythingOption);
    const std::map<QString, QString> blocks =
        race ? std::map<QString, QString>{{u"figures"_s, raceFigures(run)}} : timingBlocks(run);
    QString filled;
    qsizetype from = 0;
    for (const QRegularExpressionMatch& m : block.globalMatch(doc)) {
        const auto found = blocks.find(m.captured(2));
        filled += doc.mid(from, m.capturedStart() - from) + m.captured(1) + u'\n' +
                  (found == blocks.end() ? u"Not measured in this run."_s : found->second) + u'\n' +
                  m.captured(3);
        from = m.capturedEnd();
    }
    return filled + doc.mid(from);
}

QString summary(const Run& timing, const Run& races) {
    return u"## Targets\n\n%1\n\n## Start timing against the run before\n\n%2\n\n## Race timing "
           u"against the run before\n\n%3\n"_s.arg(targetsTable(timing),
                                                   comparison(timing, u"start"_s, rows(Headlines)),
                                                   comparison(races, u"race"_s, rows(Race_Rows)));
}

} // namespace korvane::bench
