#include "sim/paced_line.h"

#include <algorithm>

namespace korvane::sim {

void PacedLine::configure(qint64 byteNs, qint64 latencyNs) {
    byteNs_ = std::max<qint64>(0, byteNs);
    latencyNs_ = std::max<qint64>(0, latencyNs);
}

void PacedLine::send(const char* data, qsizetype size, qint64 nowNs) {
    for (qsizetype i = 0; i < size; ++i) {
        wireFreeNs_ = std::max(wireFreeNs_, nowNs) + byteNs_;
        const qint64 receivedNs = wireFreeNs_;
        // A byte that comes while the receiver holds others goes with them; the first
        // into an empty buffer starts the timer.
        if (handOverNs_ < receivedNs)
            handOverNs_ = receivedNs + latencyNs_;
        onTheWay_.push_back({handOverNs_, data[i]});
    }
}

std::vector<PacedLine::Byte> PacedLine::takeArrived(qint64 nowNs) {
    std::vector<Byte> arrived;
    while (!onTheWay_.empty() && onTheWay_.front().atNs <= nowNs) {
        arrived.push_back(onTheWay_.front());
        onTheWay_.pop_front();
    }
    return arrived;
}

qint64 PacedLine::nextArrivalNs() const {
    return onTheWay_.empty() ? -1 : onTheWay_.front().atNs;
}

void PacedLine::clear() {
    onTheWay_.clear();
    wireFreeNs_ = 0;
    handOverNs_ = -1;
}

} // namespace korvane::sim
