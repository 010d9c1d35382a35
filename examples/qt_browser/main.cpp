// qt_browser: a small FTP browser window on the control, driven by Qt's event loop.
//
//   qt_browser
//       the window: connect form, remote directory, download, upload, cancel
//   qt_browser --auto HOST PORT USER PASSWORD REMOTE LOCAL --screenshot FILE.png
//       the scripted path: connects, lists REMOTE's directory, downloads REMOTE to LOCAL with
//       the progress bar, saves a screenshot of the window with the listing shown, and
//       exits 0 on success. It prints the listing's row count and where the table's rows are
//       in the screenshot ("table: X Y WIDTH HEIGHT"), for a test that looks at them.
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <cstdio>

#include "browser_window.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: qt_browser\n"
                 "       qt_browser --auto HOST PORT USER PASSWORD REMOTE LOCAL --screenshot FILE.png\n");
    return 2;
}

// The window as the display shows it (the X server's pixels, not a fresh rendering), or as
// Qt renders it where the platform cannot read the screen back.
QPixmap Screenshot(BrowserWindow& window) {
    if (QScreen* screen = window.screen()) {
        QPixmap shot = screen->grabWindow(window.winId());
        if (!shot.isNull()) return shot;
    }
    return window.grab();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    BrowserWindow window;
    if (args.size() == 1) {
        window.show();
        return app.exec();
    }
    if (args.size() != 10 || args[1] != "--auto" || args[8] != "--screenshot") return Usage();
    const QString remote = args[6], local = args[7], shotFile = args[9];
    const int slash = remote.lastIndexOf('/');
    const QString directory = slash < 0 ? QString() : remote.left(slash + 1);
    const QString name = remote.mid(slash + 1);

    int exitCode = 1;
    auto finish = [&](int code, const char* why) {
        if (why != nullptr) std::fprintf(stderr, "qt_browser: %s\n", why);
        exitCode = code;
        QTimer::singleShot(0, &app, &QApplication::quit);
    };
    window.onDone = [&](const QString& op, bool ok) {
        if (op == "Lost") return finish(1, "the connection ended");
        if (!ok) return finish(1, qPrintable(op + " failed"));
        if (op == "Dir") {
            std::printf("rows: %d\n", window.RowCount());
            if (!window.SelectRow(name)) return finish(1, "the listing lacks the file");
            window.Download(name, local);
        } else if (op == "GetFile") {
            // Lets the window paint its last state (the full progress bar) before the shot.
            QTimer::singleShot(300, &app, [&] {
                const QRect table = window.TableArea();
                std::printf("table: %d %d %d %d\n", table.x(), table.y(), table.width(), table.height());
                std::fflush(stdout);
                if (!Screenshot(window).save(shotFile, "PNG")) return finish(1, "cannot save the screenshot");
                finish(0, nullptr);
            });
        }
    };
    QTimer::singleShot(60000, &app, [&] { finish(1, "no end within 60 s"); });
    window.SetLogin(args[2], args[3], args[4], args[5], directory);
    window.show();
    window.ConnectAndList();
    app.exec();
    // The window outlives `finish`: what it reports while closing goes nowhere.
    window.onDone = nullptr;
    return exitCode;
}
