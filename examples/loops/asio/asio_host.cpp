// asio_host: the control on a standalone Asio io_context (the Asio platform).
//
//   asio_host HOST PORT USER PASSWORD REMOTE LOCAL
//
// Runs the dialogue of examples/loops/common/trace_session.h (log in, list REMOTE's
// directory, download REMOTE to LOCAL, upload, an aborted upload, a reply time-out), printing
// every event on one line. Exits 0 when every step succeeded.
#include <chrono>
#include <iostream>

#include <asio/io_context.hpp>

#include <tarsel/asio_platform.h>
#include <tarsel/tarsel.h>

#include "../common/trace_session.h"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::cerr << "usage: asio_host HOST PORT USER PASSWORD REMOTE LOCAL\n";
        return 2;
    }
    asio::io_context io;
    tarselctl::AsioPlatform platform(io);
    tarselctl::tarsel control(platform);
    control.InitProperties();
    loop_examples::TraceSession session(control, argv[5], argv[6]);
    if (!session.Start(argv[1], argv[2], argv[3], argv[4])) return 1;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!session.Finished()) {
        if (std::chrono::steady_clock::now() > deadline) session.GiveUp();
        io.run_one_for(std::chrono::milliseconds(100));
    }
    return session.Succeeded() ? 0 : 1;
}
