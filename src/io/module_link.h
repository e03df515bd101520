#pragma once

#include "io/link_engine.h"
#include "io/link_writer.h"
#include "io/port_catalog.h"
#include "sequence/module_port.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <memory>
#include <optional>

namespace korvane {

// The window thread's handle on the module: it owns the link engine and its thread. A
// command is written from the calling thread at once (through the shared writer); read
// requests and sampling go to the engine; the engine's events (signals of engine())
// arrive on the thread of whoever connects to them.
class ModuleLink : public QObject, public ModulePort {
    Q_OBJECT
public:
    explicit ModuleLink(PortCatalog catalog, LinkEngine::Timing timing = {},
                        QObject* parent = nullptr);
    // Closes the ports and ends the thread.
    ~ModuleLink() override;

    // Begins looking for the module; engine().scanned() tells how the first scan went.
    void start();

    SendResult send(const QByteArray& command) override;
    bool connected() const override { return connected_.load(std::memory_order_acquire); }
    void setFastSampling(bool on) override;

    void requestRead(char port, int waitMs);
    // Port A as the last commands that went out left it, or as read back from a module
    // that came back; empty while unknown.
    std::optional<quint8> portA() const { return writer_.portA(); }
    QString device() const { return device_; }
    int portNumber() const { return port_; }

    const LinkEngine& engine() const { return *engine_; }

private:
    LinkWriter writer_;
    QThread thread_;
    LinkEngine* engine_; // lives on thread_, deleted when it ends
    std::atomic<bool> connected_{false};
    QString device_;
    int port_ = 0;
};

} // namespace korvane
