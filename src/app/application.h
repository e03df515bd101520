#pragma once

#include <QString>

namespace korvane {

// The title of the About box and of messages that name no title of their own.
inline const QString Application_Title = QStringLiteral("Korvane");

// The key of "No Controller  detected": the box closes itself when the module is found.
inline const QString No_Controller_Key = QStringLiteral("no controller");

} // namespace korvane
