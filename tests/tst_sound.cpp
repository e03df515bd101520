// The sound service: decoding every WAV encoding into the player's format, and the
// PulseAudio player playing into a private server's null sink whose output is recorded;
// the server is PulseAudio or PipeWire, as KORVANE_SOUND_SERVER says.
#include "sound/decoder_pulse.h"
#include "sound/mailbox.h"
#include "sound/player.h"
#include "sound/tone.h"
#include "sound/wav.h"
#include "tests/support/pulse_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <thread>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

constexpr qint64 Ms = 1'000'000;
constexpr int Default_Tone_Ms = 200;
constexpr double Default_Tone_Hz = 880.0;
constexpr float Audible = 0.01f;

struct ToneFile {
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    int rate = 48000;
    int channels = 1;
    double seconds = 0.5;
    double frequency = 632.0;
    double amplitude = 0.5;
};

bool writeTone(const QString& path, const ToneFile& tone) {
    SF_INFO info{};
    info.samplerate = tone.rate;
    info.channels = tone.channels;
    info.format = tone.format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    const auto frames = static_cast<sf_count_t>(tone.seconds * tone.rate);
    std::vector<float> samples(static_cast<std::size_t>(frames * tone.channels));
    for (sf_count_t i = 0; i < frames; ++i) {
        const double phase = 2.0 * std::numbers::pi * tone.frequency * double(i) / tone.rate;
        for (int c = 0; c < tone.channels; ++c) {
            samples[std::size_t(i * tone.channels + c)] = float(tone.amplitude * std::sin(phase));
        }
    }
    const bool written = sf_writef_float(file, samples.data(), frames) == frames;
    sf_close(file);
    return written;
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// The highest level of one channel, leaving out `marginFrames` at each end.
double peak(const SoundBuffer& sound, int channel, std::size_t marginFrames = 0) {
    double highest = 0.0;
    for (std::size_t i = marginFrames; i + marginFrames < sound.audibleFrames; ++i) {
        highest = std::max(highest, double(std::abs(sound.samples[i * Player_Channels + channel])));
    }
    return highest;
}

// Pitch from the zero crossings of one channel, over its first `lengthMs`.
double frequency(const SoundBuffer& sound, int channel, int lengthMs) {
    std::vector<float> mono(sound.audibleFrames);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        mono[i] = sound.samples[i * Player_Channels + channel];
    }
    const Recording asRecording(std::move(mono), 0);
    return asRecording.toneFrequency(0, lengthMs * Ms);
}

qint64 msSince(qint64 startNs) {
    return (monotonicNs() - startNs) / Ms;
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A plain tone of `lengthMs` is heard from its play call on (within 100 ms), to its full
// length: nothing of its beginning or end is lost.
void verifyWholeTone(const Recording& recording, qint64 playNs, int lengthMs) {
    const auto onset = recording.firstAbove(Audible, playNs - 60 * Ms, playNs + 400 * Ms);
    QVERIFY(onset.has_value());
    // Where the recording places samples is only good to a few tens of milliseconds.
    QVERIFY2(*onset < playNs + 100 * Ms, qPrintable(QString::number((*onset - playNs) / Ms)));
    const auto end = recording.lastAbove(Audible, *onset, *onset + (lengthMs + 200) * Ms);
    QVERIFY(end.has_value());
    QVERIFY2(std::abs(*end - *onset - lengthMs * Ms) < 10 * Ms,
             qPrintable(QString::number((*end - *onset) / Ms)));
}

// How often this process's threads named `name` have been woken (context switches of
// either kind); empty when there is no such thread.
std::optional<qint64> wakeUps(const QByteArray& name) {
    const QDir tasks(QStringLiteral("/proc/self/task"));
    std::optional<qint64> total;
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name ||
            !status.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches") ||
                line.startsWith("nonvoluntary_ctxt_switches")) {
                total = total.value_or(0) + line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
        }
    }
    return total;
}

// Sends this process's stdout and stderr to a file while it lives, so a test can check
// that the player prints nothing.
class OutputCapture {
public:
    OutputCapture() {
        std::fflush(stdout);
        std::fflush(stderr);
        file_ = std::tmpfile();
        savedOut_ = dup(STDOUT_FILENO);
        savedErr_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDOUT_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~OutputCapture() {
        finish();
        std::fclose(file_);
    }
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    QByteArray finish() {
        if (savedOut_ >= 0) {
            std::fflush(stdout);
            std::fflush(stderr);
            dup2(savedOut_, STDOUT_FILENO);
            dup2(savedErr_, STDERR_FILENO);
            close(savedOut_);
            close(savedErr_);
            savedOut_ = savedErr_ = -1;
        }
        QFile captured;
        captured.open(file_, QIODevice::ReadOnly);
        captured.seek(0);
        return captured.readAll();
    }

private:
    std::FILE* file_ = nullptr;
    int savedOut_ = -1;
    int savedErr_ = -1;
};

} // namespace

// Skips the calling test when its sound server cannot run here. A macro, because QSKIP
// ends only the function it is written in.
#define REQUIRE_SERVER()                                                                           \
    do {                                                                                           \
        if (const QString why = startServer(); !why.isEmpty())                                     \
            QSKIP(qPrintable(why));                                                                \
    } while (false)

class SoundTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void everyWavEncodingDecodesToItsLengthLevelAndPitch_data();
    void everyWavEncodingDecodesToItsLengthLevelAndPitch();
    void downsamplingRemovesWhatTheNewRateCannotHold();
    void unreadableFilesAreRefused_data();
    void unreadableFilesAreRefused();
    void changedFileIsDecodedAgain();
    void defaultToneMakesAPlayableWavFile();
    void startSoundsHaveTheirLengthsAndNoLeadingSilence_data();
    void startSoundsHaveTheirLengthsAndNoLeadingSilence();

    void withoutServerPlaysReturnAtOnceAndSyncKeepsTheSoundsLength();
    void playerFindsAServerThatStartsLater();
    void toneStartsWhenPlayed();
    void newSoundCutsTheOldOne();
    void syncPlayReturnsWhenTheSoundHasPlayed();
    void unplayableFilesPlayTheDefaultTone_data();
    void unplayableFilesPlayTheDefaultTone();
    void floatWavIsAudible();
    void streamIsCorkedAtRestUntilAStartWakesIt();
    void toneRequestedWhileCorkedIsHeardInFull();
    void playerReconnectsAfterServerRestart();
    void syncPlayWaitsForTheSinksLatency();
    void mailboxHandsOutEachValueOnce();
    void fileStatesSayWhatPlays();
    void playNeverWaitsForADecoding();
    void outputStateFollowsTheServer();
    void serverWithoutASinkHasNoDevice();

private:
    QString path(const QString& name) const { return dir_.filePath(name); }
    QString startServer();
    SoundPlayer& player();
    SoundPlayer& newPlayer(std::chrono::milliseconds restAfter = std::chrono::seconds(15));
    void prepareFixtures(SoundPlayer& player);
    // Waits until `lengthMs` after `fromNs` and returns the recording up to there.
    Recording recordAfter(qint64 fromNs, int lengthMs);

    QTemporaryDir dir_;
    std::unique_ptr<PulseServer> server_;
    QString serverFailure_;
    std::unique_ptr<SoundPlayer> player_;
};

void SoundTest::initTestCase() {
    QVERIFY(dir_.isValid());
    QVERIFY(writeTone(path("tone500.wav"), {}));
    QVERIFY(writeTone(path("long2000.wav"), {.seconds = 2.0}));
    QVERIFY(writeTone(path("float440.wav"), {.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                                             .rate = 44100,
                                             .channels = 2,
                                             .frequency = 440.0}));
    QVERIFY(writeTone(path("silence300.wav"), {.seconds = 0.3, .amplitude = 0.0}));
    QVERIFY(writeTone(path("aiff.wav"), {.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16}));
    QVERIFY(writeTone(path("toolong.wav"),
                      {.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8, .rate = 8000, .seconds = 61.0}));
    writeBytes(path("empty.wav"), {});
    writeBytes(path("text.wav"), "a text file, not a sound\n");
    QFile whole(path("tone500.wav"));
    QVERIFY(whole.open(QIODevice::ReadOnly));
    writeBytes(path("truncated.wav"), whole.read(30));
    QVERIFY(whole.seek(0));
    writeBytes(path("headeronly.wav"), whole.read(44));
    // From here on this process's clients look for the private server, not yet running.
    server_ = std::make_unique<PulseServer>();
}

void SoundTest::cleanupTestCase() {
    player_.reset();
    server_.reset();
}

// Why the server cannot run here; empty once it runs. A server that failed to start once
// is not waited for again.
QString SoundTest::startServer() {
    if (serverFailure_.isEmpty()) {
        serverFailure_ = server_->unavailableReason();
    }
    QString error;
    if (serverFailure_.isEmpty() && !server_->start(&error)) {
        serverFailure_ = server_->name() + QStringLiteral(" did not start: ") + error;
    }
    return serverFailure_;
}

SoundPlayer& SoundTest::player() {
    return player_ ? *player_ : newPlayer();
}

// The program reads every file before a start, as a play never waits for one.
void SoundTest::prepareFixtures(SoundPlayer& player) {
    const QStringList files = QDir(dir_.path()).entryList({QStringLiteral("*.wav")});
    for (const QString& file : files)
        player.prepare(path(file));
    for (const QString& file : files)
        player.fileState(path(file), std::chrono::seconds(5));
}

SoundPlayer& SoundTest::newPlayer(std::chrono::milliseconds restAfter) {
    player_.reset();
    player_ = createSystemSoundPlayer(restAfter);
    prepareFixtures(*player_);
    sleepMs(300); // connecting takes a few milliseconds; a start comes much later
    return *player_;
}

Recording SoundTest::recordAfter(qint64 fromNs, int lengthMs) {
    const qint64 untilNs = fromNs + lengthMs * Ms;
    sleepMs(int((untilNs - monotonicNs()) / Ms));
    if (!server_->waitForRecording(untilNs)) {
        qWarning("the recording stopped short");
    }
    return server_->recording();
}

void SoundTest::everyWavEncodingDecodesToItsLengthLevelAndPitch_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    const auto row = [](const char* name, int subtype, int rate, int channels) {
        QTest::newRow(name) << (SF_FORMAT_WAV | subtype) << rate << channels;
    };
    row("8-bit 8 kHz mono", SF_FORMAT_PCM_U8, 8000, 1);
    row("16-bit 44.1 kHz mono", SF_FORMAT_PCM_16, 44100, 1);
    row("16-bit 48 kHz stereo", SF_FORMAT_PCM_16, 48000, 2);
    row("24-bit 96 kHz stereo", SF_FORMAT_PCM_24, 96000, 2);
    row("32-bit 22.05 kHz mono", SF_FORMAT_PCM_32, 22050, 1);
    row("float 44.1 kHz stereo", SF_FORMAT_FLOAT, 44100, 2);
    row("double 48 kHz mono", SF_FORMAT_DOUBLE, 48000, 1);
    row("IMA ADPCM 22.05 kHz mono", SF_FORMAT_IMA_ADPCM, 22050, 1);
    row("MS ADPCM 11.025 kHz stereo", SF_FORMAT_MS_ADPCM, 11025, 2);
    QTest::newRow("WAVEX 16-bit 32 kHz") << (SF_FORMAT_WAVEX | SF_FORMAT_PCM_16) << 32000 << 1;
}

void SoundTest::everyWavEncodingDecodesToItsLengthLevelAndPitch() {
    QFETCH(int, format);
    QFETCH(int, rate);
    QFETCH(int, channels);
    const QString file = path("encoding.wav");
    QVERIFY(writeTone(file, {.format = format,
                             .rate = rate,
                             .channels = channels,
                             .seconds = 0.4,
                             .frequency = 440.0}));

    const auto sound = decodeSoundFile(file);
    QVERIFY(sound.has_value());
    // ADPCM rounds the length up to whole blocks.
    QVERIFY(std::abs(double(sound->audibleFrames) - 0.4 * Player_Rate) < 0.05 * Player_Rate);
    QCOMPARE(sound->frames(), sound->audibleFrames);
    const auto headerLength = wavFileLength(file);
    QVERIFY(headerLength.has_value());
    QVERIFY2(std::abs(headerLength->count() - 400) <= 20,
             qPrintable(QString::number(headerLength->count())));
    for (int channel = 0; channel < Player_Channels; ++channel) {
        QVERIFY2(std::abs(peak(*sound, channel) - 0.5) < 0.06,
                 qPrintable(QString::number(peak(*sound, channel))));
        const double pitch = frequency(*sound, channel, 350);
        QVERIFY2(std::abs(pitch - 440.0) < 5.0, qPrintable(QString::number(pitch)));
    }
}

void SoundTest::downsamplingRemovesWhatTheNewRateCannotHold() {
    // 30 kHz is above the 24 kHz limit of the player's rate: without a low-pass filter it
    // would fold back as an audible 18 kHz tone.
    const QString file = path("ultrasonic.wav");
    QVERIFY(writeTone(file, {.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                             .rate = 96000,
                             .seconds = 0.2,
                             .frequency = 30000.0}));
    const auto sound = decodeSoundFile(file);
    QVERIFY(sound.has_value());
    // The tone starts and stops abruptly; leave out the clicks at both ends.
    const std::size_t margin = Player_Rate / 100;
    QVERIFY2(peak(*sound, 0, margin) < 0.01, qPrintable(QString::number(peak(*sound, 0, margin))));
}

// Files no player can play, as the fixtures hold them; the last two are refused when read
// but not tried in a player.
const std::pair<const char*, const char*> Unplayable_Files[] = {
    {"missing", "missing.wav"},
    {"empty", "empty.wav"},
    {"text", "text.wav"},
    {"header cut short", "truncated.wav"},
    {"header without audio", "headeronly.wav"},
    {"longer than a minute", "toolong.wav"},
    {"not a WAV container", "aiff.wav"},
    {"a folder", "."},
};

void addUnplayableRows(std::size_t count) {
    QTest::addColumn<QString>("file");
    for (std::size_t i = 0; i < count; ++i)
        QTest::newRow(Unplayable_Files[i].first) << QString::fromLatin1(Unplayable_Files[i].second);
}

void SoundTest::unreadableFilesAreRefused_data() {
    addUnplayableRows(std::size(Unplayable_Files));
}

void SoundTest::unreadableFilesAreRefused() {
    QFETCH(QString, file);
    QVERIFY(!decodeSoundFile(path(file)).has_value());
    QVERIFY(!wavFileLength(path(file)).has_value());
}

void SoundTest::changedFileIsDecodedAgain() {
    const QString file = path("changing.wav");
    SoundFileCache cache(std::chrono::milliseconds(30));
    QVERIFY(writeTone(file, {.seconds = 0.1}));
    const auto first = cache.find(file);
    QVERIFY(first);
    QCOMPARE(first->audibleFrames, std::size_t(0.1 * Player_Rate));
    QCOMPARE(first->frames(), first->audibleFrames + std::size_t(0.03 * Player_Rate));
    QCOMPARE(cache.find(file), first);

    QVERIFY(writeTone(file, {.seconds = 0.25}));
    const auto second = cache.find(file);
    QVERIFY(second);
    QCOMPARE(second->audibleFrames, std::size_t(0.25 * Player_Rate));

    QFile::remove(file);
    QVERIFY(!cache.find(file));

    // A prepared file is played as it was prepared; the next start's prepare sees a change.
    QVERIFY(writeTone(file, {.seconds = 0.1}));
    cache.prepare(file);
    const auto prepared = cache.find(file);
    QVERIFY(prepared);
    QVERIFY(writeTone(file, {.seconds = 0.2}));
    QCOMPARE(cache.find(file), prepared);
    cache.prepare(file);
    QCOMPARE(cache.find(file)->audibleFrames, std::size_t(0.2 * Player_Rate));
}

void SoundTest::defaultToneMakesAPlayableWavFile() {
    const QString file = path("default.wav");
    writeBytes(file, makeWavFile(makeDefaultTone(44100), 44100));
    QCOMPARE(wavFileLength(file), std::optional(std::chrono::milliseconds(Default_Tone_Ms)));
    const auto sound = decodeSoundFile(file);
    QVERIFY(sound.has_value());
    QCOMPARE(sound->audibleLength(), std::chrono::microseconds(Default_Tone_Ms * 1000));
    QVERIFY(std::abs(peak(*sound, 0) - 0.5) < 0.01);
    QVERIFY(std::abs(frequency(*sound, 1, Default_Tone_Ms) - Default_Tone_Hz) < 5.0);
}

void SoundTest::startSoundsHaveTheirLengthsAndNoLeadingSilence_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("shortestMs");
    QTest::addColumn<int>("longestMs");
    QTest::newRow("ok_riders") << "ok_riders.wav" << 1500 << 3599;
    QTest::newRow("Riders_ready") << "Riders_ready.wav" << 400 << 999;
    QTest::newRow("Watch_the_gate") << "Watch_the_gate.wav" << 1000 << 1500;
    QTest::newRow("BMX_start_tone") << "BMX_start_tone.wav" << 55 << 65;
    QTest::newRow("BMX_start_tone_long") << "BMX_start_tone_long.wav" << 1950 << 2050;
}

void SoundTest::startSoundsHaveTheirLengthsAndNoLeadingSilence() {
    QFETCH(QString, file);
    QFETCH(int, shortestMs);
    QFETCH(int, longestMs);
    const QString source =
        qEnvironmentVariable("KORVANE_SOURCE_DIR", QFileInfo(__FILE__).dir().filePath(".."));
    const auto sound = decodeSoundFile(QDir(source).filePath("sounds/" + file));
    QVERIFY(sound.has_value());
    const auto lengthMs = sound->audibleLength().count() / 1000;
    QVERIFY2(lengthMs >= shortestMs && lengthMs <= longestMs,
             qPrintable(QString::number(lengthMs)));
    std::vector<float> left(sound->audibleFrames);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = sound->samples[i * Player_Channels];
    }
    const Recording asRecording(std::move(left), 0);
    const auto onset = asRecording.firstAbove(0.03f, 0, asRecording.endNs());
    QVERIFY(onset.has_value());
    QVERIFY2(*onset < 20 * Ms, qPrintable(QString::number(*onset / Ms)));
}

void SoundTest::withoutServerPlaysReturnAtOnceAndSyncKeepsTheSoundsLength() {
    QVERIFY(!server_->isRunning());
    OutputCapture capture;
    auto player = createSystemSoundPlayer();
    prepareFixtures(*player);
    qint64 startNs = monotonicNs();
    player->playAsync(path("tone500.wav"));
    const qint64 asyncMs = msSince(startNs);
    startNs = monotonicNs();
    player->playSync(path("tone500.wav"));
    const qint64 syncMs = msSince(startNs);
    startNs = monotonicNs();
    player->playSync(path("text.wav"));
    const qint64 defaultMs = msSince(startNs);
    player.reset();
    const QByteArray printed = capture.finish();

    QVERIFY2(asyncMs < 50, qPrintable(QString::number(asyncMs)));
    QVERIFY2(syncMs >= 495 && syncMs <= 650, qPrintable(QString::number(syncMs)));
    QVERIFY2(defaultMs >= Default_Tone_Ms - 5 && defaultMs <= Default_Tone_Ms + 150,
             qPrintable(QString::number(defaultMs)));
    QCOMPARE(printed, QByteArray());
}

void SoundTest::playerFindsAServerThatStartsLater() {
    server_->stop();
    player_.reset();
    player();         // made while no server runs
    REQUIRE_SERVER(); // longer than the player's retry interval

    const qint64 playNs = monotonicNs();
    player().playAsync(path("tone500.wav"));
    const Recording recording = recordAfter(playNs, 700);
    QVERIFY(recording.firstAbove(Audible, playNs - 50 * Ms, playNs + 200 * Ms).has_value());
}

void SoundTest::toneStartsWhenPlayed() {
    REQUIRE_SERVER();
    const QString tone = path("tone500.wav");
    player().playAsync(path("silence300.wav")); // decoded, ready
    sleepMs(400);

    const qint64 playNs = monotonicNs();
    player().playAsync(tone);
    const qint64 callMs = msSince(playNs);
    const Recording recording = recordAfter(playNs, 800);

    QVERIFY2(callMs < 20, qPrintable(QString::number(callMs)));
    QCOMPARE(recording.rms(playNs - 300 * Ms, playNs - 60 * Ms), 0.0);
    verifyWholeTone(recording, playNs, 500);
}

void SoundTest::newSoundCutsTheOldOne() {
    REQUIRE_SERVER();
    player().playAsync(path("long2000.wav"));
    sleepMs(400);
    const qint64 cutNs = monotonicNs();
    player().playAsync(path("silence300.wav"));
    const Recording recording = recordAfter(cutNs, 800);

    QVERIFY(recording.rms(cutNs - 250 * Ms, cutNs - 60 * Ms) > 0.2);
    const auto lastHeard = recording.lastAbove(Audible, cutNs - 100 * Ms, cutNs + 800 * Ms);
    QVERIFY(lastHeard.has_value());
    QVERIFY2(*lastHeard < cutNs + 100 * Ms, qPrintable(QString::number((*lastHeard - cutNs) / Ms)));
}

void SoundTest::syncPlayReturnsWhenTheSoundHasPlayed() {
    REQUIRE_SERVER();
    player().playAsync(path("silence300.wav"));
    sleepMs(400);
    const qint64 playNs = monotonicNs();
    player().playSync(path("tone500.wav"));
    const qint64 returnNs = monotonicNs();
    // Whatever follows at once must not cut the end off.
    player().playAsync(path("silence300.wav"));
    const Recording recording = recordAfter(returnNs, 400);

    QVERIFY2(returnNs - playNs >= 495 * Ms && returnNs - playNs <= 650 * Ms,
             qPrintable(QString::number((returnNs - playNs) / Ms)));
    const auto onset = recording.firstAbove(Audible, playNs - 60 * Ms, returnNs);
    QVERIFY(onset.has_value());
    const auto end = recording.lastAbove(Audible, *onset, returnNs + 300 * Ms);
    QVERIFY(end.has_value());
    QVERIFY2(*end - *onset > 490 * Ms, qPrintable(QString::number((*end - *onset) / Ms)));
}

void SoundTest::unplayableFilesPlayTheDefaultTone_data() {
    addUnplayableRows(std::size(Unplayable_Files) - 2);
}

void SoundTest::unplayableFilesPlayTheDefaultTone() {
    QFETCH(QString, file);
    REQUIRE_SERVER();
    OutputCapture capture;
    const qint64 playNs = monotonicNs();
    player().playSync(path(file));
    const qint64 returnNs = monotonicNs();
    const QByteArray printed = capture.finish();
    const Recording recording = recordAfter(returnNs, 100);

    QCOMPARE(printed, QByteArray());
    QVERIFY2(returnNs - playNs >= (Default_Tone_Ms - 5) * Ms &&
                 returnNs - playNs <= (Default_Tone_Ms + 150) * Ms,
             qPrintable(QString::number((returnNs - playNs) / Ms)));
    const double pitch = recording.toneFrequency(playNs - 60 * Ms, returnNs + 60 * Ms);
    QVERIFY2(std::abs(pitch - Default_Tone_Hz) < 0.03 * Default_Tone_Hz,
             qPrintable(QString::number(pitch)));
}

void SoundTest::floatWavIsAudible() {
    REQUIRE_SERVER();
    const qint64 playNs = monotonicNs();
    player().playAsync(path("float440.wav"));
    const Recording recording = recordAfter(playNs, 700);

    QVERIFY(recording.rms(playNs - 60 * Ms, playNs + 600 * Ms) > 0.1);
    const double pitch = recording.toneFrequency(playNs - 60 * Ms, playNs + 600 * Ms);
    QVERIFY2(std::abs(pitch - 440.0) < 0.03 * 440.0, qPrintable(QString::number(pitch)));
}

// A running stream is topped up hundreds of times a second even in silence; between
// starts it must cost nothing, yet be running well before a start's first sound.
void SoundTest::streamIsCorkedAtRestUntilAStartWakesIt() {
    REQUIRE_SERVER();
    constexpr int Rest_After_Ms = 3000;
    SoundPlayer& resting = newPlayer(std::chrono::milliseconds(Rest_After_Ms));
    QTRY_COMPARE_WITH_TIMEOUT(server_->playbackCorked(), std::optional(true), 2000);
    const auto before = wakeUps("threaded-ml");
    QVERIFY2(before.has_value(), "libpulse's thread is not named threaded-ml");
    sleepMs(1000);
    QVERIFY2(*wakeUps("threaded-ml") - *before <= 5,
             qPrintable(QString::number(*wakeUps("threaded-ml") - *before)));

    const qint64 wakeNs = monotonicNs();
    resting.wake();
    QTRY_COMPARE_WITH_TIMEOUT(server_->playbackCorked(), std::optional(false), 1000);
    // A gate may stay up a while before the start; the stream runs on meanwhile.
    sleepMs(int((wakeNs + (Rest_After_Ms - 1000) * Ms - monotonicNs()) / Ms));
    QCOMPARE(server_->playbackCorked(), std::optional(false));
    sleepMs(int((wakeNs + Rest_After_Ms * Ms - monotonicNs()) / Ms));
    QTRY_COMPARE_WITH_TIMEOUT(server_->playbackCorked(), std::optional(true), 3000);
}

void SoundTest::toneRequestedWhileCorkedIsHeardInFull() {
    REQUIRE_SERVER();
    SoundPlayer& resting = newPlayer();
    QTRY_COMPARE_WITH_TIMEOUT(server_->playbackCorked(), std::optional(true), 2000);
    const qint64 playNs = monotonicNs();
    resting.playAsync(path("tone500.wav"));
    const Recording recording = recordAfter(playNs, 800);

    verifyWholeTone(recording, playNs, 500);
    QCOMPARE(server_->playbackCorked(), std::optional(false));
}

void SoundTest::playerReconnectsAfterServerRestart() {
    REQUIRE_SERVER();
    player().playSync(path("silence300.wav"));
    server_->stop();

    qint64 startNs = monotonicNs();
    player().playAsync(path("tone500.wav"));
    QVERIFY(msSince(startNs) < 50);
    startNs = monotonicNs();
    player().playSync(path("tone500.wav"));
    const qint64 syncMs = msSince(startNs);
    QVERIFY2(syncMs >= 495 && syncMs <= 650, qPrintable(QString::number(syncMs)));

    REQUIRE_SERVER();
    const qint64 playNs = monotonicNs();
    player().playAsync(path("tone500.wav"));
    const Recording recording = recordAfter(playNs, 700);
    QVERIFY(recording.firstAbove(Audible, playNs - 60 * Ms, playNs + 200 * Ms).has_value());
}

// The latency the server reports for sink `name`, in ms; empty when it is not listed.
std::optional<double> sinkLatencyMs(const QString& name) {
    QProcess pactl;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    pactl.setProcessEnvironment(environment);
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sinks")});
    if (!pactl.waitForFinished(5000))
        return std::nullopt;
    bool inSink = false;
    for (const QByteArray& line : pactl.readAllStandardOutput().split('\n')) {
        const QByteArray field = line.trimmed();
        if (field.startsWith("Name:"))
            inSink = field.mid(5).trimmed() == name.toLatin1();
        else if (inSink && field.startsWith("Latency:"))
            return field.mid(8).trimmed().split(' ').value(0).toDouble() / 1000.0;
    }
    return std::nullopt;
}

// A sink with latency of its own (a Bluetooth speaker, a network sink, a large buffer)
// plays a sound that much later than it was sent: "Watch the gate" must have been heard
// to its end, by the server's account, before the first beep's interval begins. A
// tunnel sink back into the server has such latency (about 100 ms here), and its far end
// is the recorded sink.
void SoundTest::syncPlayWaitsForTheSinksLatency() {
    // pipewire-pulse leaves pactl waiting for a tunnel back into itself.
    if (chosenSoundServer() != SoundServerKind::PulseAudio)
        QSKIP("this sound server makes no tunnel sink back into itself; PulseAudio does");
    REQUIRE_SERVER();
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"),
                {QStringLiteral("load-module"), QStringLiteral("module-tunnel-sink"),
                 QStringLiteral("server=") + qEnvironmentVariable("PULSE_SERVER"),
                 QStringLiteral("sink=gate"), QStringLiteral("sink_name=far")});
    if (!pactl.waitForFinished(5000) || pactl.exitCode() != 0)
        QSKIP("this sound server makes no tunnel sink back into itself; PulseAudio does");
    const QString module = QString::fromLatin1(pactl.readAllStandardOutput().trimmed());
    const auto pactlRun = [](QStringList arguments) {
        return QProcess::execute(QStringLiteral("pactl"), arguments);
    };
    // The tunnel's sink appears once it has connected.
    QTRY_COMPARE_WITH_TIMEOUT(pactlRun({QStringLiteral("set-default-sink"), QStringLiteral("far")}),
                              0, 3000);
    SoundPlayer& far = newPlayer();
    far.playAsync(path("silence300.wav"));
    sleepMs(1000);
    const std::optional<double> latencyMs = sinkLatencyMs(QStringLiteral("far"));
    const qint64 playNs = monotonicNs();
    far.playSync(path("tone500.wav"));
    const qint64 returnNs = monotonicNs();
    const Recording recording = recordAfter(returnNs, 600);
    player_.reset();
    pactlRun({QStringLiteral("unload-module"), module});
    pactlRun({QStringLiteral("set-default-sink"), QStringLiteral("gate")});

    if (!latencyMs || *latencyMs < 50.0)
        QSKIP("the tunnel sink has no latency to speak of here");
    const auto onset = recording.firstAbove(Audible, playNs - 60 * Ms, returnNs);
    QVERIFY(onset.has_value());
    const auto end = recording.lastAbove(Audible, *onset, returnNs + 500 * Ms);
    QVERIFY(end.has_value());
    QVERIFY2(returnNs >= *end, qPrintable(QString::number((*end - returnNs) / Ms)));
    // Ended by the sound's length alone, the play would return 500 ms after its call.
    QVERIFY2(returnNs - playNs >= 540 * Ms,
             qPrintable(QStringLiteral("returned %1 ms after the call; sink latency %2 ms")
                            .arg((returnNs - playNs) / Ms)
                            .arg(*latencyMs)));
}

// Every play call and every wake() signals libpulse's thread, which takes what the mailbox
// holds. A signal with nothing new must give nothing: taken for an empty request, it
// would silence the sound playing (a wake() at the gate raise would cut a tone).
void SoundTest::mailboxHandsOutEachValueOnce() {
    LatestValueMailbox<std::shared_ptr<int>> mailbox;
    QVERIFY(!mailbox.take().has_value());
    mailbox.post(std::make_shared<int>(1));
    QCOMPARE(**mailbox.take(), 1);
    QVERIFY(!mailbox.take().has_value());
    mailbox.post(std::make_shared<int>(2));
    mailbox.post(std::make_shared<int>(3)); // not yet taken: replaced
    QCOMPARE(**mailbox.take(), 3);
    QVERIFY(!mailbox.take().has_value());
    mailbox.post(nullptr); // a stop is a value too
    const auto stop = mailbox.take();
    QVERIFY(stop.has_value() && *stop == nullptr);
    QVERIFY(!mailbox.take().has_value());
}

void SoundTest::fileStatesSayWhatPlays() {
    auto player = createSystemSoundPlayer();
    const std::pair<QString, SoundFileState> files[] = {
        {path("tone500.wav"), SoundFileState::Ready},
        {path("missing.wav"), SoundFileState::Missing},
        {path("text.wav"), SoundFileState::Undecodable},
        {path("truncated.wav"), SoundFileState::Undecodable},
        {path("."), SoundFileState::Unreadable},
    };
    for (const auto& [file, state] : files)
        player->prepare(file);
    for (const auto& [file, state] : files) {
        QCOMPARE(player->fileState(file, std::chrono::seconds(5)), state);
        QCOMPARE(player->playsStandIn(file), state != SoundFileState::Ready);
    }
    // A missing file that appears is found by the next prepare, not before.
    const QString late = path("late.wav");
    player->prepare(late);
    QCOMPARE(player->fileState(late), SoundFileState::Missing);
    QVERIFY(QFile::copy(path("tone500.wav"), late));
    QCOMPARE(player->fileState(late), SoundFileState::Missing);
    player->prepare(late);
    QCOMPARE(player->fileState(late, std::chrono::seconds(5)), SoundFileState::Ready);
    QFile::remove(late);
}

// A recording still being decoded when its call is due (a long file at a high rate,
// replaced just before a start) plays the built-in tone at once, not late.
void SoundTest::playNeverWaitsForADecoding() {
    const QString file = path("slow.wav");
    QVERIFY(writeTone(
        file, {.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT, .rate = 192000, .seconds = 20.0}));
    auto player = createSystemSoundPlayer();
    player->prepare(file);
    const qint64 callNs = monotonicNs();
    player->playAsync(file);
    const qint64 callMs = msSince(callNs);
    const SoundFileState stateAtTheCall = player->fileState(file);
    QCOMPARE(player->fileState(file, std::chrono::seconds(10)), SoundFileState::Ready);
    QFile::remove(file);

    QCOMPARE(stateAtTheCall, SoundFileState::Pending);
    QVERIFY2(callMs < 20, qPrintable(QString::number(callMs)));
}

void SoundTest::outputStateFollowsTheServer() {
    REQUIRE_SERVER();
    server_->stop();
    player_.reset();
    std::atomic<int> told{0};
    player_ = createSystemSoundPlayer();
    player_->setStatusListener([&] { ++told; });
    QTRY_COMPARE_WITH_TIMEOUT(player_->output(), SoundOutput::NoServer, 2000);

    REQUIRE_SERVER();
    QTRY_COMPARE_WITH_TIMEOUT(player_->output(), SoundOutput::Ready, 2000);
    QVERIFY(told > 0);
    QVERIFY(!player_->outputDevice().isEmpty()); // the null sink's own description

    told = 0;
    server_->stop();
    QTRY_COMPARE_WITH_TIMEOUT(player_->output(), SoundOutput::Lost, 2000);
    QVERIFY(told > 0);
    REQUIRE_SERVER();
    QTRY_COMPARE_WITH_TIMEOUT(player_->output(), SoundOutput::Ready, 3000);
    player_->setStatusListener({});
}

void SoundTest::serverWithoutASinkHasNoDevice() {
    REQUIRE_SERVER();
    player_.reset();
    QCOMPARE(QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("unload-module"),
                                                         QStringLiteral("module-null-sink")}),
             0);
    auto player = createSystemSoundPlayer();
    QTRY_COMPARE_WITH_TIMEOUT(player->output(), SoundOutput::NoDevice, 2000);
    player.reset();
    server_->stop(); // the next test starts it afresh, with its sink
}

QTEST_GUILESS_MAIN(SoundTest)
#include "tst_sound.moc"
