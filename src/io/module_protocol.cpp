#include "io/module_protocol.h"

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

bool isModuleIdentification(const QByteArray& reply) {
    for (const char* identification : Known_Identifications) {
        if (reply.contains(QByteArray(identification) + "\r\n"))
            return true;
    }
    return false;
}

} // namespace korvane::protocol
