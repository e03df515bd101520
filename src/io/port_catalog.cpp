#include "io/port_catalog.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>

namespace korvane {

PortCatalog::PortCatalog(Resolver resolver)
    : resolver_(std::move(resolver)) {}

PortCatalog PortCatalog::fromNames(const QStringList& names) {
    return PortCatalog([names](int number) {
        return number >= 1 && number <= names.size() ? names.at(number - 1) : QString();
    });
}

QStringList PortCatalog::orderLinuxDeviceNodes(const QStringList& entries) {
    static const QStringList groups = {QStringLiteral("ttyUSB"), QStringLiteral("ttyACM"),
                                       QStringLiteral("ttyS")};
    static const QRegularExpression pattern(QStringLiteral("^(ttyUSB|ttyACM|ttyS)(\\d+)$"));
    struct Node {
        qsizetype group;
        qulonglong index;
        QString name;
    };
    std::vector<Node> nodes;
    for (const QString& entry : entries) {
        const QRegularExpressionMatch m = pattern.match(entry);
        if (!m.hasMatch())
            continue;
        bool ok = false;
        const qulonglong index = m.captured(2).toULongLong(&ok);
        if (ok)
            nodes.push_back({groups.indexOf(m.captured(1)), index, entry});
    }
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
        return a.group != b.group ? a.group < b.group : a.index < b.index;
    });
    QStringList ordered;
    for (const Node& node : nodes)
        ordered << node.name;
    return ordered;
}

PortCatalog PortCatalog::system() {
#ifdef Q_OS_WIN
    return PortCatalog(
        [](int number) { return number >= 1 ? QStringLiteral("COM%1").arg(number) : QString(); });
#else
    return PortCatalog([](int number) {
        const QDir dev(QStringLiteral("/dev"));
        const QStringList entries = dev.entryList(
            {QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*"), QStringLiteral("ttyS*")},
            QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        const QStringList ordered = orderLinuxDeviceNodes(entries);
        return number >= 1 && number <= ordered.size() ? dev.filePath(ordered.at(number - 1))
                                                       : QString();
    });
#endif
}

QString PortCatalog::portName(int number) const {
    return resolver_ ? resolver_(number) : QString();
}

} // namespace korvane
