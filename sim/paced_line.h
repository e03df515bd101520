#pragma once

#include <QtGlobal>

#include <deque>
#include <vector>

namespace korvane::sim {

// How the virtual module's link behaves in time. Off (the default), bytes pass as fast as
// the pseudo-terminal moves them, which no real link does.
struct LinePacing {
    bool lineRate = false;    // bytes take their time on the wire: 9600 baud, 10 bits a byte
    int adapterLatencyMs = 0; // the USB adapter holds received bytes back this long

    bool isOn() const { return lineRate || adapterLatencyMs > 0; }
};

// One direction of the serial line, as bookkeeping on given times: bytes handed to it
// go on the wire one after the other and reach the far end when their stop bit has.
// A receiver with a latency timer (the USB adapter on the PC's side) passes on what it
// holds when the timer, started by the first byte into its empty buffer, expires. A
// buffer that fills first would go sooner; the module's replies are far too short.
class PacedLine {
public:
    // 10 bits a byte (start, 8 data, stop) at 9600 baud.
    static constexpr qint64 Byte_Ns = (10 * 1'000'000'000LL + 4800) / 9600;

    struct Byte {
        qint64 atNs; // when it reaches the far end (past the receiver's latency timer)
        char value;
    };

    // Applies to bytes sent from now on: `byteNs` 0 is no wire time, `latencyNs` 0 no
    // latency timer.
    void configure(qint64 byteNs, qint64 latencyNs);
    // Bytes handed to the line at `nowNs`; each waits for the wire to be free.
    void send(const char* data, qsizetype size, qint64 nowNs);
    // The bytes that have reached the far end by `nowNs`, in order.
    std::vector<Byte> takeArrived(qint64 nowNs);
    // When the next byte reaches the far end; -1 when none is on its way.
    qint64 nextArrivalNs() const;
    void clear();

private:
    qint64 byteNs_ = 0;
    qint64 latencyNs_ = 0;
    qint64 wireFreeNs_ = 0;     // when the last byte sent has left the wire
    qint64 handOverNs_ = -1;    // when the receiver passes on what it holds; -1: nothing held
    std::deque<Byte> onTheWay_; // in order of arrival
};

} // namespace korvane::sim
