// korvane-bench: measures the program against the virtual I/O module, writes the figures as
// data (timing.json, race-timing.json) and renders the docs' tables from them (timing.md,
// race-timing.md, the docs in docs/ as templates). Each run stands beside the run in the
// JSON files it is compared with. Its phases, each may be run alone (--phases):
//   sound     the sound player on a private PulseAudio and on a private PipeWire
//   process   the program as a process of its own: start-up, idle CPU, memory
//   starts    whole starts of the real window, on each link and in each sound condition
//   races     the race time from the finish beam, on each link
//   recovery  the module unplugged and plugged in again, wherever a start may be
#include "bench/bench.h"
#include "sequence/start_sounds.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

using namespace korvane;
using namespace korvane::bench;
using namespace Qt::StringLiterals;

namespace {

const QString Source = u"" KORVANE_SOURCE_DIR ""_s;
// How many of each a run measures; --counts changes any of them.
const QString Full_Counts =
    u"starts=20,sound-starts=4,ready-every=4,races=20,quiet-seconds=5,startups=10,"
    u"busy-startups=20,idle-seconds=60,settle-seconds=5,recoveries=5,plays=10,"
    u"cost-seconds=10"_s;
const QString Quick_Counts =
    u"starts=1,sound-starts=1,ready-every=0,races=2,quiet-seconds=1,startups=2,busy-startups=3,"
    u"idle-seconds=2,settle-seconds=1,recoveries=1,plays=3,cost-seconds=2"_s;

struct Options {
    QString out = Source + u"/docs"_s;
    QStringList phases = {u"sound"_s, u"process"_s, u"starts"_s, u"races"_s, u"recovery"_s};
    QStringList conditions, speeds = {u"100"_s, u"150"_s, u"300"_s};
    bool audio = true;
    Counts counts;
};

Options parseOptions(const QApplication& app, Run& run) {
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Korvane's timing benchmark"_s);
    parser.addHelpOption();
    parser.addOptions(
        {{u"out"_s, u"Folder the JSON files and docs are written to (docs/)."_s, u"folder"_s},
         {u"phases"_s, u"Of sound,process,starts,races,recovery (all)."_s, u"list"_s},
         {u"conditions"_s, u"The conditions of the starts and races measured (all)."_s, u"list"_s},
         {u"speeds"_s, u"Beep speeds in ms (100,150,300; quick 150)."_s, u"list"_s},
         {u"counts"_s, u"Counts as name=n,... of "_s + Full_Counts + u"."_s, u"list"_s},
         {u"revision"_s, u"The program's revision, for the report."_s, u"text"_s},
         {u"quick"_s, u"A quick run's counts: "_s + Quick_Counts + u"; never compared with."_s},
         {u"no-audio"_s, u"No private sound server for the starts."_s}});
    parser.process(app);
    Options o;
    run.quick = parser.isSet(u"quick"_s);
    if (run.quick)
        o.speeds = {u"150"_s};
    for (const auto& [name, list] : {std::pair{u"phases"_s, &o.phases},
                                     {u"conditions"_s, &o.conditions},
                                     {u"speeds"_s, &o.speeds}}) {
        if (parser.isSet(name))
            *list = parser.value(name).split(u',', Qt::SkipEmptyParts);
    }
    for (const QString& count : (Full_Counts + (run.quick ? u',' + Quick_Counts : QString()) +
                                 u',' + parser.value(u"counts"_s))
                                    .split(u',', Qt::SkipEmptyParts)) {
        o.counts[count.section(u'=', 0, 0)] = std::max(0, count.section(u'=', 1).toInt());
        run.about[count.section(u'=', 0, 0)] = QString::number(o.counts[count.section(u'=', 0, 0)]);
    }
    o.out = QFileInfo(parser.isSet(u"out"_s) ? parser.value(u"out"_s) : o.out).absoluteFilePath();
    o.audio = !parser.isSet(u"no-audio"_s) && test::PulseServer::isInstalled();
    run.revision = parser.value(u"revision"_s);
    run.command = run.quick ? u"scripts/bench --quick"_s : u"scripts/bench"_s;
    run.measured = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm"_s);
    run.about.insert({{u"cpu"_s, cpuModel()},
                      {u"cores"_s, QString::number(QThread::idealThreadCount())},
                      {u"system"_s, systemDescription()},
                      {u"load"_s, loadAverage()},
                      {u"speeds"_s, o.speeds.join(u", "_s)}});
    if (o.audio)
        run.about[u"sound"_s] = test::serverName(test::chosenSoundServer());
    return o;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Run runs[2]; // the start timing's, the race timing's
    const Options o = parseOptions(app, runs[0]);
    runs[1] = runs[0];
    const qint64 began = QDateTime::currentSecsSinceEpoch();
    bool complete = true;
    // Measures a part of the run; one that fails is said and left out.
    const auto measure = [&](const QString& phase, const QString& what,
                             const std::function<Group()>& part) {
        try {
            if (o.phases.contains(phase))
                runs[phase == u"races"_s].groups.push_back(part());
        } catch (const Failure& failure) {
            progress(what + u": not measured: "_s + failure.what);
            complete = false;
        }
    };
    QTemporaryDir folder; // the program's, with the sample config.dat and the five sounds
    for (const QString& file : start_sounds::All + QStringList{u"config.dat"_s})
        QFile::copy(Source + (file.endsWith(u".dat"_s) ? u"/packaging/"_s : u"/sounds/"_s) + file,
                    folder.filePath(file));
    for (const auto kind : {test::SoundServerKind::PulseAudio, test::SoundServerKind::PipeWire})
        measure(u"sound"_s, test::serverName(kind), [&] {
            return soundServerFigures(kind, folder.path(), o.counts[u"plays"_s],
                                      o.counts[u"cost-seconds"_s]);
        });
    // From here on this process and its children look for the private server only.
    test::PulseServer pulse;
    test::PulseServer* server = o.audio ? &pulse : nullptr;
    QDir::setCurrent(folder.path()); // the sounds are looked up in the working folder
    measure(u"process"_s, u"the program as a process"_s, [&] {
        return processFigures(QCoreApplication::applicationDirPath() + u"/korvane-bench-program"_s,
                              folder.path(), server, o.counts);
    });
    std::optional<BenchWindow> bench;
    try {
        if (o.phases.contains(u"starts"_s) || o.phases.contains(u"races"_s) ||
            o.phases.contains(u"recovery"_s))
            bench.emplace(folder.path());
    } catch (const Failure& failure) {
        progress(u"korvane-bench: "_s + failure.what);
        return 1;
    }
    for (const Condition& c : benchConditions(true, o.conditions))
        measure(u"starts"_s, c.title,
                [&] { return runStarts(*bench, server, folder.path(), o.counts, o.speeds, c); });
    for (const Condition& c : benchConditions(false, o.conditions))
        measure(u"races"_s, c.title, [&] { return bench->raceFigures(c, o.counts); });
    measure(u"recovery"_s, u"recovery"_s, [&] { return bench->recoveryFigures(o.counts); });
    // Each run beside the committed one of its kind, rendered into its doc.
    for (const bool race : {false, true}) {
        Run& run = runs[race];
        const QString name = race ? u"race-timing"_s : u"timing"_s;
        run.about[u"minutes"_s] =
            QString::number((QDateTime::currentSecsSinceEpoch() - began + 30) / 60);
        run.before = baselineIn(Source + u"/docs/"_s + name + u".json"_s);
        QFile doc(Source + u"/docs/"_s + name + u".md"_s);
        if (!run.groups.empty() &&
            !(QDir().mkpath(o.out) && doc.open(QIODevice::ReadOnly) &&
              writeRun(QDir(o.out).filePath(name + u".json"_s), run) &&
              writeFile(QDir(o.out).filePath(name + u".md"_s),
                        renderDoc(QString::fromUtf8(doc.readAll()), run, race).toUtf8()))) {
            progress(u"cannot write %1 to %2"_s.arg(name, o.out));
            complete = false;
        }
    }
    std::fputs(qPrintable(summary(runs[0], runs[1])), stdout);
    return complete ? 0 : 1;
}
