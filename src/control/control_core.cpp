// The control object: start values, child components, event sinks.
#include "control/control_core.h"

#include "components/soquet_sink.h"
#include "code_converters/utf8_stream_converter.h"
#include "control/step.h"

#include <cassert>

namespace tarselctl {

namespace {
const String kBanner = u"tarsel FTP client control version 0.1.0 - the tarsel project";
constexpr Long kPixels = 32;
}  // namespace

ControlCore::ControlCore(Platform& platform, Boolean& traceOn) : TraceOn(traceOn), m_Platform(platform) {
    m_Sink1 = std::make_unique<SoquetSink>(*this, 1);
    m_Sink2 = std::make_unique<SoquetSink>(*this, 2);
    m_Sink3 = std::make_unique<SoquetSink>(*this, 3);
    Soquet1 = platform.CreateSoquet();
    Soquet2 = platform.CreateSoquet();
    Soquet3 = platform.CreateSoquet();
    Codawa1 = platform.CreateCodawa();
    Codawa2 = platform.CreateCodawa();
    Timer1 = platform.CreateTimer();
    Timer2 = platform.CreateTimer();
    Soquet1->SetEvents(m_Sink1.get());
    Soquet2->SetEvents(m_Sink2.get());
    Soquet3->SetEvents(m_Sink3.get());
    Timer1->SetTickHandler([this] {
        Entry entry(*this);
        try {
            Timer1_Tick();
        } catch (...) {
        }
    });
    Timer2->SetTickHandler([this] {
        Entry entry(*this);
        try {
            Timer2_Tick();
        } catch (...) {
        }
    });

    // Start values, in the order the control has always set them.
    m_Port = u"21";
    m_Password.clear();
    m_Rest.clear();
    m_Filetype = u"I";
    m_SysCode.Set(SysCode::Euc);
    m_FileCode.Set(FileCode::Bin);
    m_Copyright = kBanner;
    m_DisconnectCode = 0;
    m_DisconnectMsg.clear();
    m_Label1 = m_Copyright;
    m_Passive = False;
    m_PreCommand.clear();
    TraceOn = True;
    StopNoopTimer();
    Timer1->put_Interval(1000);
    m_NoopCountdown = -1;
    m_NoopTime = 0;
    StopTimeoutTimer();
    Timer2->put_Interval(1000);
    m_TimeoutCountdown = -1;
    m_TimeoutKind = 0;
    m_ConnectTimeout = 0;
    m_TransTimeout = 0;
    m_Width = kPixels * m_Platform.UnitsPerPixelX();
    m_Height = kPixels * m_Platform.UnitsPerPixelY();
}

ControlCore::~ControlCore() {
    // Closing sockets while the control is half destroyed must not call back into it.
    for (Soquet* s : {Soquet1.get(), Soquet2.get(), Soquet3.get()})
        if (s) s->SetEvents(nullptr);
    for (Timer* t : {Timer1.get(), Timer2.get()}) {
        if (!t) continue;
        t->put_Enabled(false);
        t->SetTickHandler(nullptr);
    }
}

Long ControlCore::Advise(tarselEvents& sink) {
    Long cookie = m_NextCookie++;
    m_Sinks.emplace(cookie, &sink);
    return cookie;
}

void ControlCore::Unadvise(Long cookie) { m_Sinks.erase(cookie); }

void ControlCore::RaiseTrace(const String& msg) { Raise(outbox::Trace{msg}); }

void ControlCore::SetState(Dialogue to) {
    if (to == m_State) return;
#ifndef NDEBUG
    // A change no path of the dialogue makes is the control's own fault.
    assert(IsDialogueChange(m_State, to));
    constexpr std::size_t kKept = 32;
    if (m_StateChanges.size() == kKept) m_StateChanges.erase(m_StateChanges.begin());
    m_StateChanges.emplace_back(m_State, to);
#endif
    m_State = to;
}

void ControlCore::SetSent(Word word, const String& text) {
    m_Sent = word;
    if (word == Word::Other) m_SentOther = text;
    else m_SentOther.clear();
}

String ControlCore::OperationText() const {
    switch (m_State) {
    case Dialogue::Closed: return String();
    case Dialogue::Finishing:
    case Dialogue::Idle:
    case Dialogue::Parting: return u"DONE";
    default: return OperationName(m_Op.kind);
    }
}

String ControlCore::get_FtpCommand() const { return OperationText(); }

void ControlCore::RaiseDiagnostic(const String& prefix, const String& text) {
    if (TraceOn != False) RaiseTrace(prefix + text);
}

void ControlCore::SetDataPhase(Long phase) {
    if (phase == m_DataPhase) return;
    m_DataPhase = phase;
    static constexpr const char16_t* kNames[] = {u"none", u"sent", u"open", u"closed"};
    RaiseDiagnostic(u"---data:phase:", phase >= 0 && phase <= 3 ? kNames[phase] : u"?");
}

void ControlCore::SetPutReady(Long bits) {
    if (bits == m_PutReady) return;
    m_PutReady = bits;
    RaiseDiagnostic(u"---upload:gate:", String(bits & kPutReplied ? u"replied" : u"") +
                                            (bits == kPutStartable ? u"+" : u"") +
                                            (bits & kPutDataOpen ? u"open" : u"") +
                                            (bits == 0 ? u"shut" : u""));
}

}  // namespace tarselctl
