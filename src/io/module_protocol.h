#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

namespace korvane {

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
// commands in that order. A module that lost power comes back with every line an input.
QList<QByteArray> portDirections();

// True when the reply holds a known identification immediately followed by CR LF,
// anywhere in it; the match is case-sensitive.
bool isModuleIdentification(const QByteArray& reply);

} // namespace protocol
} // namespace korvane
