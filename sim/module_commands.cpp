#include "sim/module_commands.h"

#include "io/module_protocol.h"

namespace korvane::sim {

namespace {

constexpr char readLetter(char port) {
    return char(port - 'A' + 'a');
}

struct Entry {
    char first;
    CommandShape shape;
};

constexpr Entry Commands[] = {
    {protocol::Identify, {CommandKind::Identify, 1, -1}},
    {protocol::Set_Direction, {CommandKind::SetDirection, 3, -1}},
    {protocol::Port_A, {CommandKind::WritePort, 2, 0}},
    {protocol::Port_B, {CommandKind::WritePort, 2, 1}},
    {protocol::Port_C, {CommandKind::WritePort, 2, 2}},
    {protocol::Line_On, {CommandKind::LineOn, 2, -1}},
    {protocol::Line_Off, {CommandKind::LineOff, 2, -1}},
    {readLetter(protocol::Port_A), {CommandKind::ReadPort, 1, 0}},
    {readLetter(protocol::Port_B), {CommandKind::ReadPort, 1, 1}},
    {readLetter(protocol::Port_C), {CommandKind::ReadPort, 1, 2}},
};

} // namespace

CommandShape commandShape(char first) {
    for (const Entry& entry : Commands) {
        if (entry.first == first)
            return entry.shape;
    }
    return {};
}

int portIndex(char letter) {
    const CommandShape shape = commandShape(letter);
    const bool names = shape.kind == CommandKind::WritePort || shape.kind == CommandKind::ReadPort;
    return names ? shape.port : -1;
}

} // namespace korvane::sim
