#include "module_commands.h"

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

constexpr Entry kCommands[] = {
    {protocol::Identify, {CommandKind::Identify, 1, -1}},
    {protocol::SetDirection, {CommandKind::SetDirection, 3, -1}},
    {protocol::PortA, {CommandKind::WritePort, 2, 0}},
    {protocol::PortB, {CommandKind::WritePort, 2, 1}},
    {protocol::PortC, {CommandKind::WritePort, 2, 2}},
    {protocol::LineOn, {CommandKind::LineOn, 2, -1}},
    {protocol::LineOff, {CommandKind::LineOff, 2, -1}},
    {readLetter(protocol::PortA), {CommandKind::ReadPort, 1, 0}},
    {readLetter(protocol::PortB), {CommandKind::ReadPort, 1, 1}},
    {readLetter(protocol::PortC), {CommandKind::ReadPort, 1, 2}},
};

} // namespace

CommandShape commandShape(char first) {
    for (const Entry& entry : kCommands) {
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
