#pragma once

// The benchmark's parts: figures as data and the docs rendered from them (run_figures,
// report), the machine (machine), the program as a process of its own (program_process),
// sound (audio), the real window driven through starts, races and recoveries
// (bench_window, start_runs).

#include "app/frmUSB_Main.h"
#include "sim/stamping_sound_player.h"
#include "sim/virtual_module.h"
#include "tests/support/pulse_server.h"
#include "tests/support/test_rig.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace korvane::bench {

// ---------------------------------------------------------------- figures: run_figures.cpp

// Samples of one figure in ms (or a count, a share: a single value is one sample). Of
// deviations from an ideal the median keeps its sign; p99 (nearest rank) and max are of
// their size.
struct Summary {
    int count = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};
Summary summarize(std::vector<double> samples);

// Samples of several figures by the figure's key: what a part of a run collects.
using Samples = std::map<QString, std::vector<double>>;

// The figures of one part of a run: the starts or the races of one condition, the program
// as a process, recovery, one sound server.
struct Group {
    QString kind;        // "start", "race", "process", "recovery", "sound-server"
    QString key;         // e.g. "pty-idle", "pipewire"; unique within a run
    QString title = {};  // in headings, e.g. "Idle"
    QString link = {};   // in table cells, e.g. "pseudo-terminal"
    QString during = {}; // what the machine did meanwhile: the load average at the end
    std::map<QString, Summary> figures = {};

    void add(const Samples& samples);
    void set(const QString& name, double value) { figures[name] = {1, value, value, value}; }
    const Summary* figure(const QString& name) const; // null without samples
    double value(const QString& name) const;          // a single value; 0 when not measured
};

// One run of the benchmark as its JSON file keeps it, with the run it was compared with.
struct Run {
    QString revision;
    QString measured; // "yyyy-MM-dd HH:mm", local time
    QString command;  // what ran it
    bool quick = false;
    QMap<QString, QString> about = {}; // the machine, the counts of the run
    std::vector<Group> groups = {};
    std::shared_ptr<const Run> before = {};

    const Group* group(const QString& key) const;
    std::vector<const Group*> groupsOf(const QString& kind) const;
};

// Writes a file in one step, so that a failed write leaves the file before it whole.
bool writeFile(const QString& path, const QByteArray& bytes);
bool writeRun(const QString& path, const Run& run);
// What a new run is compared with: the run in the file, or, when that was a quick run, the
// one that run was compared with. Null without a file.
std::shared_ptr<const Run> baselineIn(const QString& path);

inline constexpr qint64 Ns_Per_Ms = 1'000'000;

// How many of each a run measures, by name ("starts", "races", ...).
using Counts = QMap<QString, int>;

// Says on stderr how the run goes.
void progress(const QString& text);

// A measurement that could not be made, and why: it ends the part of the run it belongs
// to. Never thrown through the event loop.
struct Failure {
    QString what;
};
inline void check(bool ok, const QString& what) {
    if (!ok)
        throw Failure{what};
}

// ---------------------------------------------------------------- the docs: report.cpp

// The doc with each of its blocks, from "<!-- bench: name -->" to the next
// "<!-- /bench -->", rendered from the run: docs/timing.md's (`race` false) or
// docs/race-timing.md's. The text around the blocks is kept as it is.
QString renderDoc(const QString& doc, const Run& run, bool race);
// What a run prints: the targets, and its figures beside those of the run before.
QString summary(const Run& timing, const Run& races);

// ---------------------------------------------------------------- the machine: machine.cpp

QString cpuModel();
QString loadAverage(); // the three figures of /proc/loadavg
// What the machine did while a part ran, said at its end: the load average then.
QString loadAtTheEnd();
// Kernel, Qt, its event dispatcher and platform plugin (after the application exists).
QString systemDescription();

// With `on`, a process that keeps one core busy with a plain loop for as long as this
// lives: the "other core busy" condition.
class BusyLoad {
public:
    explicit BusyLoad(bool on);
    ~BusyLoad();
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

private:
    pid_t pid_ = -1;
};

// What each thread of a process did over `seconds`, by thread name (threads of one name
// added up): its share of one core in % and how often a second it woke up.
struct ThreadRate {
    double cpuPercent = 0;
    double wakeups = 0;
};
std::map<QString, ThreadRate> threadRates(pid_t pid, int seconds);

// ---------------------------------------------------------------- the program: program_process.cpp

// The program as a process of its own (`program`: korvane-bench-program, with its program
// folder), measured from outside: its start-ups to the ready state and to "No Controller
// detected" on ports of several kinds, and its idle CPU, wake-ups and memory in the ready
// state with `server` running and with none.
Group processFigures(const QString& program, const QString& folder, test::PulseServer* server,
                     const Counts& counts);

// ---------------------------------------------------------------- sound: audio.cpp

// How long a synchronous play of the file lasts: the audible length of what is played.
double playedLengthMs(const QString& path);
// The sound player's figures on one private sound server: how soon a start tone is heard
// after its play call, how much of it is heard, when a synchronous play returns, and what
// libpulse's thread (where the player works) costs awake and at rest. `plays` of each tone;
// each cost over `costSeconds`. Nothing else in this process may play meanwhile.
Group soundServerFigures(test::SoundServerKind kind, const QString& soundsFolder, int plays,
                         int costSeconds);

// ---------------------------------------------------------------- the window: bench_window.cpp

// Every stamp of one start, CLOCK_MONOTONIC in ns: bytes as they reached the virtual
// module, sound calls as the program made them on the window's thread.
struct StartRecord {
    int beepMs = 0;
    int gateTiming = 0;
    bool readyMeasured = false; // the ready state came by its own timer, 10 s after beep 4
    qint64 raiseCallNs = 0;     // the click that raises the gate
    qint64 startCallNs = 0;     // the click that starts the cadence, as the hold-off ends
    qint64 dropWrittenNs = 0;   // the program's own stamp: its write of the drop had returned
    // The first command of each meaning ("red on", "gate down"; "green on again": beep 4).
    std::map<QString, qint64> byteNs = {};
    QList<sim::StampingSoundPlayer::Call> calls = {};      // every sound call
    QList<sim::StampingSoundPlayer::Call> tones = {};      // the four beeps' tones among them
    std::array<std::optional<qint64>, 4> toneOnsetNs = {}; // in the null sink's recording

    qint64 byte(const QString& meaning) const; // throws Failure when it did not come
    const sim::StampingSoundPlayer::Call& call(const QString& file) const;
};

// What the riders would hear during a condition's starts.
enum class SoundCase {
    Recorded,     // a private sound server, recorded from its null sink's monitor
    NoServer,     // no sound server at all
    ServerKilled, // a server, killed 2 s into each start's cadence
    FilesMissing, // a server, the five sound files gone: the built-in tone plays instead
};

// What starts or races are measured under: the link to the virtual module, whether a
// process of the benchmark's own keeps the other core busy, and the sound.
struct Condition {
    QString key;   // in the figures' files, e.g. "16ms-idle"
    QString title; // in headings
    QString link;  // in table cells, e.g. "16 ms adapter"
    sim::LinePacing pacing = {};
    bool busy = false;
    bool startPulse = false; // a start pulse for a timing system right after the drop
    SoundCase sound = SoundCase::Recorded;
};

// The real main window on a virtual module, with the real sound player wrapped in a
// stamping one: whole starts by its own handlers and timers, races, and the module
// unplugged and plugged in again. Message boxes are counted, not shown.
class BenchWindow {
public:
    // The start pulse's line: one the sample config.dat gives no output, as a track would.
    static constexpr int Start_Pulse_Line = 5;

    // `folder` holds config.dat and is the working folder with the five sounds. Runs
    // discovery and the ready state.
    explicit BenchWindow(const QString& folder);
    ~BenchWindow();

    // One start under the condition: the gate-up click, the start click the moment the hold-off
    // ends (then `atCadence`), then the program's own timers. Unless `waitForReady`, the ready
    // state is called as soon as beep 4's commands are in, instead of 10 s later by its own timer:
    // the start's steps are the same, the ready-state step is not measured.
    StartRecord runStart(const Condition& condition, int beepMs, int gateTiming, bool waitForReady,
                         const std::function<void()>& atCadence);
    // Races on the condition's link, each a start with its spoken steps a millisecond apart,
    // the gate dropping on beep 1 and the beam broken 1 to 5 s after the drop: the race
    // time against the true one, the samples' period and the event loop's longest gap.
    Group raceFigures(const Condition& condition, const Counts& counts);
    // The module unplugged and plugged in again with the start in each situation: from the
    // replug to the window showing its link connected.
    Group recoveryFigures(const Counts& counts);

    int messages() const { return int(messages_.messages.size()); }

private:
    enum class Situation { AtRest, GateUp, Held, Cadence, RaceWatch, MessageOpen };
    void apply(const Condition& condition); // its link and its start pulse
    bool reachState(StartState state);
    void runRace(int breakAfterMs, Samples& samples);
    double recoveryMs(Situation situation, int awayMs);
    double replugMs(int awayMs);
    qint64 stampOf(const QString& meaning) const;

    test::MessageRecorder messages_;
    sim::VirtualModule module_;
    sim::StampingSoundPlayer* sound_ = nullptr;
    std::unique_ptr<frmUSB_Main> window_;
    config::LineRoles roles_;
};

// ---------------------------------------------------------------- starts: start_runs.cpp

// The pseudo-terminal idle and with the other core busy; the line a real module is reached
// by, at 9600 baud behind a USB adapter with a 1 ms and with a 16 ms latency timer (idle:
// the link does not change what load does to the program). For starts then the
// pseudo-terminal with the start pulse on, which must not make the drop later, and the
// sound's troubles. Only those named in `only`, unless it is empty.
QList<Condition> benchConditions(bool forStarts, const QStringList& only);

// Each tone's onset in the recording of the starts' null sink; `folder` holds the sounds.
void findOnsets(const test::Recording& recording, const QString& folder,
                std::vector<StartRecord>& records);

// The starts of a condition, at each beep speed (ms) a group of them with the gate timing
// going round 0..3, and their figures, each a deviation from its ideal in ms: "starts" (on
// a link) or "sound-starts" (in a sound condition) at each speed, the ready state's own
// timer waited for in every "ready-every"-th. `server`: the private sound server that
// records the starts; null for none.
Group runStarts(BenchWindow& bench, test::PulseServer* server, const QString& folder,
                const Counts& counts, const QStringList& speeds, const Condition& condition);

} // namespace korvane::bench
