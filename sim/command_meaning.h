#pragma once

#include <QByteArray>
#include <QString>

namespace korvane {
class frmUSB_Main;
}

namespace korvane::sim {

// What each module line is wired to, as config.dat says: output line numbers on port A,
// input line numbers (0..7) on port B. -1 is a role without a line.
struct LineRoles {
    int gate = -1;
    int red = -1;
    int orange = -1;
    int green = -1;
    int startButton = -1;
    int finishBeam = -1;

    // "gate", "red", "orange", "green", or empty for a line with no role.
    QString outputRole(int line) const;
    // "start button", "finish beam", or empty.
    QString inputRole(int line) const;

    // The roles the main window's settings give the lines; a mask of 0 is no line.
    static LineRoles of(const frmUSB_Main& window);
};

// A received command in the words of the start: "gate up", "red on", "all port A off",
// "read port B"... A line command without a role names the line ("line 5 on").
QString commandMeaning(const QByteArray& command, const LineRoles& roles);

} // namespace korvane::sim
