// The sound player's figures on one sound server (KORVANE_SOUND_SERVER: pulseaudio or
// pipewire): how soon a start tone is heard after its play call, how much of it is heard,
// and what the player costs while it waits for a start. scripts/sound-servers runs it once
// per server, with how soon after a sound's end a synchronous play returns. The onset is when the
// server sent the tone's first sample to the recorder (Recording::sentAt), good to about one of the
// server's periods; lengths are measured within one recording and are exact to a sample.
#include "sequence/clocks.h"
#include "sound/decoder_pulse.h"
#include "sound/player.h"
#include "tests/support/pulse_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

using namespace korvane;

namespace {

constexpr qint64 Ms = 1'000'000;
constexpr float Level = 0.02f;
constexpr int Plays_Per_File = 10;
constexpr int Idle_Seconds = 10;
const char* const Tone_Files[] = {"BMX_start_tone.wav", "BMX_start_tone_long.wav"};

void sleepMs(qint64 ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Where a file's sound first and last exceeds the detection level, from its start.
struct Span {
    qint64 firstNs = 0;
    qint64 lastNs = 0;
};

std::optional<Span> spanOf(const test::Recording& sound, qint64 fromNs, qint64 toNs) {
    const auto first = sound.firstAbove(Level, fromNs, toNs);
    const auto last = sound.lastAbove(Level, fromNs, toNs);
    if (!first || !last) {
        return std::nullopt;
    }
    return Span{*first, *last};
}

std::optional<Span> fileSpan(const QString& path) {
    const std::optional<SoundBuffer> sound = decodeSoundFile(path);
    if (!sound) {
        return std::nullopt;
    }
    std::vector<float> left(sound->audibleFrames);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = sound->samples[i * Player_Channels];
    }
    const test::Recording asRecording(std::move(left), 0);
    return spanOf(asRecording, 0, asRecording.endNs());
}

// CPU time (ns) and context switches of this process's threads named `name`: libpulse's
// thread, on which the player does all its work.
struct ThreadCost {
    qint64 cpuNs = 0;
    qint64 switches = 0;
};

ThreadCost threadCost(const QByteArray& name) {
    ThreadCost cost;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name ||
            !schedstat.open(QIODevice::ReadOnly) || !status.open(QIODevice::ReadOnly)) {
            continue;
        }
        cost.cpuNs += schedstat.readAll().split(' ').value(0).toLongLong();
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.contains("ctxt_switches:")) {
                cost.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
        }
    }
    return cost;
}

void printCost(const char* state, int seconds) {
    const ThreadCost before = threadCost("threaded-ml");
    const qint64 startNs = monotonicNs();
    sleepMs(seconds * 1000);
    const ThreadCost after = threadCost("threaded-ml");
    const double wall = double(monotonicNs() - startNs) / 1e9;
    std::printf("  player %s, over %d s: %.3f %% of one core, %.1f wake-ups/s\n", state, seconds,
                100.0 * double(after.cpuNs - before.cpuNs) / 1e9 / wall,
                double(after.switches - before.switches) / wall);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? NAN : values[values.size() / 2];
}

double largest(const std::vector<double>& values) {
    return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
}

double smallest(const std::vector<double>& values) {
    return values.empty() ? NAN : *std::min_element(values.begin(), values.end());
}

// A synchronous play holds a start's timeline until its sound has been heard, and the
// next sound may cut in at once: how long after the sound's last sample was sent the call
// returns, and how much of the sound is heard when it is stopped right on the return.
void printSyncReturns(const test::PulseServer& server, SoundPlayer& player, const QString& path,
                      const Span& expected) {
    std::vector<std::pair<qint64, qint64>> plays; // call, return
    for (int i = 0; i < Plays_Per_File; ++i) {
        const qint64 callNs = monotonicNs();
        player.playSync(path);
        player.stop();
        plays.emplace_back(callNs, monotonicNs());
        sleepMs(300);
    }
    server.waitForRecording(plays.back().second + 300 * Ms);
    const test::Recording recording = server.recording();
    std::vector<double> afterEndMs;
    std::vector<double> lengthsMs;
    for (const auto& [callNs, returnNs] : plays) {
        const auto heard = spanOf(recording, callNs - 40 * Ms, returnNs + 250 * Ms);
        if (const auto sentNs = heard ? recording.sentAt(heard->lastNs) : std::nullopt) {
            afterEndMs.push_back(double(returnNs - *sentNs) / Ms);
            lengthsMs.push_back(double(heard->lastNs - heard->firstNs) / Ms);
        }
    }
    std::printf("  synchronous play returns after the sound's end: median %.1f ms, max %.1f ms; "
                "stopped on its return, heard %.1f of %.1f ms (shortest; %zu plays)\n",
                median(afterEndMs), largest(afterEndMs), smallest(lengthsMs),
                double(expected.lastNs - expected.firstNs) / Ms, lengthsMs.size());
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure shows as it is measured
    const QDir sounds(app.arguments().value(1, QStringLiteral(KORVANE_SOURCE_DIR "/sounds")));
    test::PulseServer server;
    QString error;
    if (!server.unavailableReason().isEmpty() || !server.start(&error)) {
        std::printf("%s: not measured: %s\n", qPrintable(server.name()),
                    qPrintable(server.unavailableReason() + error));
        return 1;
    }
    std::printf("%s\n", qPrintable(server.name()));
    auto player = createSystemSoundPlayer();
    sleepMs(1500);  // the player connects at once or retries within a second
    player->wake(); // as a start does before its first sound
    sleepMs(300);

    std::vector<double> onsetsMs;
    for (const char* file : Tone_Files) {
        const QString path = sounds.filePath(QLatin1String(file));
        const std::optional<Span> expected = fileSpan(path);
        if (!expected) {
            std::printf("  %s: cannot be read\n", file);
            return 1;
        }
        std::vector<std::pair<qint64, qint64>> plays; // call, next call
        for (int i = 0; i < Plays_Per_File; ++i) {
            const qint64 callNs = monotonicNs();
            player->playAsync(path);
            sleepMs((expected->lastNs + 400 * Ms) / Ms);
            plays.emplace_back(callNs, monotonicNs());
        }
        server.waitForRecording(plays.back().second);
        const test::Recording recording = server.recording();
        std::vector<double> lengthsMs;
        for (const auto& [callNs, nextNs] : plays) {
            const auto heard = spanOf(recording, callNs - 40 * Ms, nextNs - 40 * Ms);
            const auto sentNs = heard ? recording.sentAt(heard->firstNs) : std::nullopt;
            if (sentNs) {
                onsetsMs.push_back(double(*sentNs - expected->firstNs - callNs) / Ms);
                lengthsMs.push_back(double(heard->lastNs - heard->firstNs) / Ms);
            }
        }
        const double fileMs = double(expected->lastNs - expected->firstNs) / Ms;
        std::printf("  %s, %zu of %d plays heard: length %.1f ms in the file, heard %.1f ms "
                    "(median; shortest %.1f)\n",
                    file, lengthsMs.size(), Plays_Per_File, fileMs, median(lengthsMs),
                    lengthsMs.empty() ? NAN
                                      : *std::min_element(lengthsMs.begin(), lengthsMs.end()));
    }
    std::printf("  tone onset after the play call: median %.1f ms, max %.1f ms (%zu plays)\n",
                median(onsetsMs), largest(onsetsMs), onsetsMs.size());
    const QString shortTone = sounds.filePath(QLatin1String(Tone_Files[0]));
    printSyncReturns(server, *player, shortTone, *fileSpan(shortTone));

    printCost("awake between sounds (stream running)", Idle_Seconds);
    for (int waited = 0; server.playbackCorked() != std::optional(true) && waited < 30; ++waited) {
        sleepMs(1000);
    }
    if (server.playbackCorked() != std::optional(true)) {
        std::printf("  player at rest: the stream was never corked\n");
        return 1;
    }
    printCost("at rest (stream corked)", Idle_Seconds);
    return 0;
}
