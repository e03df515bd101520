#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <optional>

namespace korvane {

class SerialLink;

// The I/O module's one-letter command protocol. Every command is one write, no
// terminator, no checksum; argument bytes go out as they are, 0x00 included.
namespace protocol {

inline constexpr char Identify = '?';
inline constexpr char Set_Direction = '!';
inline constexpr char Write_Port_A = 'A';
inline constexpr char Line_On = 'H';
inline constexpr char Line_Off = 'L';

inline constexpr quint8 All_Outputs = 0x00;
inline constexpr quint8 All_Inputs = 0xFF;

// Port letters; a read uses the lower-case letter.
inline constexpr char Port_A = 'A';
inline constexpr char Port_B = 'B';
inline constexpr char Port_C = 'C';

// The identification texts the module answers "?" with, each followed by CR LF.
inline constexpr const char* Known_Identifications[] = {"USB I/O 24f2", "USB I/O 24R1"};

// A line command carries the line number as one byte: only 0..255 can be sent.
QByteArray lineCommand(char command, quint8 line);
QByteArray setDirection(char port, quint8 direction);
QByteArray writePortA(quint8 value);
QByteArray readPort(char port);

// The module's port set-up: port A all outputs, ports B and C all inputs, as three
// writes in that order. A module that lost power comes back with every line an input.
void writePortDirections(SerialLink& link);
QList<QByteArray> portDirections();

// True when the reply holds a known identification immediately followed by CR LF,
// anywhere in it; the match is case-sensitive.
bool isModuleIdentification(const QByteArray& reply);

// Read transaction: writes the read command and waits (blocking, on a monotonic clock)
// while nothing is waiting and less than `waitMs` have passed. Exactly one waiting
// byte is the port byte; none or more than one is a failure, and nothing is read then
// (the bytes stay in the receive buffer, so a late reply is taken by the next read).
// More than one byte already waiting when a read begins is discarded first: stray
// bytes that, kept, would make every later read fail.
std::optional<quint8> readTransaction(SerialLink& link, char port, int waitMs);

} // namespace protocol
} // namespace korvane
