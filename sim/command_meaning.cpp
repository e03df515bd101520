#include "sim/command_meaning.h"

#include "sim/module_commands.h"

namespace korvane::sim {

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

QString commandMeaning(const QByteArray& command, const LineRoles& roles) {
    if (command.isEmpty())
        return {};
    const char code = command.at(0);
    const CommandShape shape = commandShape(code);
    if (command.size() != shape.length)
        return QStringLiteral("unknown command");
    const auto argument = [&](int i) { return quint8(command.at(i)); };
    switch (shape.kind) {
    case CommandKind::Identify:
        return QStringLiteral("identify");
    case CommandKind::ReadPort:
        return QStringLiteral("read ") + portName(code);
    case CommandKind::SetDirection:
        return directionMeaning(command.at(1), argument(2));
    case CommandKind::WritePort:
        if (argument(1) == 0x00)
            return QStringLiteral("all %1 lines off").arg(portName(code));
        return portName(code) + QStringLiteral(" := ") + hexByte(argument(1));
    case CommandKind::LineOn:
    case CommandKind::LineOff:
        return lineMeaning(shape.kind == CommandKind::LineOn, argument(1), roles);
    case CommandKind::Unknown:
        break;
    }
    return QStringLiteral("unknown command");
}

} // namespace korvane::sim
