// queue_example: download several files over a few connections at once, on one thread.
//
//   queue_example HOST PORT CONNECTIONS REMOTE...
//
// Each REMOTE is saved under its last path component in the current directory. The queue
// logs in as many connections as there are files waiting, up to CONNECTIONS, and hands each
// file to the next idle one; a connection lost on the way is replaced and its file resumed.
// Bytes arrive with their offset in the file, so a resumed download writes where it stopped.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <asio/io_context.hpp>
#include <tarsel/asio_platform.h>
#include <tarsel/transfer_queue.h>

using namespace tarselctl;

class Downloads : public TransferQueueEvents {
public:
    void Expect(JobId job, const std::string& local) { files_[job] = File{local, -1}; }
    int failed = 0;

    void JobStarted(JobId job, int attempt) override {
        File& f = files_[job];
        if (f.fd < 0) f.fd = ::open(f.name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (f.fd < 0) std::perror(f.name.c_str());
        if (attempt > 1) std::printf("%s: attempt %d\n", f.name.c_str(), attempt);
    }
    void JobData(JobId job, std::uint64_t offset, ByteArray& data) override {
        File& f = files_[job];
        if (f.fd < 0 || ::pwrite(f.fd, data.data(), data.size(), static_cast<off_t>(offset)) !=
                            static_cast<ssize_t>(data.size())) {
            f.writeFailed = true;
            queue->Cancel(job);
        }
    }
    void JobFinished(JobId job, const String&) override {
        File& f = files_[job];
        const bool ok = Close(f) && !f.writeFailed;
        std::printf("%s: %s\n", f.name.c_str(), ok ? "done" : "write failed");
        if (!ok) {
            ++failed;
            std::remove(f.name.c_str());
        }
    }
    void JobFailed(JobId job, const QueueJobError& e) override {
        File& f = files_[job];
        Close(f);
        std::remove(f.name.c_str());  // a failed download leaves no partial file behind
        ++failed;
        std::fprintf(stderr, "%s: %s %d %s", f.name.c_str(), ToUtf8(e.operation).c_str(), e.code,
                     ToUtf8(e.message).c_str());
        if (e.transError != 0) std::fprintf(stderr, " (%s)", ToUtf8(e.transDescription).c_str());
        std::fprintf(stderr, "\n");
    }
    // Everything has ended: log the connections out; the loop ends once they have closed.
    void QueueEmpty() override { queue->Close(); }

    TransferQueue* queue = nullptr;

private:
    struct File {
        std::string name;
        int fd = -1;
        bool writeFailed = false;
    };
    static bool Close(File& f) {
        const bool ok = f.fd >= 0 && ::close(f.fd) == 0;
        f.fd = -1;
        return ok;
    }
    std::map<JobId, File> files_;
};

int main(int argc, char** argv) {
    if (argc < 5 || std::atoi(argv[3]) < 1) {
        std::fprintf(stderr, "usage: queue_example HOST PORT CONNECTIONS REMOTE...\n");
        return 2;
    }
    asio::io_context io;
    AsioPlatform platform(io);
    // The settings every connection of the queue takes.
    tarsel settings(platform);
    settings.InitProperties();
    settings.put_port(FromUtf8(argv[2]));
    settings.put_Passive(True);
    settings.TraceOn = False;

    Downloads host;
    TransferQueue queue(platform, settings, QueueServer{FromUtf8(argv[1]), u"anonymous", u"guest@"},
                        std::atoi(argv[3]), host);
    host.queue = &queue;
    for (int i = 4; i < argc; ++i) {
        const std::string remote = argv[i];
        const std::string local = remote.substr(remote.find_last_of('/') + 1);
        host.Expect(queue.Add(QueueJob{QueueJob::Kind::Download, FromUtf8(remote)}), local);
    }
    io.run();
    return host.failed == 0 ? 0 : 1;
}
