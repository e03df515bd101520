#include "app/frmUSB_Main.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    korvane::frmUSB_Main window(korvane::PortCatalog::system(), korvane::createSystemSoundPlayer(),
                                QCoreApplication::applicationDirPath());
    window.show();
    window.Form_Load();
    return app.exec();
}
