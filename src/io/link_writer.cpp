#include "io/link_writer.h"

#include "io/module_protocol.h"
#include "sequence/clocks.h"

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace korvane {

void LinkWriter::attach(qintptr handle, const QList<QByteArray>& first) {
    const std::lock_guard lock(mutex_);
    handle_ = handle;
    wireFreeNs_ = 0;
    portA_.reset(); // a module found again may have lost its power meanwhile
    for (const QByteArray& bytes : first) {
        if (!writeLocked(bytes).sent)
            return;
    }
    attached_.store(true, std::memory_order_release);
}

void LinkWriter::detach() {
    const std::lock_guard lock(mutex_);
    handle_ = -1;
    attached_.store(false, std::memory_order_release);
}

SendResult LinkWriter::write(const QByteArray& bytes) {
    const std::lock_guard lock(mutex_);
    return writeLocked(bytes);
}

SendResult LinkWriter::writeLocked(const QByteArray& bytes) {
    if (handle_ < 0)
        return {};
    const qint64 writtenNs = monotonicNs();
    if (!writeToDevice(handle_, bytes)) {
        handle_ = -1;
        attached_.store(false, std::memory_order_release);
        return {};
    }
    noteWrittenLocked(bytes);
    wireFreeNs_ = std::max(wireFreeNs_, writtenNs) + byteNs_ * bytes.size();
    return {true, wireFreeNs_};
}

// What a command that went out did to port A. Lines above 7 are not on port A.
void LinkWriter::noteWrittenLocked(const QByteArray& bytes) {
    if (bytes.size() != 2)
        return;
    const auto argument = static_cast<quint8>(bytes.at(1));
    switch (bytes.at(0)) {
    case protocol::Write_Port_A:
        portA_ = argument;
        return;
    case protocol::Line_On:
        if (portA_ && argument < 8)
            portA_ = quint8(*portA_ | (1u << argument));
        return;
    case protocol::Line_Off:
        if (portA_ && argument < 8)
            portA_ = quint8(*portA_ & ~(1u << argument));
        return;
    default:
        return;
    }
}

std::optional<quint8> LinkWriter::portA() const {
    const std::lock_guard lock(mutex_);
    return portA_;
}

void LinkWriter::setPortA(quint8 value) {
    const std::lock_guard lock(mutex_);
    portA_ = value;
}

void LinkWriter::noteRoundTrip(qint64 ns) {
    const std::lock_guard lock(mutex_);
    if (ns < 2 * Byte_Ns)
        byteNs_ = 0;
}

qint64 LinkWriter::byteNs() const {
    const std::lock_guard lock(mutex_);
    return byteNs_;
}

#ifdef Q_OS_WIN

// QSerialPort opens the device for overlapped I/O: the write waits for its own
// completion, which for a serial port is when the bytes are in the driver's queue.
bool writeToDevice(qintptr handle, const QByteArray& bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr)
        return false;
    DWORD written = 0;
    const auto device = reinterpret_cast<HANDLE>(handle);
    bool ok = WriteFile(device, bytes.constData(), DWORD(bytes.size()), &written, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(device, &overlapped, &written, TRUE);
    CloseHandle(overlapped.hEvent);
    return ok && written == DWORD(bytes.size());
}

#else

// The device is non-blocking: a few bytes always fit in its queue unless it is stuck, and
// a write that is interrupted is simply made again.
bool writeToDevice(qintptr handle, const QByteArray& bytes) {
    ssize_t written = -1;
    do {
        written = ::write(int(handle), bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    return written == bytes.size();
}

#endif

} // namespace korvane
