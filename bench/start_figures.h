#pragma once

#include "bench/timed_start.h"

#include <array>
#include <vector>

namespace korvane::bench {

// Deviations of one kind from their ideal, in ms, gathered over many starts.
using Deviations = std::vector<double>;

// Every figure of the start, each as the deviations of all starts measured.
struct StartFigures {
    Deviations holdOff, gateUpByte, ridersReady, watchCall, watchLength, firstBeep, firstTone;
    Deviations byteAfterCall;
    Deviations intervalBytes, intervalCalls, dropVsBeep, dropVsTimeline, ready;
    Deviations playToDropToneFirst, playToDropDropFirst, playCall;
    Deviations onsetVsDrop, onsetVsCall;
    Deviations pulseAfterDrop;
    std::array<Deviations, 4> playToDropByTiming; // by gate timing 0..3

    // `watchLengthMs`: the length of "Watch_the_gate.wav", part of the ideal timeline.
    void add(const StartRecord& record, double watchLengthMs);
};

// The three beep-to-beep intervals of a start, each less its ideal, in ms.
std::vector<double> beepIntervalErrorsMs(const StartRecord& record);

} // namespace korvane::bench
