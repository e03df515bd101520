#include "settings/line_roles.h"

#include "settings/config_file.h"

namespace korvane::config {

LineRoles LineRoles::fromSettings(qint16 gate, qint16 red, qint16 orange, qint16 green,
                                  qint16 startButtonMask, qint16 finishBeamMask) {
    LineRoles roles;
    roles.gate = gate;
    roles.red = red;
    roles.orange = orange;
    roles.green = green;
    roles.startButton = startButtonMask != 0 ? maskToPin(startButtonMask) : -1;
    roles.finishBeam = finishBeamMask != 0 ? maskToPin(finishBeamMask) : -1;
    return roles;
}

QString LineRoles::outputRole(int line) const {
    if (line < 0)
        return {};
    if (line == gate)
        return QStringLiteral("gate");
    if (line == red)
        return QStringLiteral("red");
    if (line == orange)
        return QStringLiteral("orange");
    if (line == green)
        return QStringLiteral("green");
    return {};
}

QString LineRoles::inputRole(int line) const {
    if (line < 0)
        return {};
    if (line == startButton)
        return QStringLiteral("start button");
    if (line == finishBeam)
        return QStringLiteral("finish beam");
    return {};
}

} // namespace korvane::config
