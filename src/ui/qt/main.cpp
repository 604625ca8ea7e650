// quarvex: the Quarvex window on Linux.
#include <QApplication>

#include "platform/posix/posix_platform.h"
#include "ui/qt/main_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarvex"));
    QApplication::setDesktopFileName(QStringLiteral("quarvex"));

    quarvex::posix::PosixPlatform platform;
    quarvex::qt::MainWindow window(platform);
    QApplication::setWindowIcon(window.windowIcon());
    // Hidden, not closed, when it unloads: the loop ends once the handler that unloaded returns.
    QObject::connect(&window, &quarvex::qt::MainWindow::unloadRequested, &app,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    window.load();
    window.show();
    return QApplication::exec();
}
