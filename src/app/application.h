#pragma once

#include <QString>

namespace korvane {

// The title of the About box and of messages that name no title of their own.
inline const QString Application_Title = QStringLiteral("Korvane");

} // namespace korvane
