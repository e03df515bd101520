#pragma once

#include "sequence/module_port.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <optional>

namespace korvane {

// The write side of the one link to the module, shared by the window thread (a start's
// commands, which must leave the moment their step runs) and the link engine's thread
// (read requests, the port set-up). One lock orders every write, so commands reach the
// module in the order they were asked for, whoever asked. Writes go straight to the
// device the engine opened, in one system call each: no thread hands-over stands between
// a step and its byte.
class LinkWriter {
public:
    // 10 bits a byte (start, 8 data, stop) at 9600 baud.
    static constexpr qint64 Byte_Ns = (10 * 1'000'000'000LL + 4800) / 9600;

    // Engine thread: the device the module answered on (its native handle), and the
    // commands that must reach it before any other (its port set-up); or none.
    void attach(qintptr handle, const QList<QByteArray>& first);
    void detach();

    // Any thread. Not sent when no module is attached or the device refused the bytes;
    // a refusal detaches the device (it went away) and is seen by the engine too.
    SendResult write(const QByteArray& bytes);
    bool isAttached() const { return attached_.load(std::memory_order_acquire); }

    // Port A as the last writes that went out left it; empty until a write of the whole
    // port or a read-back ("a") has made it known. Line commands set or clear their bit.
    std::optional<quint8> portA() const;
    // Engine thread: port A as read back from the module.
    void setPortA(quint8 value);

    // A link whose replies come back faster than two bytes take on the wire has no wire
    // to speak of (a USB device that is not behind a serial line, a pseudo-terminal): its
    // bytes take no time.
    void noteRoundTrip(qint64 ns);
    qint64 byteNs() const;

private:
    SendResult writeLocked(const QByteArray& bytes);
    void noteWrittenLocked(const QByteArray& bytes);

    mutable std::mutex mutex_;
    qintptr handle_ = -1;
    std::atomic<bool> attached_{false};
    std::optional<quint8> portA_;
    qint64 wireFreeNs_ = 0; // when the last byte written leaves the wire
    qint64 byteNs_ = Byte_Ns;
};

// One write of `bytes` to an open serial device, whole or not at all: false when the
// device refused them or took only part.
bool writeToDevice(qintptr handle, const QByteArray& bytes);

} // namespace korvane
