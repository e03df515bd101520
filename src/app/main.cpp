#include "app/frmUSB_Main.h"
#include "app/log_file.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    const QString programFolder = QCoreApplication::applicationDirPath();
    // Beside config.dat: what the link and the starts did, for whoever looks into a fault.
    const korvane::LogFile log(programFolder);
    korvane::frmUSB_Main window(korvane::PortCatalog::system(), korvane::createSystemSoundPlayer(),
                                programFolder);
    window.show();
    window.Form_Load();
    return app.exec();
}
