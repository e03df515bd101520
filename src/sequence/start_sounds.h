#pragma once

#include <QString>
#include <QStringList>

// The files a start plays, looked up by bare name in the working folder.
namespace korvane::start_sounds {

inline const QString Ok_Riders = QStringLiteral("ok_riders.wav");
inline const QString Riders_Ready = QStringLiteral("Riders_ready.wav");
inline const QString Watch_The_Gate = QStringLiteral("Watch_the_gate.wav");
inline const QString Beep_Tone = QStringLiteral("BMX_start_tone.wav");
inline const QString Long_Tone = QStringLiteral("BMX_start_tone_long.wav");

// All five, in the order a start first plays them.
inline const QStringList All = {Ok_Riders, Riders_Ready, Watch_The_Gate, Beep_Tone, Long_Tone};

} // namespace korvane::start_sounds
