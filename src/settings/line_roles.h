#pragma once

#include <QString>

namespace korvane::config {

// What each module line is wired to, as config.dat says: output line numbers on port A,
// input line numbers (0..7) on port B. -1 is a role without a line.
struct LineRoles {
    int gate = -1;
    int red = -1;
    int orange = -1;
    int green = -1;
    int startButton = -1;
    int finishBeam = -1;

    // The roles of the window's settings: output line numbers and input masks, where a
    // mask of 0 is no line.
    static LineRoles fromSettings(qint16 gate, qint16 red, qint16 orange, qint16 green,
                                  qint16 startButtonMask, qint16 finishBeamMask);

    // "gate", "red", "orange", "green", or empty for a line with no role.
    QString outputRole(int line) const;
    // "start button", "finish beam", or empty.
    QString inputRole(int line) const;
};

} // namespace korvane::config
