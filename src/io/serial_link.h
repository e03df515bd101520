#pragma once

#include "io/port_catalog.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

namespace korvane {

// Why a port could not be opened.
enum class OpenFailure {
    None,
    NoSuchPort,   // no port of that number, or no device under its name
    NotPermitted, // the device exists but this user may not open it
    InUse,        // another program (or another link) has it open
    Other,
};

// True for an error report that means the open device went away or can no longer be
// used. A USB adapter that vanishes raises a resource error on Linux, and an access,
// device or unknown error on Windows; only a timed-out wait and an unsupported
// modem-line request (a pseudo-terminal has no RTS) leave the link usable.
bool meansDeviceGone(QSerialPort::SerialPortError error);

// The one serial link to the I/O module. Offers exactly the operations the program
// needs and nothing more. A device that goes away closes the link quietly: left open,
// the port would repeat its error endlessly.
class SerialLink : public QObject {
    Q_OBJECT
public:
    explicit SerialLink(PortCatalog catalog, QObject* parent = nullptr);
    ~SerialLink() override;

    // Takes effect at the next open. Port 0 means no port.
    void selectPort(int number);
    const PortCatalog& catalog() const { return catalog_; }
    QString portName() const { return portName_; }

    void setFlowControlNone();
    // Asserted while the port is open; a pseudo-terminal refuses it harmlessly.
    void setRequestToSend(bool on);

    // Opens at the module's one line setting, 9600 baud, 8 data bits, no parity, 1 stop
    // bit. Fails when the port does not exist or is in use (QSerialPort locks the
    // device); lastOpenFailure() says which.
    bool open();
    OpenFailure lastOpenFailure() const { return openFailure_; }
    void close();
    bool isOpen() const;

    // One write, pushed to the device at once. False when the link is closed or the write fails.
    bool write(const QByteArray& bytes);

    // Received bytes not yet read, including those still in the driver.
    qint64 bytesWaiting();
    // Every waiting byte, in arrival order, removed from the receive buffer.
    // Bytes counted by bytesWaiting() are read as counted.
    QByteArray readAllWaiting();
    // Blocks (no event loop) until at least one byte is waiting or `msecs` have passed.
    bool waitForByte(int msecs);

    // The port's error reports arrive here; a device that went away closes the link.
    void handleError(QSerialPort::SerialPortError error);

    // The open device's own handle (a file descriptor, or a Windows HANDLE), for writes
    // that must not wait for this object's thread.
    qintptr nativeHandle() const;

signals:
    // The device went away and the link closed itself.
    void lost();
    // Bytes have arrived.
    void received();

private:
    void pullFromDriver();

    PortCatalog catalog_;
    QSerialPort port_;
    QString portName_;
    bool flowControlNone_ = false;
    bool requestToSend_ = false;
    OpenFailure openFailure_ = OpenFailure::None;
};

} // namespace korvane
