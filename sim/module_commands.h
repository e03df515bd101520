#pragma once

#include <QtGlobal>

namespace korvane::sim {

// What the module makes of a command, by its first byte. The one table of the module's
// command letters: the parser takes a command's length from it, the module what to do,
// and the descriptions what to call it.
enum class CommandKind { Identify, SetDirection, WritePort, LineOn, LineOff, ReadPort, Unknown };

struct CommandShape {
    CommandKind kind = CommandKind::Unknown;
    int length = 1; // bytes in all; an unknown byte is a command of its own
    int port = -1;  // 0..2 for ports A..C of a write or a read, else -1
};

CommandShape commandShape(char first);

// The port a letter names, as "!" takes it and the control calls do: 'A'/'a' is 0 ...
// 'C'/'c' is 2; anything else -1.
int portIndex(char letter);

} // namespace korvane::sim
