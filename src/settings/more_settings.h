#pragma once

// more-settings.ini: the settings of random start and the start pulse, in an INI file
// beside config.dat. config.dat keeps its nine lines; these settings live apart so that
// an older program reading config.dat never sees them. Only the administrator changes
// them. Anything wrong with the file turns the feature it concerns off.
//
//   [random_start]
//   enabled=false        ; true or false
//
//   [start_pulse]
//   line=off             ; off, or the port A line 0 to 7 that carries the pulse
//   length_ms=100        ; 10 to 2000

#include "settings/config_file.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace korvane::config {

inline constexpr qint16 No_Start_Pulse = -1;
inline constexpr qint16 Last_Port_A_Line = 7;
inline constexpr int Start_Pulse_Ms_Default = 100;
inline constexpr int Start_Pulse_Ms_Min = 10;
inline constexpr int Start_Pulse_Ms_Max = 2000;

struct MoreSettings {
    bool randomStart = false;
    qint16 startPulseLine = No_Start_Pulse; // port A line 0..7, No_Start_Pulse for none
    int startPulseMs = Start_Pulse_Ms_Default;

    bool startPulseOn() const { return startPulseLine != No_Start_Pulse; }
    friend bool operator==(const MoreSettings&, const MoreSettings&) = default;
};

// What a load made of the file.
struct MoreSettingsLoad {
    enum class Kind {
        Whole,   // every value present was usable (absent keys keep their defaults)
        Missing, // no file of that name: everything off
        Damaged, // see problems; what was wrong is off or at its default
    };
    Kind kind = Kind::Missing;
    MoreSettings settings;
    QStringList problems; // Damaged: plain-text sentences, each saying what it turns off
};

// programFolder/more-settings.ini
QString moreSettingsPathFor(const QString& programFolder);

// Never fails: a missing, unreadable or unparseable file gives the defaults (random
// start and the pulse off). A value that is not usable takes its default, and a fault
// in either start-pulse value turns the pulse off.
MoreSettingsLoad loadMoreSettings(const QString& path);

// Replaces the file in one step with exactly these settings (keys the program does not
// know go). False when it could not be written; the previous file is then left whole.
bool saveMoreSettings(const QString& path, const MoreSettings& settings);

// Why these settings cannot be used with these outputs, in plain text for the
// administrator; empty when they can. The pulse needs a line of its own: on the gate's
// or a light's line it would switch that output with it.
QString moreSettingsProblem(const MoreSettings& settings, const OutputLines& outputs);

} // namespace korvane::config
