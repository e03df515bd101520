#include "io/link_engine.h"

#include "io/module_protocol.h"
#include "sequence/clocks.h"

#include <QFileInfo>

#include <algorithm>

namespace korvane {

Q_LOGGING_CATEGORY(lcLink, "korvane.link", QtInfoMsg)

namespace {

constexpr qint64 Ns_Per_Ms = 1'000'000;
// Port B is read at most this often in a start, so a pseudo-terminal, whose replies
// come back at once, does not keep a core busy.
constexpr qint64 Fast_Sample_Period_Ns = Ns_Per_Ms;
// A read command and its one-byte reply: what a debug window's read is given at least.
constexpr int Shortest_Read_Wait_Ms = 10;
// Round trips of a connection that are summed up in the log.
constexpr std::size_t Round_Trips_Logged = 50;

QList<int> allPorts() {
    QList<int> ports;
    for (int n = 1; n <= LinkEngine::Ports; ++n)
        ports << n;
    return ports;
}

// A module is a USB device: on Linux a ttyUSB or ttyACM node. A built-in serial port
// (ttyS) that only root may open is no news to the operator.
bool couldBeTheModule(const QString& device) {
#ifdef Q_OS_LINUX
    const QString name = QFileInfo(device).fileName();
    return name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"));
#else
    Q_UNUSED(device);
    return true;
#endif
}

} // namespace

LinkEngine::LinkEngine(PortCatalog catalog, LinkWriter& writer, Timing timing, QObject* parent)
    : QObject(parent)
    , catalog_(catalog)
    , writer_(writer)
    , timing_(timing)
    , link_(catalog)
    , probe_(std::move(catalog))
    , finder_(probe_) {
    // Children, so that they move with the engine to its thread.
    for (QObject* part :
         std::initializer_list<QObject*>{&link_, &probe_, &finder_, &retryTimer_, &sampleTimer_,
                                         &replyTimer_, &lateWaitTimer_, &garbledTimer_})
        part->setParent(this);
    for (QTimer* timer : {&sampleTimer_, &replyTimer_, &lateWaitTimer_, &garbledTimer_}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    retryTimer_.setInterval(timing_.retryMs);
    connect(&retryTimer_, &QTimer::timeout, this, &LinkEngine::retry);
    connect(&sampleTimer_, &QTimer::timeout, this, [this] {
        if (!current_ && requests_.empty() && state_ == LinkState::Connected)
            issue({'b', true, timing_.readWaitMs});
        scheduleSample();
    });
    connect(&replyTimer_, &QTimer::timeout, this, &LinkEngine::replyTimedOut);
    connect(&lateWaitTimer_, &QTimer::timeout, this, &LinkEngine::issueNext);
    connect(&garbledTimer_, &QTimer::timeout, this, [this] {
        garbled_ = false;
        qCInfo(lcLink) << "replies are whole again";
        emit garbledChanged(false);
    });
    connect(&link_, &SerialLink::received, this, &LinkEngine::takeReply);
    connect(&link_, &SerialLink::lost, this, &LinkEngine::linkLost);
}

LinkEngine::~LinkEngine() = default;

void LinkEngine::start() {
    if (started_)
        return;
    started_ = true;
    scan(allPorts(), false);
}

void LinkEngine::stop() {
    for (QTimer* timer :
         {&retryTimer_, &sampleTimer_, &replyTimer_, &lateWaitTimer_, &garbledTimer_})
        timer->stop();
    writer_.detach();
    link_.close();
    probe_.close();
    started_ = false;
}

void LinkEngine::scan(const QList<int>& ports, bool recovery) {
    finder_.start(
        ports, [this, recovery](int port) { scanDone(port, recovery); }, timing_.probeWaitMs);
}

void LinkEngine::scanDone(int port, bool recovery) {
    if (port != 0) {
        takeLink(port, recovery);
        return;
    }
    if (!recovery || !firstScanDone_) {
        firstScanDone_ = true;
        QStringList denied;
        for (const QString& device : finder_.deniedPorts()) {
            if (couldBeTheModule(device))
                denied << device;
        }
        if (denied.isEmpty())
            qCInfo(lcLink) << "no module on any port";
        else
            qCInfo(lcLink).noquote() << "no module on any port; not allowed to open"
                                     << denied.join(QStringLiteral(", "));
        emit scanned(false, denied);
    } else {
        qCDebug(lcLink) << "rescan found no module";
    }
    if (!retryTimer_.isActive()) {
        retries_ = 0;
        knownDevices_ = presentDevices();
        retryTimer_.start();
    }
}

// The finder closed the port it found the module on; the link opens it for good. A port
// that will not open now is tried again by the retries.
void LinkEngine::takeLink(int port, bool recovery) {
    link_.selectPort(port);
    link_.setFlowControlNone();
    link_.setRequestToSend(true);
    port_ = port;
    device_ = link_.portName();
    if (!link_.open()) {
        qCWarning(lcLink) << "module found on" << link_.portName() << "but the port did not open";
        if (!recovery && !firstScanDone_) {
            firstScanDone_ = true;
            emit scanned(false, {});
        }
        retryTimer_.start();
        return;
    }
    writer_.attach(link_.nativeHandle(), protocol::portDirections());
    if (!writer_.isAttached()) {
        link_.close();
        retryTimer_.start();
        return;
    }
    retryTimer_.stop();
    qCInfo(lcLink) << "module found on" << device_ << "(port" << port << ")";
    // What the module holds is read, not guessed: a module that lost its power comes
    // back with every output off.
    requests_.clear();
    settingUp_ = true;
    issue({'a', false, timing_.readWaitMs});
}

void LinkEngine::linkLost() {
    writer_.detach();
    replyTimer_.stop();
    sampleTimer_.stop();
    lateWaitTimer_.stop();
    // Whoever asked for a read is told there is nothing to read.
    if (current_ && !current_->read.sample)
        requests_.push_front(current_->read);
    current_.reset();
    for (const Read& read : requests_)
        emit readFailed(read.port, ReadFailure::NotConnected);
    requests_.clear();
    settingUp_ = false;
    lateReplies_ = 0;
    if (state_ == LinkState::Connected)
        qCWarning(lcLink) << "module lost on" << device_;
    setState(LinkState::Lost);
    retries_ = 0;
    knownDevices_ = presentDevices();
    retryTimer_.start();
}

void LinkEngine::checkLink() {
    if (!writer_.isAttached() && link_.isOpen()) {
        link_.close();
        linkLost();
    }
}

QSet<QString> LinkEngine::presentDevices() const {
    QSet<QString> devices;
    for (int n = 1; n <= Ports; ++n) {
        const QString name = catalog_.portName(n);
        if (!name.isEmpty() && QFileInfo::exists(name))
            devices << name;
    }
    return devices;
}

// Which ports a retry probes: the lost module's own port, and any port that has appeared
// since the last retry (an adapter plugged back in, perhaps under another name). Every
// port only every few retries, so other devices are rarely disturbed: a module never
// found is looked for on all of them from the first, a lost one after a few tries of its
// own port.
QList<int> LinkEngine::retryPorts() {
    ++retries_;
    const QSet<QString> present = presentDevices();
    const bool everyPort = retries_ % timing_.rescanEvery == 0 &&
                           (state_ == LinkState::Searching || retries_ > timing_.ownPortTries);
    QList<int> ports;
    for (int n = 1; n <= Ports; ++n) {
        const QString name = catalog_.portName(n);
        if (!present.contains(name))
            continue;
        const bool own = state_ == LinkState::Lost && name == device_;
        if (everyPort || own || !knownDevices_.contains(name))
            ports << n;
    }
    knownDevices_ = present;
    return ports;
}

void LinkEngine::retry() {
    if (finder_.isRunning() || link_.isOpen())
        return;
    const QList<int> ports = retryPorts();
    if (!ports.isEmpty())
        scan(ports, true);
}

void LinkEngine::setState(LinkState state) {
    if (state_ == state)
        return;
    state_ = state;
    emit stateChanged(state, device_, port_);
}

void LinkEngine::setFastSampling(bool on) {
    if (fast_ == on)
        return;
    fast_ = on;
    scheduleSample();
}

void LinkEngine::requestRead(char port, int waitMs) {
    if (state_ != LinkState::Connected) {
        emit readFailed(port, ReadFailure::NotConnected);
        return;
    }
    requests_.push_back({port, false, qMax(waitMs, Shortest_Read_Wait_Ms)});
    if (!current_)
        issueNext();
}

// At rest a sample every restPollMs; in a start the next as soon as the last is done,
// but no sooner than a millisecond after it was asked for.
void LinkEngine::scheduleSample() {
    if (state_ != LinkState::Connected || current_ || lateWaitTimer_.isActive()) {
        sampleTimer_.stop();
        return;
    }
    if (!fast_) {
        if (!sampleTimer_.isActive() || sampleTimer_.interval() != timing_.restPollMs)
            sampleTimer_.start(timing_.restPollMs);
        return;
    }
    const qint64 dueNs = lastIssueNs_ + Fast_Sample_Period_Ns;
    const qint64 waitNs = dueNs - monotonicNs();
    sampleTimer_.start(waitNs > 0 ? int((waitNs + Ns_Per_Ms - 1) / Ns_Per_Ms) : 0);
}

void LinkEngine::issueNext() {
    if (current_ || state_ != LinkState::Connected || lateWaitTimer_.isActive())
        return;
    if (!requests_.empty()) {
        const Read read = requests_.front();
        requests_.pop_front();
        issue(read);
        return;
    }
    scheduleSample();
}

void LinkEngine::issue(const Read& read) {
    sampleTimer_.stop();
    // Whatever waits now came after its read gave up, or is noise: never a reply to this.
    const QByteArray stray = link_.readAllWaiting();
    for (qsizetype i = 0; i < stray.size(); ++i) {
        if (lateReplies_ > 0)
            --lateReplies_;
        else
            noteGarbled("bytes nobody asked for");
    }
    const qint64 writtenNs = monotonicNs();
    const SendResult sent = writer_.write(protocol::readPort(read.port));
    if (!sent.sent) {
        checkLink();
        return;
    }
    lastIssueNs_ = writtenNs;
    current_ = Outstanding{read, writtenNs, sent.atModuleNs};
    replyTimer_.start(read.waitMs);
}

void LinkEngine::takeReply() {
    const QByteArray bytes = link_.readAllWaiting();
    if (bytes.isEmpty())
        return;
    if (!current_) {
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            if (lateReplies_ > 0)
                --lateReplies_;
            else
                noteGarbled("bytes nobody asked for");
        }
        if (lateReplies_ == 0 && lateWaitTimer_.isActive()) {
            lateWaitTimer_.stop();
            issueNext();
        }
        return;
    }
    replyTimer_.stop();
    const qint64 roundTripNs = monotonicNs() - current_->writtenNs;
    writer_.noteRoundTrip(roundTripNs);
    noteRoundTrip(roundTripNs);
    emit roundTripMeasured(roundTripNs);
    if (bytes.size() != 1) {
        noteGarbled("a reply of more than one byte");
        finishRead(std::nullopt, ReadFailure::Garbled);
        return;
    }
    finishRead(quint8(bytes.at(0)), ReadFailure::Timeout);
}

// A reply that comes after its read gave up must not be taken for the next read's: the
// next read waits for it (or, when it does not come, for as long again).
void LinkEngine::replyTimedOut() {
    if (!current_)
        return;
    ++lateReplies_;
    if (timeoutsInARow_++ == 0)
        qCWarning(lcLink) << "no reply to a read of port" << current_->read.port << "within"
                          << current_->read.waitMs << "ms";
    const int waitMs = current_->read.waitMs;
    finishRead(std::nullopt, ReadFailure::Timeout, false);
    if (current_ || state_ != LinkState::Connected)
        return;
    lateWaitTimer_.start(waitMs);
}

void LinkEngine::finishRead(std::optional<quint8> value, ReadFailure failure, bool goOn) {
    const Outstanding done = *current_;
    current_.reset();
    if (value && timeoutsInARow_ > 0) {
        qCInfo(lcLink) << "the module answers again after" << timeoutsInARow_ << "reads without";
        timeoutsInARow_ = 0;
    }
    if (settingUp_) {
        settingUp_ = false;
        if (!value) {
            // It answered "?" but not the read: not a module to work with yet.
            link_.close();
            linkLost();
            return;
        }
        writer_.setPortA(*value);
        roundTrips_.clear();
        qCInfo(lcLink) << "module ready on" << device_ << "port A" << Qt::hex << *value;
        setState(LinkState::Connected);
        emit moduleReady(*value);
        if (!firstScanDone_) {
            firstScanDone_ = true;
            emit scanned(true, {});
        }
    } else if (done.read.sample) {
        if (value)
            emit sampled(*value, done.atModuleNs);
        else
            emit sampleFailed(failure);
    } else if (value) {
        emit readDone(done.read.port, *value);
    } else {
        emit readFailed(done.read.port, failure);
    }
    if (goOn)
        issueNext();
}

// The link's round trips, logged once a connection has made enough reads to say.
void LinkEngine::noteRoundTrip(qint64 ns) {
    if (roundTrips_.size() >= Round_Trips_Logged)
        return;
    roundTrips_.push_back(ns);
    if (roundTrips_.size() < Round_Trips_Logged)
        return;
    std::sort(roundTrips_.begin(), roundTrips_.end());
    qCInfo(lcLink).nospace() << "round trip on " << device_ << ": min "
                             << double(roundTrips_.front()) / Ns_Per_Ms << " ms, median "
                             << double(roundTrips_[roundTrips_.size() / 2]) / Ns_Per_Ms
                             << " ms, max " << double(roundTrips_.back()) / Ns_Per_Ms << " ms";
}

void LinkEngine::noteGarbled(const char* what) {
    garbledTimer_.start(timing_.garbledClearMs);
    if (garbled_)
        return;
    garbled_ = true;
    qCWarning(lcLink) << "garbled replies:" << what;
    emit garbledChanged(true);
}

} // namespace korvane
