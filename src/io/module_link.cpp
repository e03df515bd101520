#include "io/module_link.h"

namespace korvane {

ModuleLink::ModuleLink(PortCatalog catalog, LinkEngine::Timing timing, QObject* parent)
    : QObject(parent)
    , engine_(new LinkEngine(std::move(catalog), writer_, timing)) {
    thread_.setObjectName(QStringLiteral("module link"));
    engine_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, engine_, &QObject::deleteLater);
    // Direct: "connected" changes on the engine's thread, before any queued event of it
    // reaches the window.
    connect(
        engine_, &LinkEngine::stateChanged, this,
        [this](LinkState state) {
            connected_.store(state == LinkState::Connected, std::memory_order_release);
        },
        Qt::DirectConnection);
    connect(engine_, &LinkEngine::stateChanged, this,
            [this](LinkState, const QString& device, int port) {
                device_ = device;
                port_ = port;
            });
    thread_.start();
}

ModuleLink::~ModuleLink() {
    QMetaObject::invokeMethod(engine_, &LinkEngine::stop, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void ModuleLink::start() {
    QMetaObject::invokeMethod(engine_, &LinkEngine::start, Qt::QueuedConnection);
}

SendResult ModuleLink::send(const QByteArray& command) {
    if (!connected())
        return {};
    const SendResult result = writer_.write(command);
    if (!result.sent)
        QMetaObject::invokeMethod(engine_, &LinkEngine::checkLink, Qt::QueuedConnection);
    return result;
}

void ModuleLink::setFastSampling(bool on) {
    QMetaObject::invokeMethod(
        engine_, [this, on] { engine_->setFastSampling(on); }, Qt::QueuedConnection);
}

void ModuleLink::requestRead(char port, int waitMs) {
    QMetaObject::invokeMethod(
        engine_, [this, port, waitMs] { engine_->requestRead(port, waitMs); },
        Qt::QueuedConnection);
}

} // namespace korvane
