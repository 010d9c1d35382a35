// Writes the seed corpus of the control fuzzer: transcripts of whole dialogues (logins,
// listings, downloads and uploads in both modes, time-outs) and of the re-entrant and
// hostile cases found by hand, in the fuzzer's program language.
//
//   cmake --build build --target control_fuzz_seeds
//   build/tests/fuzz/control_fuzz_seeds fuzz/corpus/control
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "control_program.h"

using namespace tarselctl::fuzzing;

namespace {

// Indexes into kArgs.
constexpr std::uint8_t kFile = 1, kCrLfArg = 3, kHost = 16, kPreCommands = 21;

ProgramWriter Transfer(Call call, bool passive, const char* modeReply = nullptr) {
    ProgramWriter p;
    p.Login();
    if (passive) p.Set(kPassive, 1);
    p.Call(call, kFile, kFile).Reply("200 ok\r\n");
    if (modeReply) p.Reply(modeReply);
    else p.Reply(passive ? kReplies[5] : "200 ok\r\n");
    if (!passive) p.Step(kAccept, {0});
    p.Step(kDataUp);
    return p;
}

std::map<std::string, ProgramWriter> Seeds() {
    std::map<std::string, ProgramWriter> seeds;
    seeds["login"].Login();
    seeds["login_refused_then_user"]
        .Call(kConnect, kHost, kFile).Step(kGreet).Reply("220 ready\r\n").Reply("331 password please\r\n")
        .Reply("530 not logged in\r\n").Call(kLogin, kFile, kFile).Reply("331 password please\r\n")
        .Reply("230 logged in\r\n");
    for (bool passive : {false, true}) {
        const std::string mode = passive ? "_passive" : "_active";
        seeds["dir" + mode] = Transfer(kDir, passive);
        seeds["dir" + mode].Reply(kReplies[6]).Step(kDataText, {0}).Step(kClose, {2}).Reply(kReplies[7]);
        seeds["get" + mode] = Transfer(kGetFile, passive);
        seeds["get" + mode].Reply(kReplies[6]).Raw(kData, "hello, world").Reply(kReplies[7]).Step(kClose, {2});
        seeds["put" + mode] = Transfer(kPutFile, passive);
        seeds["put" + mode].Reply(kReplies[6]);
        for (int i = 0; i < 4; ++i) seeds["put" + mode].Step(kSendDone, {1});
        seeds["put" + mode].Reply(kReplies[7]);
        seeds["append" + mode] = Transfer(kAppendFile, passive);
        seeds["append" + mode].Reply(kReplies[6]).Step(kSendDone, {1}).Reply(kReplies[7]).Step(kSendDone, {1});
    }

    // The host calls back from inside events.
    seeds["abort_in_first_dir_line"].Arm(kOnDirData, kAbort);
    seeds["abort_in_first_dir_line"].bytes.insert(seeds["abort_in_first_dir_line"].bytes.end(),
                                                  seeds["dir_passive"].bytes.begin(), seeds["dir_passive"].bytes.end());
    {
        ProgramWriter p;
        p.Set(kFileCode, 1).Arm(kOnGetData, kAbend, 1);
        ProgramWriter t = Transfer(kGetFile, true);
        p.bytes.insert(p.bytes.end(), t.bytes.begin(), t.bytes.end());
        p.Reply(kReplies[6]).Raw(kData, "abc\x82").Step(kClose, {2});
        seeds["abend_in_last_get_data"] = p;
    }
    {
        ProgramWriter p;
        p.Login().Set(kPassive, 1).Arm(kOnPutOpen, kAbort).Call(kPutFile, kFile, kFile).Reply("200 ok\r\n")
            .Reply(kReplies[5]).Reply(kReplies[6]).Step(kDataUp).Reply(kReplies[7]);
        seeds["abort_in_put_open"] = p;
    }
    {
        ProgramWriter p;
        p.Arm(kOnDirData, kPwd, 0, true);
        ProgramWriter t = Transfer(kDir, true);
        p.bytes.insert(p.bytes.end(), t.bytes.begin(), t.bytes.end());
        p.Reply(kReplies[6]).Step(kDataText, {1}).Step(kClose, {2}).Reply(kReplies[7]);
        seeds["host_throws_in_dir_data"] = p;
    }
    seeds["connect_again_inside_disconnected"].Login().Arm(kOnDisConnected, kConnect, 0, false, kHost, kFile)
        .Call(kAbend).Step(kGreet).Reply("220 ready\r\n").Reply("331 password please\r\n").Reply("230 logged in\r\n");
    seeds["account_written_inside_connected"]
        .Arm(kOnConnected, kWriteProperty, 0, false, kAccount, kCrLfArg).Call(kConnect, kHost, kFile)
        .Step(kGreet).Reply("220 ready\r\n").Reply("331 password please\r\n").Reply("332 account please\r\n");

    // Hostile servers.
    seeds["multiline_greeting_with_digit_lines"]
        .Call(kConnect, kHost, kFile).Step(kGreet).Reply("220-welcome\r\n").Reply("2 mirrors are available\r\n")
        .Reply("230 users max\r\n").Reply("220 end of welcome\r\n").Reply("331 password please\r\n")
        .Reply("230 logged in\r\n").Call(kDelete, kFile).Reply("550 no such file\r\n");
    seeds["pasv_out_of_range"] = Transfer(kDir, true, kReplies[22].c_str());
    seeds["pasv_without_address"] = Transfer(kGetFile, true, kReplies[23].c_str());
    seeds["data_from_a_stranger"].Login().Call(kDir).Reply("200 ok\r\n").Reply("200 ok\r\n").Step(kAccept, {1})
        .Step(kAccept, {0}).Step(kDataUp).Reply(kReplies[6]).Step(kDataText, {0}).Step(kClose, {2}).Reply(kReplies[7]);
    seeds["data_connection_error"] = Transfer(kGetFile, true);
    seeds["data_connection_error"].Reply(kReplies[6]).Raw(kData, "part").Step(kError, {2, 1}).Reply(kReplies[15]);
    seeds["flood_reply_line"].Login().Step(kFlood, {0xF0, 'x', 40}).Reply("200 ok\r\n");
    seeds["flood_listing_line"] = Transfer(kDir, true);
    seeds["flood_listing_line"].Reply(kReplies[6]).Step(kFlood, {0xF1, 'y', 40}).Step(kClose, {2}).Reply(kReplies[7]);
    seeds["bare_lf_and_cr_lines"].Call(kConnect, kHost, kFile).Step(kGreet).Raw(kReceive, "220 ready\n331 pw\r")
        .Raw(kReceive, "\n230 ok\n");

    // Settings, keep-alive and time-outs.
    seeds["pre_commands"].Set(kPreCommand, kPreCommands).Call(kConnect, kHost, kFile).Step(kGreet)
        .Reply("220 ready\r\n").Reply("331 password please\r\n").Reply("200 ok\r\n").Reply("331 password please\r\n")
        .Reply("230 logged in\r\n");
    seeds["keep_alive"].Set(kNoopTime, 3).Login().Step(kTick, {0, 5}).Reply("200 ok\r\n");
    seeds["connect_timeout"].Set(kConnectTimeout, 3).Call(kConnect, kHost, kFile).Step(kTick, {1, 7});
    seeds["reply_timeout"].Set(kReplyTimeout, 3).Login().Call(kPwd).Step(kTick, {1, 7});
    seeds["trans_timeout"].Set(kTransTimeout, 3);
    {
        ProgramWriter t = Transfer(kGetFile, true);
        seeds["trans_timeout"].bytes.insert(seeds["trans_timeout"].bytes.end(), t.bytes.begin(), t.bytes.end());
        seeds["trans_timeout"].Reply(kReplies[6]).Step(kTick, {1, 7}).Step(kTick, {1, 7});
    }
    seeds["one_byte_upload_block"].Step(kPutPlan, {3, 4, 1, 0});
    {
        ProgramWriter t = Transfer(kPutFile, true);
        auto& p = seeds["one_byte_upload_block"];
        p.bytes.insert(p.bytes.end(), t.bytes.begin(), t.bytes.end());
        p.Reply(kReplies[6]).Step(kSendDone, {1}).Step(kSendDone, {1}).Step(kSendDone, {1}).Reply(kReplies[7]);
    }
    seeds["sends_held_back"].Step(kBlocking, {0, 1}).Call(kConnect, kHost, kFile).Step(kGreet)
        .Reply("220 ready\r\n").Call(kAbort).Reply("331 password please\r\n").Step(kSendDone, {0})
        .Step(kSendDone, {0}).Reply("230 logged in\r\n").Call(kDisConnect).Reply("221 bye\r\n").Step(kClose, {0});

    // FTPS, UTF-8.
    for (bool passive : {false, true}) {
        ProgramWriter& p = seeds[passive ? "tls_explicit_get_passive" : "tls_explicit_put_active"];
        p.Set(kTlsMode, 1).Call(kConnect, 16, 1).Step(kGreet).Reply("220 ready\r\n")
            .Reply("234 proceed with negotiation\r\n").Step(kSecure, {0})
            .Reply("331 password please\r\n").Reply("230 logged in\r\n").Reply("200 ok\r\n")
            .Reply("200 ok\r\n");
        if (passive) p.Set(kPassive, 1);
        p.Call(passive ? kGetFile : kPutFile, kFile, kFile).Reply("200 ok\r\n")
            .Reply(passive ? kReplies[5] : "200 ok\r\n").Reply(kReplies[6]);
        if (!passive) p.Step(kAccept, {0});
        p.Step(kDataUp).Step(kSecure, {1});
        if (passive) p.Raw(kData, "protected").Step(kClose, {2});
        else p.Step(kSendDone, {1}).Step(kSendDone, {1});
        p.Reply(kReplies[7]);
    }
    seeds["tls_implicit_refused_handshake"].Set(kTlsMode, 2).Call(kConnect, 16, 1).Step(kGreet)
        .Step(kError, {0, 1});
    seeds["tls_auth_refused"].Set(kTlsMode, 1).Call(kConnect, 16, 1).Step(kGreet)
        .Reply("220 ready\r\n").Reply("530 not logged in\r\n");
    seeds["utf8_listing_and_file"] = Transfer(kDir, true);
    seeds["utf8_listing_and_file"].bytes.insert(seeds["utf8_listing_and_file"].bytes.begin(),
                                                {kProperty, kSysCode, 4, kProperty, kFileCode, 5,
                                                 kProperty, kHostCode, 1});
    seeds["utf8_listing_and_file"].Reply(kReplies[6]).Raw(kData, "caf\xC3\xA9\r\n\xF0\x9F\x98")
        .Raw(kData, "\x80\r\n\xE6").Step(kClose, {2}).Reply(kReplies[7])
        .Reply("200 \xE6\x97\xA5\xF0\x9F\x98\x80 \xE6\x97\r\n");
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    for (const auto& [name, program] : Seeds()) {
        std::ofstream out(std::filesystem::path(argv[1]) / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(program.bytes.data()),
                  static_cast<std::streamsize>(program.bytes.size()));
    }
    return 0;
}
