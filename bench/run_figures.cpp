#include "bench/bench.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace korvane::bench {

namespace {

double rounded(double value) {
    return std::round(value * 1000) / 1000;
}

QJsonObject runJson(const Run& run, bool withBefore) {
    QJsonArray groups;
    for (const Group& g : run.groups) {
        QJsonObject figures;
        for (const auto& [name, s] : g.figures)
            figures[name] = QJsonObject{{u"n"_s, s.count},
                                        {u"median"_s, rounded(s.median)},
                                        {u"p99"_s, rounded(s.p99)},
                                        {u"max"_s, rounded(s.max)}};
        const QJsonObject group{{u"kind"_s, g.kind},     {u"key"_s, g.key},
                                {u"title"_s, g.title},   {u"link"_s, g.link},
                                {u"during"_s, g.during}, {u"figures"_s, figures}};
        groups.append(group);
    }
    QJsonObject about;
    for (auto it = run.about.begin(); it != run.about.end(); ++it)
        about[it.key()] = it.value();
    QJsonObject o{{u"revision"_s, run.revision}, {u"measured"_s, run.measured},
                  {u"command"_s, run.command},   {u"quick"_s, run.quick},
                  {u"about"_s, about},           {u"groups"_s, groups}};
    if (withBefore && run.before)
        o[u"before"_s] = runJson(*run.before, false);
    return o;
}

Run runOf(const QJsonObject& o) {
    Run run{o[u"revision"_s].toString(), o[u"measured"_s].toString(), o[u"command"_s].toString(),
            o[u"quick"_s].toBool()};
    const QJsonObject about = o[u"about"_s].toObject();
    for (auto it = about.begin(); it != about.end(); ++it)
        run.about[it.key()] = it.value().toString();
    for (const QJsonValue& value : o[u"groups"_s].toArray()) {
        const auto text = [&](const char* name) { return value[QLatin1String(name)].toString(); };
        Group& g = run.groups.emplace_back(
            Group{text("kind"), text("key"), text("title"), text("link"), text("during")});
        const QJsonObject figures = value[u"figures"_s].toObject();
        for (auto it = figures.begin(); it != figures.end(); ++it)
            g.figures[it.key()] = {it.value()[u"n"_s].toInt(), it.value()[u"median"_s].toDouble(),
                                   it.value()[u"p99"_s].toDouble(),
                                   it.value()[u"max"_s].toDouble()};
    }
    if (o.contains(u"before"_s))
        run.before = std::make_shared<const Run>(runOf(o[u"before"_s].toObject()));
    return run;
}

std::optional<Run> readRun(const QString& path) {
    QFile file(path);
    const QJsonDocument json =
        QJsonDocument::fromJson(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
    return json.isObject() ? std::optional(runOf(json.object())) : std::nullopt;
}

} // namespace

Summary summarize(std::vector<double> samples) {
    const std::size_t n = samples.size();
    if (n == 0)
        return {};
    std::sort(samples.begin(), samples.end());
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    for (double& value : samples)
        value = std::abs(value);
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the smallest value that at least 99 % of the values do not exceed.
    const std::size_t rank = std::max<std::size_t>(std::size_t(std::ceil(0.99 * double(n))), 1);
    return {int(n), median, samples[rank - 1], samples.back()};
}

void Group::add(const Samples& samples) {
    for (const auto& [name, values] : samples)
        figures[name] = summarize(values);
}

const Summary* Group::figure(const QString& name) const {
    const auto found = figures.find(name);
    return found == figures.end() || found->second.count == 0 ? nullptr : &found->second;
}

double Group::value(const QString& name) const {
    const Summary* s = figure(name);
    return s ? s->median : 0;
}

const Group* Run::group(const QString& key) const {
    const auto found =
        std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.key == key; });
    return found == groups.end() ? nullptr : &*found;
}

std::vector<const Group*> Run::groupsOf(const QString& kind) const {
    std::vector<const Group*> found;
    for (const Group& g : groups) {
        if (g.kind == kind)
            found.push_back(&g);
    }
    return found;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

bool writeRun(const QString& path, const Run& run) {
    return writeFile(path, QJsonDocument(runJson(run, true)).toJson());
}

std::shared_ptr<const Run> baselineIn(const QString& path) {
    std::optional<Run> run = readRun(path);
    if (!run || run->quick)
        return run ? run->before : nullptr;
    run->before.reset();
    return std::make_shared<const Run>(std::move(*run));
}

} // namespace korvane::bench
