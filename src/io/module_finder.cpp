#include "io/module_finder.h"

#include "io/module_protocol.h"

namespace korvane {

namespace {

// How often a reply that has begun is looked at again.
constexpr int Line_Check_Ms = 2;

// A line has begun when bytes have come after the last line end, or none has ended yet.
bool lineHasBegun(const QByteArray& reply) {
    return !reply.isEmpty() && !reply.endsWith('\n');
}

} // namespace

ModuleFinder::ModuleFinder(SerialLink& link, QObject* parent)
    : QObject(parent)
    , link_(link) {
    wait_.setParent(this); // moves with the finder to another thread
    wait_.setSingleShot(true);
    wait_.setTimerType(Qt::PreciseTimer);
    connect(&wait_, &QTimer::timeout, this, &ModuleFinder::collectReply);
}

void ModuleFinder::start(QList<int> ports, std::function<void(int)> done, int probeWaitMs) {
    if (running_)
        return;
    running_ = true;
    probeWaitMs_ = probeWaitMs;
    ports_ = std::move(ports);
    done_ = std::move(done);
    denied_.clear();
    probeNext();
}

void ModuleFinder::probeNext() {
    while (!ports_.isEmpty()) {
        current_ = ports_.takeFirst();
        link_.selectPort(current_);
        if (!link_.open()) {
            if (link_.lastOpenFailure() == OpenFailure::NotPermitted)
                denied_ << link_.portName();
            continue;
        }
        reply_.clear();
        link_.write(QByteArray(1, protocol::Identify));
        sinceIdentify_.start();
        wait_.start(probeWaitMs_);
        return;
    }
    finish(0);
}

void ModuleFinder::collectReply() {
    link_.bytesWaiting(); // takes in what the driver holds
    reply_ += link_.readAllWaiting();
    if (protocol::isModuleIdentification(reply_)) {
        link_.close();
        finish(current_);
        return;
    }
    // A port that went away during its probe has closed the link already.
    if (link_.isOpen() && lineHasBegun(reply_) && sinceIdentify_.elapsed() < Line_Wait_Ms) {
        wait_.start(Line_Check_Ms);
        return;
    }
    link_.close();
    probeNext();
}

void ModuleFinder::finish(int port) {
    running_ = false;
    current_ = 0;
    // Taken out first: `done` may start the next scan.
    const std::function<void(int)> done = std::move(done_);
    done_ = nullptr;
    if (done)
        done(port);
}

} // namespace korvane
