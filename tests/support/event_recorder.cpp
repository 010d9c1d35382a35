#include "support/event_recorder.h"

namespace tarselctl {

void EventRecorder::QueueUpload(std::string_view bytes) {
    uploadBlocks.emplace_back(bytes.begin(), bytes.end());
}

void EventRecorder::Clear() {
    events.clear();
    received.clear();
}

std::vector<std::string> EventRecorder::NonTraceEvents() const {
    std::vector<std::string> out;
    for (const auto& line : events)
        if (line.rfind("Trace(", 0) != 0) out.push_back(line);
    return out;
}

void EventRecorder::Trace(const String& msg) {
    const bool diagnostic = msg.rfind(u"---", 0) == 0;
    const bool state = msg.rfind(u"---data:phase:", 0) == 0 || msg.rfind(u"---upload:gate:", 0) == 0 ||
                       msg.rfind(u"---timer2:kind:", 0) == 0;
    if (recordTraces && !(diagnostic && skipDiagnosticTraces) && !(state && skipStateTraces))
        events.push_back("Trace(" + ToUtf8(msg) + ")");
    if (onTrace) onTrace(msg);
}

void EventRecorder::Connected() {
    events.push_back("Connected");
    if (onConnected) onConnected();
}

void EventRecorder::DisConnected(Long code, const String& msg) {
    events.push_back("DisConnected(" + std::to_string(code) + "," + ToUtf8(msg) + ")");
    if (onDisConnected) onDisConnected(code, msg);
}

void EventRecorder::CommandDone(Integer code, const String& FtpCommand, const String& msg) {
    events.push_back("CommandDone(" + std::to_string(code) + "," + ToUtf8(FtpCommand) + "," +
                     ToUtf8(msg) + ")");
    if (onCommandDone) onCommandDone(code, FtpCommand, msg);
}

void EventRecorder::GetOpen(const String& SaveFileName) {
    events.push_back("GetOpen(" + ToUtf8(SaveFileName) + ")");
    if (onGetOpen) onGetOpen(SaveFileName);
}

void EventRecorder::GetData(ByteArray& Data) {
    events.push_back("GetData(" + std::to_string(Data.size()) + ")");
    received.append(Data.begin(), Data.end());
    if (onGetData) onGetData(Data);
}

void EventRecorder::GetClose() {
    events.push_back("GetClose");
    if (onGetClose) onGetClose();
}

void EventRecorder::PutOpen(const String& LoadFileName) {
    events.push_back("PutOpen(" + ToUtf8(LoadFileName) + ")");
    if (onPutOpen) onPutOpen(LoadFileName);
}

void EventRecorder::PutData(ByteArray& Data) {
    events.push_back("PutData");
    if (uploadBlocks.empty()) {
        Data.clear();
    } else {
        Data = std::move(uploadBlocks.front());
        uploadBlocks.pop_front();
    }
    if (onPutData) onPutData(Data);
}

void EventRecorder::PutClose() {
    events.push_back("PutClose");
    if (onPutClose) onPutClose();
}

void EventRecorder::DirOpen() {
    events.push_back("DirOpen");
    if (onDirOpen) onDirOpen();
}

void EventRecorder::DirData(String& Data) {
    events.push_back("DirData(" + ToUtf8(Data) + ")");
    if (onDirData) onDirData(Data);
}

void EventRecorder::DirClose() {
    events.push_back("DirClose");
    if (onDirClose) onDirClose();
}

void EventRecorder::TransError(Long Ecode, const String& Description, const String& Where) {
    events.push_back("TransError(" + std::to_string(Ecode) + "," + ToUtf8(Description) + "," +
                     ToUtf8(Where) + ")");
    if (onTransError) onTransError(Ecode, Description, Where);
}

}  // namespace tarselctl
