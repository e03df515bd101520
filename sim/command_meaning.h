#pragma once

#include "settings/line_roles.h"

#include <QByteArray>
#include <QString>

namespace korvane::sim {

using config::LineRoles;

// A received command in the words of the start: "gate up", "red on", "all port A off",
// "read port B"... A line command without a role names the line ("line 5 on").
QString commandMeaning(const QByteArray& command, const LineRoles& roles);

} // namespace korvane::sim
