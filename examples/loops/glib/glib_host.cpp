// glib_host: the control on a GLib main loop.
//
//   glib_host HOST PORT USER PASSWORD REMOTE LOCAL
//
// Runs the dialogue of examples/loops/common/trace_session.h (log in, list REMOTE's
// directory, download REMOTE to LOCAL, upload, an aborted upload, a reply time-out), printing
// every event on one line. Exits 0 when every step succeeded.
#include <iostream>

#include <tarsel/loops/glib_loop.h>
#include <tarsel/tarsel.h>

#include "../common/trace_session.h"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::cerr << "usage: glib_host HOST PORT USER PASSWORD REMOTE LOCAL\n";
        return 2;
    }
    tarselctl::GlibPlatform platform;
    tarselctl::tarsel control(platform);
    control.InitProperties();
    loop_examples::TraceSession session(control, argv[5], argv[6]);
    if (!session.Start(argv[1], argv[2], argv[3], argv[4])) return 1;

    const gint64 deadline = g_get_monotonic_time() + 60 * G_TIME_SPAN_SECOND;
    // The default main context, as a GTK program's main loop runs it.
    while (!session.Finished()) {
        if (g_get_monotonic_time() > deadline) session.GiveUp();
        g_main_context_iteration(nullptr, TRUE);
    }
    return session.Succeeded() ? 0 : 1;
}
