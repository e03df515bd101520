#include "bench/bench.h"

#include "sequence/start_sounds.h"
#include "sound/decoder_pulse.h"
#include "sound/tone.h"

#include <QDir>
#include <QProcess>

#include <chrono>
#include <cmath>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace korvane::bench {

namespace {

constexpr float Level = 0.02f;

// Where a sound is loud enough to count as heard: its first and last sample above the
// level, in ns (from the file's start, or on CLOCK_MONOTONIC in a recording).
struct Span {
    qint64 firstNs = 0;
    qint64 lastNs = 0;
    double lengthMs() const { return double(lastNs - firstNs) / Ns_Per_Ms; }
};

std::optional<Span> loudSpan(const test::Recording& recording, qint64 fromNs, qint64 toNs) {
    const auto first = recording.firstAbove(Level, fromNs, toNs);
    const auto last = recording.lastAbove(Level, fromNs, toNs);
    return first && last ? std::optional(Span{*first, *last}) : std::nullopt;
}

// What the player plays for the file: the file decoded as the player decodes it (its left
// channel), or the built-in tone when the file cannot be.
Span playedSpan(const QString& path) {
    static_assert(test::Recording::Rate == Player_Rate);
    std::vector<float> left = makeDefaultTone(Player_Rate);
    if (const std::optional<SoundBuffer> sound = decodeSoundFile(path)) {
        left.clear();
        for (std::size_t i = 0; i < sound->samples.size(); i += Player_Channels)
            left.push_back(sound->samples[i]);
    }
    const test::Recording played(std::move(left), 0);
    return loudSpan(played, 0, played.endNs()).value_or(Span{});
}

// When the sound first heard in [fromNs, toNs) of the recording went out from its first
// sample: when the server sent its first loud sample to the recorder, less the played
// sound's lead-in before that sample. Good to about one of the server's periods.
std::optional<qint64> onsetNs(const test::Recording& recording, const Span& played, qint64 fromNs,
                              qint64 toNs) {
    const auto heard = recording.firstAbove(Level, fromNs, toNs);
    const auto sentNs = heard ? recording.sentAt(*heard) : std::nullopt;
    return sentNs ? std::optional(*sentNs - played.firstNs) : std::nullopt;
}

void sleepMs(qint64 ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

QString packageVersions(const QStringList& packages) {
    QProcess query;
    query.start(u"dpkg-query"_s, QStringList{u"-W"_s, u"-f=${Package} ${Version}, "_s} + packages);
    query.waitForFinished();
    return QString::fromUtf8(query.readAllStandardOutput()).chopped(2);
}

// Plays the file `plays` times, each after the one before has ended (synchronously: each
// stopped right on its return), and finds each in the recording.
struct Play {
    qint64 callNs = 0;
    qint64 returnNs = 0;
    Span heard = {};
    std::optional<qint64> onsetNs = {};    // when the played sound's first sample went out
    std::optional<qint64> lastSentNs = {}; // when its last loud sample did
};
std::vector<Play> play(test::PulseServer& server, SoundPlayer& player, const QString& path,
                       int plays, bool sync) {
    const Span played = playedSpan(path);
    std::vector<Play> done;
    for (int i = 0; i < plays; ++i) {
        const qint64 callNs = monotonicNs();
        sync ? player.playSync(path) : player.playAsync(path);
        if (sync)
            player.stop();
        done.push_back({callNs, monotonicNs()});
        sleepMs(sync ? 300 : played.lastNs / Ns_Per_Ms + 400);
    }
    server.waitForRecording(monotonicNs() - 40 * Ns_Per_Ms);
    const test::Recording recording = server.recording();
    std::vector<Play> heard;
    for (std::size_t i = 0; i < done.size(); ++i) {
        const qint64 fromNs = done[i].callNs - 40 * Ns_Per_Ms;
        const qint64 toNs =
            (i + 1 < done.size() ? done[i + 1].callNs : recording.endNs()) - 40 * Ns_Per_Ms;
        if (const auto span = loudSpan(recording, fromNs, toNs))
            heard.push_back({done[i].callNs, done[i].returnNs, *span,
                             onsetNs(recording, played, fromNs, toNs),
                             recording.sentAt(span->lastNs)});
    }
    return heard;
}

} // namespace

void findOnsets(const test::Recording& recording, const QString& folder,
                std::vector<StartRecord>& records) {
    for (StartRecord& r : records) {
        for (int k = 0; k < 4; ++k)
            // Beeps are at least 100 ms apart: this window holds this tone and no other.
            r.toneOnsetNs[k] =
                onsetNs(recording, playedSpan(QDir(folder).filePath(r.tones[k].file)),
                        r.tones[k].calledNs - 30 * Ns_Per_Ms, r.tones[k].calledNs + 70 * Ns_Per_Ms);
    }
}

double playedLengthMs(const QString& path) {
    if (const std::optional<SoundBuffer> sound = decodeSoundFile(path))
        return double(sound->audibleLength().count()) / 1000.0;
    return double(makeDefaultTone(Player_Rate).size()) * 1000.0 / Player_Rate;
}

Group soundServerFigures(test::SoundServerKind kind, const QString& soundsFolder, int plays,
                         int costSeconds) {
    test::PulseServer server(kind);
    QString error = server.unavailableReason();
    check(error.isEmpty() && server.start(&error), error);
    const bool pipeWire = kind == test::SoundServerKind::PipeWire;
    Group g{u"sound-server"_s, pipeWire ? u"pipewire"_s : u"pulseaudio"_s,
            server.name() + u" ("_s +
                packageVersions(pipeWire ? QStringList{u"pipewire-pulse"_s, u"wireplumber"_s}
                                         : QStringList{u"pulseaudio"_s}) +
                u')',
            server.name()};
    const auto player = createSystemSoundPlayer();
    sleepMs(1500);  // the player connects at once or retries within a second
    player->wake(); // as a start does before its first sound, and reads its files ahead
    const QDir sounds(soundsFolder);
    for (const QString& file : {start_sounds::Beep_Tone, start_sounds::Long_Tone}) {
        player->prepare(sounds.filePath(file));
        player->fileState(sounds.filePath(file), std::chrono::seconds(2));
    }
    sleepMs(300);
    // Lengths are kept as what was not heard of the file: the figures' max is then the
    // play cut the most.
    Samples s;
    for (const auto& [file, key] :
         {std::pair{start_sounds::Beep_Tone, "short-cut"}, {start_sounds::Long_Tone, "long-cut"}}) {
        const double fileMs = playedSpan(sounds.filePath(file)).lengthMs();
        g.set(QLatin1String(key) + u"-file"_s, fileMs);
        for (const Play& p : play(server, *player, sounds.filePath(file), plays, false)) {
            s[QLatin1String(key)].push_back(fileMs - p.heard.lengthMs());
            if (p.onsetNs)
                s["onset"].push_back(double(*p.onsetNs - p.callNs) / Ns_Per_Ms);
        }
    }
    // A synchronous play holds a start's timeline until its sound has been heard, and the
    // next sound may cut in at once: how long after the sound's last sample was sent the
    // call returns, and how much of the sound is lost when it is stopped right then.
    const QString tone = sounds.filePath(start_sounds::Beep_Tone);
    for (const Play& p : play(server, *player, tone, plays, true)) {
        if (p.lastSentNs)
            s["sync-return"].push_back(double(p.returnNs - *p.lastSentNs) / Ns_Per_Ms);
        s["stopped-cut"].push_back(g.value(u"short-cut-file"_s) - p.heard.lengthMs());
    }
    g.add(s);
    // libpulse's thread is where the player works.
    const auto playerCost = [&](const QString& state) {
        const ThreadRate rate = threadRates(getpid(), costSeconds)[u"threaded-ml"_s];
        g.set(u"cpu-"_s + state, rate.cpuPercent);
        g.set(u"wakeups-"_s + state, rate.wakeups);
    };
    playerCost(u"awake"_s);
    for (int waited = 0; server.playbackCorked() != std::optional(true) && waited < 30; ++waited)
        sleepMs(1000);
    check(server.playbackCorked() == std::optional(true),
          u"the player's stream was never corked"_s);
    playerCost(u"rest"_s);
    return g;
}

} // namespace korvane::bench
