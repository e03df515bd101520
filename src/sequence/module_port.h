#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace korvane {

// How a command went.
struct SendResult {
    bool sent = false; // written whole to the link the module answered on
    // When its last byte reaches the module, on monotonicNs(): the write's time plus the
    // time on the wire of the bytes queued ahead of it and of its own.
    qint64 atModuleNs = 0;
};

// What a start needs of the module: its commands sent at once, whether the module is
// there, and how often its inputs are sampled. The samples themselves, and the module's
// comings and goings, reach the start as events.
class ModulePort {
public:
    virtual ~ModulePort() = default;

    // Sends one command now, on the calling thread; not sent while the module is away.
    virtual SendResult send(const QByteArray& command) = 0;
    // The module answered on the link the program uses. A probe of another port is
    // never that link.
    virtual bool connected() const = 0;
    // Port B read one read after another (from the gate's raise to the end of a race),
    // or at the slow pace of a resting start button.
    virtual void setFastSampling(bool on) = 0;
};

} // namespace korvane
