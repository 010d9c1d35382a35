// libuv_host: the control on a libuv loop.
//
//   libuv_host HOST PORT USER PASSWORD REMOTE LOCAL
//
// Runs the dialogue of examples/loops/common/trace_session.h (log in, list REMOTE's
// directory, download REMOTE to LOCAL, upload, an aborted upload, a reply time-out), printing
// every event on one line. Exits 0 when every step succeeded.
#include <iostream>

#include <tarsel/loops/libuv_loop.h>
#include <tarsel/tarsel.h>

#include "../common/trace_session.h"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::cerr << "usage: libuv_host HOST PORT USER PASSWORD REMOTE LOCAL\n";
        return 2;
    }
    uv_loop_t* loop = uv_default_loop();
    bool succeeded = false;
    {
        tarselctl::LibuvPlatform platform(loop);
        tarselctl::tarsel control(platform);
        control.InitProperties();
        loop_examples::TraceSession session(control, argv[5], argv[6]);
        if (!session.Start(argv[1], argv[2], argv[3], argv[4])) return 1;

        // A guard against a silent server; stopped (and the loop left) once the dialogue ends.
        uv_timer_t guard;
        uv_timer_init(loop, &guard);
        guard.data = &session;
        uv_timer_start(&guard, [](uv_timer_t* t) {
            auto* s = static_cast<loop_examples::TraceSession*>(t->data);
            if (!s->Finished()) s->GiveUp();
        }, 60000, 0);
        uv_check_t finish;
        uv_check_init(loop, &finish);
        finish.data = &session;
        uv_check_start(&finish, [](uv_check_t* c) {
            if (static_cast<loop_examples::TraceSession*>(c->data)->Finished()) uv_stop(c->loop);
        });
        uv_run(loop, UV_RUN_DEFAULT);
        succeeded = session.Succeeded();
        uv_close(reinterpret_cast<uv_handle_t*>(&guard), nullptr);
        uv_close(reinterpret_cast<uv_handle_t*>(&finish), nullptr);
    }
    // Lets the handles closed above (the platform's too) finish closing.
    uv_run(loop, UV_RUN_NOWAIT);
    uv_loop_close(loop);
    return succeeded ? 0 : 1;
}
