// Records the control's events as readable lines and lets a test act from inside them.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <tarsel/tarsel.h>

namespace tarselctl {

/// Event sink that appends one UTF-8 line per event to `events`:
///
///   Trace(Connect>>USER anonymous)     Connected             DisConnected(0,)
///   CommandDone(0,Connect,Login ok.)   GetOpen(local.txt)    GetData(5)   GetClose
///   PutOpen(x)   PutData   PutClose    DirOpen   DirData(line)   DirClose
///   TransError(-1,connect timeout,timer)
///
/// Arguments are joined with "," and not escaped. GetData records the byte count and appends
/// the bytes to `received`. PutData hands the control the next block of `uploadBlocks` (an
/// empty array once the queue is exhausted, which ends the upload).
///
/// Each `on...` hook, when set, runs after the event has been recorded, with the event's own
/// arguments; a hook may call back into the control (Abend from inside Trace, a new operation
/// from inside CommandDone) or change a by-reference argument.
class EventRecorder : public tarselEvents {
public:
    std::vector<std::string> events;
    /// Every byte delivered by GetData, in order.
    std::string received;
    /// Blocks PutData supplies, front first.
    std::deque<ByteArray> uploadBlocks;

    /// When false, Trace events are not recorded (their hook still runs).
    bool recordTraces = true;
    /// When true, diagnostic traces (text beginning "---") are not recorded.
    bool skipDiagnosticTraces = false;
    /// When true (the default), the control's traces of its own state changes ("---data:phase:",
    /// "---upload:gate:", "---timer2:kind:") are not recorded: transcripts of the dialogue stay as the server and
    /// the host see it, and the tests of those changes turn this off.
    bool skipStateTraces = true;

    std::function<void(const String&)> onTrace;
    std::function<void()> onConnected;
    std::function<void(Long, const String&)> onDisConnected;
    std::function<void(Integer, const String&, const String&)> onCommandDone;
    std::function<void(const String&)> onGetOpen;
    std::function<void(ByteArray&)> onGetData;
    std::function<void()> onGetClose;
    std::function<void(const String&)> onPutOpen;
    std::function<void(ByteArray&)> onPutData;
    std::function<void()> onPutClose;
    std::function<void()> onDirOpen;
    std::function<void(String&)> onDirData;
    std::function<void()> onDirClose;
    std::function<void(Long, const String&, const String&)> onTransError;

    /// Queues `bytes` as one upload block.
    void QueueUpload(std::string_view bytes);
    /// Forgets `events` and `received`; options, hooks and queued blocks stay.
    void Clear();
    /// The recorded lines that do not start with "Trace(".
    std::vector<std::string> NonTraceEvents() const;

    void Trace(const String& msg) override;
    void Connected() override;
    void DisConnected(Long code, const String& msg) override;
    void CommandDone(Integer code, const String& FtpCommand, const String& msg) override;
    void GetOpen(const String& SaveFileName) override;
    void GetData(ByteArray& Data) override;
    void GetClose() override;
    void PutOpen(const String& LoadFileName) override;
    void PutData(ByteArray& Data) override;
    void PutClose() override;
    void DirOpen() override;
    void DirData(String& Data) override;
    void DirClose() override;
    void TransError(Long Ecode, const String& Description, const String& Where) override;
};

}  // namespace tarselctl
