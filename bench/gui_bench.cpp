// quarvex-gui-bench [--hold SECONDS] ROOT [PATTERN]: one search of ROOT through the real Qt
// window, offscreen unless QT_QPA_PLATFORM says otherwise, started by clicking Command1 and timed
// to the report box. Prints one line:
//   seconds=S peak_rss_kb=K lines=N line_bytes=B
// --hold keeps the first report box up for SECONDS and then the window for as long again, so a
// screenshot can be taken of each.
#include <sys/resource.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/posix/posix_platform.h"
#include "ui/qt/line_model.h"
#include "ui/qt/main_window.h"

namespace {

using BenchClock = std::chrono::steady_clock;

class BenchWindow : public quarvex::qt::MainWindow {
  public:
    using MainWindow::MainWindow;

    BenchClock::time_point started{};
    double seconds = -1;
    int holdMs = 0;

    int messageBox(quarvex::BoxKind kind, const std::string& text) override {
        if (seconds < 0) {
            // The report is due: the list has its last batch and the view has drawn it.
            publishPending();
            QCoreApplication::processEvents();
            seconds = std::chrono::duration<double>(BenchClock::now() - started).count();
            QTimer::singleShot(holdMs, [] {
                if (QWidget* box = QApplication::activeModalWidget()) box->close();
            });
            return MainWindow::messageBox(kind, text);
        }
        QTimer::singleShot(0, [] {
            if (QWidget* box = QApplication::activeModalWidget()) box->close();
        });
        return MainWindow::messageBox(kind, text);
    }
};

}  // namespace

int main(int argc, char** argv) {
    int holdMs = 0;
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "--hold") {
        holdMs = static_cast<int>(std::stod(argv[2]) * 1000);
        first = 3;
    }
    if (argc - first < 1 || argc - first > 2) {
        std::fprintf(stderr, "Usage: quarvex-gui-bench [--hold SECONDS] ROOT [PATTERN]\n");
        return 2;
    }
    const std::string root = argv[first];
    const std::string pattern = argc - first > 1 ? argv[first + 1] : "*.*";
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The one line above is the output; the toolkit's notes about the offscreen platform are not.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    });

    QApplication app(argc, argv);
    quarvex::posix::PosixPlatform platform;
    BenchWindow window(platform);
    window.holdMs = holdMs;
    window.load();
    window.show();
    QCoreApplication::processEvents();

    // The tree is offered as a drive of its own, as a mount point would be.
    window.comboAdd(root);
    window.setComboText(root);
    window.setText1(pattern);
    auto* start = static_cast<QPushButton*>(window.control(quarvex::layout::Id::Command1));
    window.started = BenchClock::now();
    start->click();
    if (holdMs > 0) {
        // exit, not quit: quit would first ask the window to close, which it confirms.
        QTimer::singleShot(holdMs, &app, [] { QCoreApplication::exit(0); });
        QApplication::exec();
    }

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto& store = window.lines().store();
    std::printf("seconds=%.3f peak_rss_kb=%ld lines=%zu line_bytes=%zu\n", window.seconds,
                usage.ru_maxrss, store.size(), store.bytes());
    return window.seconds >= 0 && window.lines().rowCount() == static_cast<int>(store.size()) ? 0
                                                                                              : 1;
}
