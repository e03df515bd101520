#include "bench/start_figures.h"

namespace korvane::bench {

namespace {

constexpr double Ns_Per_Ms = 1e6;
constexpr double Hold_Off_Ms = 4000;
constexpr double Riders_Ready_Ms = 3600;
constexpr double Watch_The_Gate_Ms = 1000;
constexpr double Restart_Delay_Ms = 10000;

double ms(qint64 ns) {
    return double(ns) / Ns_Per_Ms;
}

} // namespace

std::vector<double> beepIntervalErrorsMs(const StartRecord& r) {
    std::vector<double> errors;
    for (int k = 1; k < 4; ++k)
        errors.push_back(ms(r.beepByteNs[k] - r.beepByteNs[k - 1]) - r.beepMs);
    return errors;
}

void StartFigures::add(const StartRecord& r, double watchLengthMs) {
    const double beep = r.beepMs;
    const int drop = r.gateTiming;
    holdOff.push_back(ms(r.startCallNs - r.raiseCallNs) - Hold_Off_Ms);
    gateUpByte.push_back(ms(r.gateUpByteNs - r.raiseCallNs));
    ridersReady.push_back(ms(r.ridersReadyCallNs - r.okRidersCallNs) - Riders_Ready_Ms);
    watchCall.push_back(ms(r.watchCallNs - r.ridersReadyCallNs) - Watch_The_Gate_Ms);
    watchLength.push_back(ms(r.watchReturnNs - r.watchCallNs) - watchLengthMs);
    firstBeep.push_back(ms(r.beepByteNs[0] - r.watchReturnNs) - beep);
    firstTone.push_back(ms(r.toneCallNs[0] - r.watchReturnNs) - beep);
    // Beeps 1 to 3 write their bytes before the tone's call: what follows is delivery.
    for (int k = 0; k < 3; ++k)
        byteAfterCall.push_back(ms(r.beepByteNs[k] - r.toneCallNs[k]));
    for (const double error : beepIntervalErrorsMs(r))
        intervalBytes.push_back(error);
    for (int k = 1; k < 4; ++k)
        intervalCalls.push_back(ms(r.toneCallNs[k] - r.toneCallNs[k - 1]) - beep);
    dropVsBeep.push_back(ms(r.dropByteNs - r.beepByteNs[drop]));
    const double idealDrop = ms(r.okRidersCallNs) + Riders_Ready_Ms + Watch_The_Gate_Ms +
                             watchLengthMs + (drop + 1) * beep;
    dropVsTimeline.push_back(ms(r.dropByteNs) - idealDrop);
    if (r.readyMeasured)
        ready.push_back(ms(r.readyByteNs - r.beepByteNs[3]) - Restart_Delay_Ms);
    const double playToDrop = ms(r.dropByteNs - r.toneCallNs[drop]);
    (drop < 3 ? playToDropToneFirst : playToDropDropFirst).push_back(playToDrop);
    playToDropByTiming[std::size_t(drop)].push_back(playToDrop);
    for (int k = 0; k < 4; ++k) {
        playCall.push_back(ms(r.toneReturnNs[k] - r.toneCallNs[k]));
        if (r.toneOnsetNs[k])
            onsetVsCall.push_back(ms(*r.toneOnsetNs[k] - r.toneCallNs[k]));
    }
    if (r.toneOnsetNs[drop])
        onsetVsDrop.push_back(ms(*r.toneOnsetNs[drop] - r.dropByteNs));
    if (r.pulseByteNs != 0)
        pulseAfterDrop.push_back(ms(r.pulseByteNs - r.dropByteNs));
}

} // namespace korvane::bench
