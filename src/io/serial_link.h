#pragma once

#include "io/port_catalog.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <optional>

namespace korvane {

// Line settings as the settings text "9600,N,8,1" gives them.
struct LineSettings {
    qint32 baudRate = 9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;

    // Parses "baud,parity,data,stop"; the parity letter (N, E, O, M, S) in either case.
    static std::optional<LineSettings> parse(const QString& text);
};

// The one serial link to the I/O module. Offers exactly the operations the program
// needs and nothing more. A device that goes away (read, write or resource error)
// closes the link quietly: left open, the port would repeat its error endlessly.
class SerialLink : public QObject {
    Q_OBJECT
public:
    explicit SerialLink(PortCatalog catalog, QObject* parent = nullptr);
    ~SerialLink() override;

    // Takes effect at the next open. Port 0 means no port.
    void selectPort(int number);
    int portNumber() const { return portNumber_; }
    QString portName() const { return portName_; }

    bool applySettings(const QString& text);
    void setFlowControlNone();
    // Asserted while the port is open; a pseudo-terminal refuses it harmlessly.
    void setRequestToSend(bool on);

    // Fails when the port does not exist or is in use (QSerialPort locks the device).
    bool open();
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

signals:
    // The device went away and the link closed itself.
    void lost();

private:
    void onError(QSerialPort::SerialPortError error);
    void pullFromDriver();

    PortCatalog catalog_;
    QSerialPort port_;
    int portNumber_ = 0;
    QString portName_;
    LineSettings settings_;
    bool flowControlNone_ = false;
    bool requestToSend_ = false;
};

} // namespace korvane
