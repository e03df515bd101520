#include "bench/conditions.h"

namespace korvane::bench {

QString Condition::keyOf(const char* figure) const {
    return QString::fromLatin1(figure) + QLatin1Char('@') + key;
}

QList<Condition> benchConditions(bool load, bool pacing) {
    QList<Condition> conditions = {{QStringLiteral("pty-idle"),
                                    QStringLiteral("Idle"),
                                    QStringLiteral("pseudo-terminal"),
                                    {},
                                    false}};
    if (load)
        conditions.append({QStringLiteral("pty-busy"),
                           QStringLiteral("Other core busy"),
                           QStringLiteral("pseudo-terminal, busy"),
                           {},
                           true});
    if (pacing) {
        for (const int latencyMs : {1, 16}) {
            conditions.append(
                {QStringLiteral("%1ms-idle").arg(latencyMs),
                 QStringLiteral("Idle, at the line rate behind a %1 ms adapter").arg(latencyMs),
                 QStringLiteral("%1 ms adapter").arg(latencyMs),
                 {true, latencyMs},
                 false});
        }
    }
    conditions.append({QStringLiteral("pulse-idle"),
                       QStringLiteral("Idle, with the start pulse"),
                       QStringLiteral("pseudo-terminal, start pulse"),
                       {},
                       false,
                       true});
    return conditions;
}

} // namespace korvane::bench
