#pragma once

#include "io/link_writer.h"
#include "io/module_finder.h"
#include "io/serial_link.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <deque>
#include <optional>
#include <vector>

namespace korvane {

Q_DECLARE_LOGGING_CATEGORY(lcLink)

// What the program knows of the module's link.
enum class LinkState {
    Searching, // not found yet: every port is being tried
    Connected, // the module answered on the link, its ports are set up
    Lost,      // it went away: its own port and any new one are tried every second
};

enum class ReadFailure {
    Timeout,      // no reply in time
    Garbled,      // more bytes came than one reply
    NotConnected, // no module to ask
};

// The module's link on a thread of its own: it finds the module (one port at a time, a
// slow adapter given its time), sets its ports up, reads its ports, and brings it back
// when it goes away, whatever the window is doing. It never blocks: every wait is a
// timer or a reply. Commands of a start do not pass through here: they are written by
// the window thread through the shared LinkWriter, in order with the engine's own.
//
// Port B is read at a slow pace at rest, and one read after another (at most one a
// millisecond) while a start or a race needs its samples. Each sample carries the time
// the module took it: when the read command reached it.
class LinkEngine : public QObject {
    Q_OBJECT
public:
    struct Timing {
        int probeWaitMs = ModuleFinder::Probe_Wait_Ms; // a port that opened, for its reply
        int restPollMs = 500;                          // port B at rest
        int readWaitMs = 100;                          // a sample's reply
        int retryMs = 1000;                            // a lost module's own port
        int rescanEvery = 3;                           // every port, every so many retries
        int ownPortTries = 3;                          // before the first full rescan
        int garbledClearMs = 2000;                     // quiet time that ends "garbled"
    };

    LinkEngine(PortCatalog catalog, LinkWriter& writer, Timing timing, QObject* parent = nullptr);
    ~LinkEngine() override;

    static constexpr int Ports = 16;

public slots:
    // Looks for the module on every port. Called once, after the engine has moved to its
    // thread; scanned() tells how the first scan went.
    void start();
    void setFastSampling(bool on);
    // A read of port 'a', 'b' or 'c' between samples; readDone() or readFailed() answers.
    void requestRead(char port, int waitMs);
    // A command of the window did not go out: the link may be gone.
    void checkLink();
    // Closes the ports and stops every timer, before the thread ends.
    void stop();

signals:
    // A scan that was not a recovery's ended, the module found or not; `denied`: ports
    // where a module could be that this user may not open.
    void scanned(bool found, QStringList denied);
    void stateChanged(korvane::LinkState state, QString device, int port);
    // The module answers and its ports are set up; port A as read back from it.
    void moduleReady(quint8 portA);
    void sampled(quint8 portB, qint64 atModuleNs);
    void sampleFailed(korvane::ReadFailure failure);
    void readDone(char port, quint8 value);
    void readFailed(char port, korvane::ReadFailure failure);
    // Replies that are more than one byte to a read, or bytes nobody asked for.
    void garbledChanged(bool garbled);
    void roundTripMeasured(qint64 ns);

private:
    struct Read {
        char port = 'b';
        bool sample = true;
        int waitMs = 100;
    };
    struct Outstanding {
        Read read;
        qint64 writtenNs = 0;
        qint64 atModuleNs = 0;
    };
    void scan(const QList<int>& ports, bool recovery);
    void scanDone(int port, bool recovery);
    void takeLink(int port, bool recovery);
    void linkLost();
    void retry();
    QList<int> retryPorts();
    QSet<QString> presentDevices() const;
    void setState(LinkState state);

    void scheduleSample();
    void issueNext();
    void issue(const Read& read);
    void takeReply();
    void replyTimedOut();
    void finishRead(std::optional<quint8> value, ReadFailure failure, bool goOn = true);
    void noteGarbled(const char* what);
    void noteRoundTrip(qint64 ns);

    PortCatalog catalog_;
    LinkWriter& writer_;
    Timing timing_;
    SerialLink link_;
    SerialLink probe_;
    ModuleFinder finder_;

    LinkState state_ = LinkState::Searching;
    bool started_ = false;
    bool firstScanDone_ = false;
    QString device_; // where the module last answered
    int port_ = 0;
    int retries_ = 0;
    QSet<QString> knownDevices_; // device nodes present at the last retry
    QTimer retryTimer_;

    bool fast_ = false;
    bool settingUp_ = false; // the read-back of port A after the set-up is outstanding
    std::deque<Read> requests_;
    std::optional<Outstanding> current_;
    qint64 lastIssueNs_ = 0;
    int lateReplies_ = 0; // replies of reads that timed out, still to come
    QTimer sampleTimer_;
    QTimer replyTimer_;
    QTimer lateWaitTimer_; // after a read that timed out, for its reply
    bool garbled_ = false;
    QTimer garbledTimer_;
    int timeoutsInARow_ = 0;
    std::vector<qint64> roundTrips_; // of this connection, until logged
};

} // namespace korvane
