// qt_host: the control on a Qt event loop (QCoreApplication).
//
//   qt_host HOST PORT USER PASSWORD REMOTE LOCAL
//
// Runs the dialogue of examples/loops/common/trace_session.h (log in, list REMOTE's
// directory, download REMOTE to LOCAL, upload, an aborted upload, a reply time-out), printing
// every event on one line. Exits 0 when every step succeeded.
#include <QCoreApplication>
#include <QTimer>

#include <iostream>

#include <tarsel/loops/qt_loop.h>
#include <tarsel/tarsel.h>

#include "../common/trace_session.h"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::cerr << "usage: qt_host HOST PORT USER PASSWORD REMOTE LOCAL\n";
        return 2;
    }
    QCoreApplication app(argc, argv);
    tarselctl::QtPlatform platform;
    tarselctl::tarsel control(platform);
    control.InitProperties();
    loop_examples::TraceSession session(control, argv[5], argv[6]);
    // Queued: the loop is left once the event that ended the dialogue has returned.
    session.onFinished = [&app] { QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection); };
    if (!session.Start(argv[1], argv[2], argv[3], argv[4])) return 1;

    // A guard against a silent server.
    QTimer::singleShot(60000, &app, [&session] {
        if (!session.Finished()) session.GiveUp();
    });
    if (!session.Finished()) app.exec();
    return session.Succeeded() ? 0 : 1;
}
