// The reading of the kernel's TCP queues that decides whether a failed interop test is put on
// the server: first on a fixed table, then on a real loopback connection of this process
// whose "server" never reads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "interop/tcp_queues.h"

namespace {

using ::testing::HasSubstr;
using namespace tcp_queues;

// The server's listener on 22024 (0x5608), both ends of a control connection from port 40000
// (0x9C40) and both ends of a data connection from port 40001 to the server's port 22250
// (0x56EA), as the kernel prints them.
constexpr const char* kTable =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n"
    "   0: 0100007F:5608 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "1111 1 0000000000000000 100 0 0 10 0\n"
    "   1: 0100007F:9C40 0100007F:5608 01 00000000:00000000 00:00000000 00000000     0        0 "
    "2222 1 0000000000000000 20 4 30 10 -1\n"
    "   2: 0100007F:5608 0100007F:9C40 01 00000000:0000000D 00:00000000 00000000     0        0 "
    "3333 1 0000000000000000 20 4 30 10 -1\n"
    "   3: 0100007F:9C41 0100007F:56EA 01 00000000:00000000 00:00000000 00000000     0        0 "
    "4444 1 0000000000000000 20 4 30 10 -1\n"
    "   4: 0100007F:56EA 0100007F:9C41 01 00000000:00000000 00:00000000 00000000     0        0 "
    "5555 1 0000000000000000 20 4 30 10 -1\n"
    "   5: not a socket line\n";

TEST(TcpQueues, ReadsTheKernelTableAndPutsOnlyAnUnreadCommandOnTheServer) {
    std::vector<TcpEntry> table = ParseProcNetTcp(kTable);
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table[1].localPort, 40000);
    EXPECT_EQ(table[1].remotePort, 22024);
    EXPECT_EQ(table[1].state, 1);
    EXPECT_EQ(table[1].inode, 2222u);
    EXPECT_EQ(table[2].rxQueue, 13u);
    EXPECT_EQ(table[2].localAddr, table[1].remoteAddr);

    // The server has left the 13 bytes of "USER tarsel\r\n" unread.
    const std::set<std::uint64_t> client = {2222, 4444};
    Verdict v = ExplainMissingReply(table, client, 22024);
    EXPECT_TRUE(v.serverStalled);
    EXPECT_THAT(v.explanation,
                HasSubstr("has not read the last 13 bytes the client sent on the control "
                          "connection from port 40000"));

    // An upload the server stopped reading, with the command read.
    table[2].rxQueue = 0;
    table[4].rxQueue = 65536;
    v = ExplainMissingReply(table, client, 22024);
    EXPECT_TRUE(v.serverStalled);
    EXPECT_THAT(v.explanation, HasSubstr("65536 bytes the client sent on the data connection"));

    // A reply or download the client never read: the client's fault, whatever the server did.
    table[3].rxQueue = 33;
    v = ExplainMissingReply(table, client, 22024);
    EXPECT_FALSE(v.serverStalled);
    EXPECT_THAT(v.explanation, HasSubstr("33 bytes wait unread in the client's data connection"));
    table[3].rxQueue = 0;
    table[4].rxQueue = 0;
    table[1].rxQueue = 12;
    v = ExplainMissingReply(table, client, 22024);
    EXPECT_FALSE(v.serverStalled);
    EXPECT_THAT(v.explanation, HasSubstr("12 bytes wait unread in the client's control"));

    // The server read everything and said nothing: perhaps a line it is still waiting to see
    // end, so nothing is put on it.
    table[1].rxQueue = 0;
    v = ExplainMissingReply(table, client, 22024);
    EXPECT_FALSE(v.serverStalled);
    EXPECT_THAT(v.explanation, HasSubstr("sent nothing back"));

    // A client without a connection to that port, and a connection whose server end is gone.
    EXPECT_FALSE(ExplainMissingReply(table, {9999}, 22024).serverStalled);
    table.erase(table.begin() + 2);
    v = ExplainMissingReply(table, client, 22024);
    EXPECT_FALSE(v.serverStalled);
    EXPECT_THAT(v.explanation, HasSubstr("is gone"));
}

// Polls the kernel's table until `ready` holds (loopback delivery is not synchronous with
// send() in every kernel); false after a few seconds.
bool WaitForTable(const std::function<bool()>& ready) {
    for (int i = 0; i < 500; ++i) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

TEST(TcpQueues, TellsAServerThatStoppedReadingFromOneThatDidNotAnswer) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::uint16_t port = ntohs(addr.sin_port);

    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const int server = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);

    // This process holds both ends; the client is the socket that connected.
    struct stat info {};
    ASSERT_EQ(::fstat(client, &info), 0);
    const std::uint64_t clientInode = info.st_ino;
    EXPECT_EQ(SocketInodesOf(::getpid()).count(clientInode), 1u);
    const auto explain = [&] {
        return ExplainMissingReply(ReadProcNetTcp(), {clientInode}, port);
    };

    const std::string command = "USER tarsel\r\n";
    ASSERT_EQ(::send(client, command.data(), command.size(), 0), 13);
    ASSERT_TRUE(WaitForTable([&] { return explain().serverStalled; })) << explain().explanation;
    EXPECT_THAT(explain().explanation, HasSubstr("has not read the last 13 bytes"));

    char buffer[64];
    ASSERT_EQ(::recv(server, buffer, sizeof buffer, 0), 13);
    ASSERT_TRUE(WaitForTable([&] {
        return explain().explanation.find("sent nothing back") != std::string::npos;
    })) << explain().explanation;
    EXPECT_FALSE(explain().serverStalled);

    const std::string reply = "331 Username ok, send password.\r\n";
    ASSERT_EQ(::send(server, reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
    ASSERT_TRUE(WaitForTable([&] {
        return explain().explanation.find("unread in the client's control") != std::string::npos;
    })) << explain().explanation;
    EXPECT_FALSE(explain().serverStalled);

    ::close(server);
    ::close(client);
    ::close(listener);
}

}  // namespace
