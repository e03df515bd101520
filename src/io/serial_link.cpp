#include "io/serial_link.h"

#include <QFile>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace korvane {

bool meansDeviceGone(QSerialPort::SerialPortError error) {
    switch (error) {
    case QSerialPort::NoError:
    case QSerialPort::TimeoutError:
    case QSerialPort::UnsupportedOperationError:
    case QSerialPort::NotOpenError:
        return false;
    default:
        return true;
    }
}

namespace {

// QSerialPort reports a device this user may not open and a lock file held by another
// program alike, as a permission error; the device's own permissions tell them apart.
bool mayOpenDevice(const QString& name) {
#ifdef Q_OS_UNIX
    // The effective user, as open() sees it.
    return ::faccessat(AT_FDCWD, QFile::encodeName(name).constData(), R_OK | W_OK, AT_EACCESS) == 0;
#else
    Q_UNUSED(name);
    return true; // Windows answers "access denied" for a port another program has open
#endif
}

OpenFailure openFailureOf(QSerialPort::SerialPortError error, const QString& name) {
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return OpenFailure::NoSuchPort;
    case QSerialPort::PermissionError:
        return mayOpenDevice(name) ? OpenFailure::InUse : OpenFailure::NotPermitted;
    case QSerialPort::OpenError:
        return OpenFailure::InUse;
    default:
        return OpenFailure::Other;
    }
}

// A USB serial adapter holds received bytes back for its latency timer, 16 ms on common
// ones unless the driver is asked for low latency, which makes it 1 ms. Other devices
// (a pseudo-terminal, a built-in port) refuse or ignore the request; either is fine.
void askForLowLatency([[maybe_unused]] qintptr handle) {
#ifdef Q_OS_LINUX
    serial_struct serial{};
    if (::ioctl(int(handle), TIOCGSERIAL, &serial) != 0)
        return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(int(handle), TIOCSSERIAL, &serial);
#endif
}

} // namespace

SerialLink::SerialLink(PortCatalog catalog, QObject* parent)
    : QObject(parent)
    , catalog_(std::move(catalog)) {
    // A child, so that the port moves with the link to another thread.
    port_.setParent(this);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLink::handleError);
    connect(&port_, &QSerialPort::readyRead, this, &SerialLink::received);
}

qintptr SerialLink::nativeHandle() const {
    return port_.isOpen() ? qintptr(port_.handle()) : qintptr(-1);
}

SerialLink::~SerialLink() = default;

void SerialLink::selectPort(int number) {
    portName_ = catalog_.portName(number);
}

void SerialLink::setFlowControlNone() {
    flowControlNone_ = true;
}

void SerialLink::setRequestToSend(bool on) {
    requestToSend_ = on;
    if (port_.isOpen()) {
        port_.setRequestToSend(on);
        port_.clearError();
    }
}

bool SerialLink::open() {
    if (port_.isOpen()) {
        openFailure_ = OpenFailure::InUse;
        return false;
    }
    if (portName_.isEmpty()) {
        openFailure_ = OpenFailure::NoSuchPort;
        return false;
    }
    port_.setPortName(portName_);
    if (!port_.open(QIODevice::ReadWrite)) {
        openFailure_ = openFailureOf(port_.error(), portName_);
        port_.clearError();
        return false;
    }
    openFailure_ = OpenFailure::None;
    port_.setBaudRate(QSerialPort::Baud9600);
    port_.setParity(QSerialPort::NoParity);
    port_.setDataBits(QSerialPort::Data8);
    port_.setStopBits(QSerialPort::OneStop);
    if (flowControlNone_)
        port_.setFlowControl(QSerialPort::NoFlowControl);
    if (requestToSend_)
        port_.setRequestToSend(true);
    askForLowLatency(nativeHandle());
    // A pseudo-terminal answers the modem-line ioctls with "inappropriate ioctl": not a fault.
    port_.clearError();
    return true;
}

void SerialLink::close() {
    if (port_.isOpen())
        port_.close();
    port_.clearError();
}

bool SerialLink::isOpen() const {
    return port_.isOpen();
}

bool SerialLink::write(const QByteArray& bytes) {
    if (!port_.isOpen())
        return false;
    if (port_.write(bytes) != bytes.size())
        return false;
    // Without the flush nothing leaves until the event loop runs again.
    port_.flush();
    return port_.isOpen();
}

void SerialLink::pullFromDriver() {
    // A zero wait reads whatever the driver holds without blocking.
    if (port_.isOpen() && port_.waitForReadyRead(0) == false &&
        port_.error() == QSerialPort::TimeoutError)
        port_.clearError();
}

qint64 SerialLink::bytesWaiting() {
    if (!port_.isOpen())
        return 0;
    pullFromDriver();
    return port_.isOpen() ? port_.bytesAvailable() : 0;
}

QByteArray SerialLink::readAllWaiting() {
    if (!port_.isOpen())
        return {};
    // What bytesWaiting() counted is what is read; the driver is asked only when that was nothing.
    if (port_.bytesAvailable() == 0)
        pullFromDriver();
    return port_.isOpen() ? port_.readAll() : QByteArray();
}

bool SerialLink::waitForByte(int msecs) {
    if (!port_.isOpen())
        return false;
    // waitForReadyRead only reports data new to the port: look at the buffer first.
    if (port_.bytesAvailable() > 0)
        return true;
    if (msecs > 0 && port_.waitForReadyRead(msecs))
        return true;
    if (port_.error() == QSerialPort::TimeoutError)
        port_.clearError();
    return port_.isOpen() && port_.bytesAvailable() > 0;
}

void SerialLink::handleError(QSerialPort::SerialPortError error) {
    if (!meansDeviceGone(error) || !port_.isOpen())
        return;
    port_.close();
    port_.clearError();
    emit lost();
}

} // namespace korvane
