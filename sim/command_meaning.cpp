#include "command_meaning.h"

#include "app/frmUSB_Main.h"
#include "settings/config_file.h"

namespace korvane::sim {

LineRoles LineRoles::of(const frmUSB_Main& window) {
    LineRoles roles;
    roles.gate = window.Gate;
    roles.red = window.Red;
    roles.orange = window.Orange;
    roles.green = window.Green;
    roles.startButton = window.Start_Button != 0 ? config::maskToPin(window.Start_Button) : -1;
    roles.finishBeam = window.Finish_Beam != 0 ? config::maskToPin(window.Finish_Beam) : -1;
    return roles;
}

namespace {

QString portName(char letter) {
    return QStringLiteral("port %1").arg(QChar(letter).toUpper());
}

QString hexByte(quint8 value) {
    return QStringLiteral("%1").arg(uint(value), 2, 16, QLatin1Char('0')).toUpper();
}

QString directionMeaning(char port, quint8 direction) {
    if (direction == 0x00)
        return portName(port) + QStringLiteral(": all outputs");
    if (direction == 0xFF)
        return portName(port) + QStringLiteral(": all inputs");
    return portName(port) + QStringLiteral(": direction ") + hexByte(direction);
}

// The gate is raised while its line is on; the lights simply shine.
QString lineMeaning(bool on, int line, const LineRoles& roles) {
    const QString role = roles.outputRole(line);
    if (role == QLatin1String("gate"))
        return on ? QStringLiteral("gate up") : QStringLiteral("gate down");
    const QString subject = role.isEmpty() ? QStringLiteral("line %1").arg(line) : role;
    return subject + (on ? QStringLiteral(" on") : QStringLiteral(" off"));
}

} // namespace

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

QString commandMeaning(const QByteArray& command, const LineRoles& roles) {
    if (command.isEmpty())
        return {};
    const char code = command.at(0);
    const auto argument = [&](int i) { return quint8(command.at(i)); };
    switch (code) {
    case '?':
        return QStringLiteral("identify");
    case 'a':
    case 'b':
    case 'c':
        return QStringLiteral("read ") + portName(code);
    case '!':
        if (command.size() == 3)
            return directionMeaning(command.at(1), argument(2));
        break;
    case 'A':
    case 'B':
    case 'C':
        if (command.size() == 2) {
            if (argument(1) == 0x00)
                return QStringLiteral("all %1 lines off").arg(portName(code));
            return portName(code) + QStringLiteral(" := ") + hexByte(argument(1));
        }
        break;
    case 'H':
    case 'L':
        if (command.size() == 2)
            return lineMeaning(code == 'H', argument(1), roles);
        break;
    default:
        break;
    }
    return QStringLiteral("unknown command");
}

} // namespace korvane::sim
