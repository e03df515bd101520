#include "io/module_protocol.h"

#include "io/serial_link.h"

#include <QElapsedTimer>

#include <cctype>

namespace korvane::protocol {

QByteArray lineCommand(char command, quint8 line) {
    QByteArray bytes(1, command);
    bytes.append(static_cast<char>(line));
    return bytes;
}

QByteArray setDirection(char port, quint8 direction) {
    QByteArray bytes(1, Set_Direction);
    bytes.append(port);
    bytes.append(static_cast<char>(direction));
    return bytes;
}

QByteArray writePortA(quint8 value) {
    return lineCommand(Write_Port_A, value);
}

QByteArray readPort(char port) {
    return QByteArray(1, static_cast<char>(std::tolower(static_cast<unsigned char>(port))));
}

QList<QByteArray> portDirections() {
    return {setDirection(Port_A, All_Outputs), setDirection(Port_B, All_Inputs),
            setDirection(Port_C, All_Inputs)};
}

void writePortDirections(SerialLink& link) {
    link.write(setDirection(Port_A, All_Outputs));
    link.write(setDirection(Port_B, All_Inputs));
    link.write(setDirection(Port_C, All_Inputs));
}

bool isModuleIdentification(const QByteArray& reply) {
    for (const char* identification : Known_Identifications) {
        if (reply.contains(QByteArray(identification) + "\r\n"))
            return true;
    }
    return false;
}

std::optional<quint8> readTransaction(SerialLink& link, char port, int waitMs) {
    // Two or more bytes left over can never be one reply: every later read would count
    // them and fail, for the rest of the run. One left-over byte is kept, so a late
    // reply is still taken by the next read.
    if (link.bytesWaiting() > 1)
        link.readAllWaiting();
    if (!link.write(readPort(port)))
        return std::nullopt;
    QElapsedTimer elapsed; // monotonic: a read across midnight waits no longer
    elapsed.start();
    while (link.bytesWaiting() == 0) {
        const qint64 left = waitMs - elapsed.elapsed();
        if (left <= 0 || !link.isOpen())
            break;
        link.waitForByte(static_cast<int>(left));
    }
    if (link.bytesWaiting() != 1)
        return std::nullopt;
    const QByteArray reply = link.readAllWaiting();
    if (reply.size() != 1)
        return std::nullopt;
    return static_cast<quint8>(reply.at(0));
}

} // namespace korvane::protocol
