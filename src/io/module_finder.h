#pragma once

#include "io/serial_link.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace korvane {

// Looks for the I/O module on numbered ports, one port at a time, without blocking the
// thread: opens the port, sends the identify command, collects the reply for a probe's
// wait and closes the port again. A reply whose line has begun but not yet ended is
// waited for up to `Line_Wait_Ms` after the command (a USB adapter holds bytes back for
// its latency timer); a port that says nothing costs only the probe's wait. The link is
// the finder's while it runs.
class ModuleFinder : public QObject {
    Q_OBJECT
public:
    // A port that opened is given this long to begin its reply: a USB adapter holds the
    // first bytes back for its latency timer (16 ms on common ones), and a loaded machine
    // adds to it. A port that does not exist costs nothing. A reply whose line has begun
    // is waited for up to `Line_Wait_Ms` after the command.
    static constexpr int Probe_Wait_Ms = 100;
    static constexpr int Line_Wait_Ms = 200;

    explicit ModuleFinder(SerialLink& link, QObject* parent = nullptr);

    // Probes `ports` in order and calls `done` with the first port whose reply holds a
    // known identification, or 0. A scan that is running already is left to finish.
    void start(QList<int> ports, std::function<void(int port)> done,
               int probeWaitMs = Probe_Wait_Ms);
    bool isRunning() const { return running_; }

    // The device names of the ports probed in the last scan that exist but that this
    // user may not open.
    const QStringList& deniedPorts() const { return denied_; }

private:
    void probeNext();
    void collectReply();
    void finish(int port);

    SerialLink& link_;
    QTimer wait_;
    QElapsedTimer sinceIdentify_;
    QList<int> ports_;
    int current_ = 0;
    int probeWaitMs_ = Probe_Wait_Ms;
    QByteArray reply_;
    QStringList denied_;
    bool running_ = false;
    std::function<void(int)> done_;
};

} // namespace korvane
