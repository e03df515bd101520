#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace korvane {

// Maps the program's serial port numbers 1..16 to the system's port names.
// On Windows port n is "COMn". On Linux port n is the n-th device node under /dev
// named ttyUSB*, then ttyACM*, then ttyS*, each group in numeric order.
class PortCatalog {
public:
    using Resolver = std::function<QString(int)>;

    explicit PortCatalog(Resolver resolver);

    // The platform's own numbering.
    static PortCatalog system();
    // names[n - 1] is port n; an empty name or a number past the list is an absent port.
    static PortCatalog fromNames(const QStringList& names);

    // The system name of port `number`, or an empty string when there is no such port.
    QString portName(int number) const;

    // Orders /dev entry names the Linux way (ttyUSB2 before ttyUSB10); other names are dropped.
    static QStringList orderLinuxDeviceNodes(const QStringList& entries);

private:
    Resolver resolver_;
};

} // namespace korvane
