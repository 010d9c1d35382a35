#include "support/fail_count.h"

#include "support/fake_soquet.h"
#include "support/fake_timer.h"

namespace tarselctl {

void FailCount::Arm(std::size_t n, Mode mode) {
    failAt_ = n;
    mode_ = mode;
    calls = 0;
    fired = false;
    firedAt.clear();
}

bool FailCount::Fails(const std::string& what, Call call) {
    if (mode_ == Mode::Report && call != Call::Network) return false;
    if (mode_ == Mode::Throw && call == Call::Other) return false;
    ++calls;
    if (failAt_ == 0 || calls != failAt_) return false;
    fired = true;
    firedAt = what;
    return true;
}

namespace {

using Call = FailCount::Call;

[[noreturn]] void Raise(const char* component) {
    throw AutomationError(FailCount::kInjectedError, FromUtf8(component), u"Injected failure");
}

class FailingSoquet final : public Soquet {
public:
    FailingSoquet(std::unique_ptr<FakeSoquet> inner, FailCount& count)
        : inner_(std::move(inner)), count_(count) {}

    void SetEvents(SoquetEvents* sink) override { inner_->SetEvents(sink); }

    void ConnectTo(const String& host, const String& port, const String& localPort) override {
        const bool fails = Check("ConnectTo", Call::Network);
        ++generation_;
        inner_->ConnectTo(host, port, localPort);
        if (fails) ReportLater(111, u"Connection refused", u"connect");
    }
    void Listen(const String& port) override {
        if (Check("Listen", Call::Network)) Raise("Soquet");
        ++generation_;
        inner_->Listen(port);
    }
    void ListenAt(const String& host, const String& port) override {
        if (Check("ListenAt", Call::Network)) Raise("Soquet");
        ++generation_;
        inner_->ListenAt(host, port);
    }
    void Accept(Long requestId) override {
        const bool fails = Check("Accept", Call::Network);
        ++generation_;
        inner_->Accept(requestId);
        if (fails) ReportLater(104, u"Connection reset by peer", u"accept");
    }
    void CloseSocket() override {
        if (Check("CloseSocket", Call::Other)) Raise("Soquet");
        ++generation_;
        inner_->CloseSocket();
    }
    void Send(const std::string& data) override {
        if (Check("Send", Call::Network)) {
            // The bytes never reach the peer; the connection breaks instead.
            ReportLater(32, u"Broken pipe", u"write");
            return;
        }
        inner_->Send(data);
    }

    Long get_LocalAddress() const override {
        Read("LocalAddress");
        return inner_->get_LocalAddress();
    }
    Long get_LocalPort() const override {
        Read("LocalPort");
        return inner_->get_LocalPort();
    }
    Boolean get_SendReady() const override {
        Read("SendReady");
        return inner_->get_SendReady();
    }
    Boolean get_IsClosed() const override {
        Read("IsClosed");
        return inner_->get_IsClosed();
    }
    String get_LocalHost() const override {
        Read("LocalHost");
        return inner_->get_LocalHost();
    }
    String get_RemoteHost() const override {
        Read("RemoteHost");
        return inner_->get_RemoteHost();
    }
    String get_RequestHost(Long requestId) const override {
        Read("RequestHost");
        return inner_->get_RequestHost(requestId);
    }
    Integer get_SocketVersion() const override {
        Read("SocketVersion");
        return inner_->get_SocketVersion();
    }
    void put_SetupPhase(Boolean value) override {
        if (Check("SetupPhase", Call::Other)) Raise("Soquet");
        inner_->put_SetupPhase(value);
    }
    void StartTls(const TlsClientSettings& settings, const Soquet* resumeFrom) override {
        const bool fails = Check("StartTls", Call::Network);
        inner_->StartTls(settings, resumeFrom);
        if (fails) ReportLater(kTlsHandshakeFailed, u"handshake failure", u"tls");
    }
    Boolean get_IsSecured() const override {
        Read("IsSecured");
        return inner_->get_IsSecured();
    }

private:
    // True when this call is the one that fails. Calls that fail only by throwing do so here;
    // in Report mode the network calls go on and report their failure later.
    bool Check(const char* what, Call call) {
        if (!count_.Fails(inner_->name() + "." + what, call)) return false;
        if (count_.mode() != FailCount::Mode::Report) Raise("Soquet");
        return true;
    }
    void Read(const char* property) const {
        if (count_.Fails(inner_->name() + "." + property, Call::Other)) Raise("Soquet");
    }

    // As a real socket does: OnError, then OnClosed, from the event loop, and only for the
    // connection the failure belongs to (not one closed or replaced in the meantime).
    void ReportLater(Long number, String text1, String text2) {
        std::weak_ptr<char> life = life_;
        const unsigned generation = generation_;
        count_.Post([this, life, generation, number, text1, text2] {
            if (life.expired() || generation != generation_) return;
            if (inner_->state() != FakeSoquet::State::Connecting &&
                inner_->state() != FakeSoquet::State::Connected)
                return;
            inner_->Error(number, text1, text2);
            if (life.expired() || generation != generation_) return;
            if (inner_->state() == FakeSoquet::State::Connecting ||
                inner_->state() == FakeSoquet::State::Connected)
                inner_->Close();
        });
    }

    std::unique_ptr<FakeSoquet> inner_;
    FailCount& count_;
    unsigned generation_ = 0;
    std::shared_ptr<char> life_ = std::make_shared<char>(0);
};

class FailingTimer final : public Timer {
public:
    FailingTimer(std::unique_ptr<FakeTimer> inner, FailCount& count)
        : inner_(std::move(inner)), count_(count) {}

    void SetTickHandler(std::function<void()> handler) override {
        inner_->SetTickHandler(std::move(handler));
    }
    void put_Interval(Long milliseconds) override {
        Check("Interval");
        inner_->put_Interval(milliseconds);
    }
    Long get_Interval() const override {
        Check("Interval");
        return inner_->get_Interval();
    }
    void put_Enabled(bool enabled) override {
        Check("Enabled");
        inner_->put_Enabled(enabled);
    }
    bool get_Enabled() const override {
        Check("Enabled");
        return inner_->get_Enabled();
    }

private:
    void Check(const char* what) const {
        if (count_.Fails(inner_->name() + "." + what, Call::Other)) Raise("Timer");
    }

    std::unique_ptr<FakeTimer> inner_;
    FailCount& count_;
};

class FailingCodawa final : public Codawa {
public:
    FailingCodawa(std::unique_ptr<Codawa> inner, std::string name, FailCount& count)
        : inner_(std::move(inner)), name_(std::move(name)), count_(count) {}

    void put_CodeName(const String& name) override {
        Check("CodeName");
        inner_->put_CodeName(name);
    }
    Integer get_Version() const override {
        Check("Version", Call::Other);
        return inner_->get_Version();
    }
    // Cannot fail: it only drops the converter's shift state.
    void Reset() noexcept override { inner_->Reset(); }
    std::string SjisToJis(std::string& text) override {
        Check("SjisToJis");
        return inner_->SjisToJis(text);
    }
    std::string ToSjis(std::string& text) override {
        Check("ToSjis");
        return inner_->ToSjis(text);
    }
    std::string SjisToEuc(std::string& text) override {
        Check("SjisToEuc");
        return inner_->SjisToEuc(text);
    }
    std::string EucToSjis(std::string& text) override {
        Check("EucToSjis");
        return inner_->EucToSjis(text);
    }
    std::string JisToSjis(std::string& text) override {
        Check("JisToSjis");
        return inner_->JisToSjis(text);
    }
    std::string TextToSjis(String& text) override {
        Check("TextToSjis");
        return inner_->TextToSjis(text);
    }
    std::string TextToEuc(String& text) override {
        Check("TextToEuc");
        return inner_->TextToEuc(text);
    }
    std::string SjisToSjis(std::string& text) override {
        Check("SjisToSjis");
        return inner_->SjisToSjis(text);
    }

private:
    void Check(const char* what, Call call = Call::Work) const {
        if (count_.Fails(name_ + "." + what, call)) Raise("Codawa");
    }

    std::unique_ptr<Codawa> inner_;
    std::string name_;
    FailCount& count_;
};

}  // namespace

std::unique_ptr<Soquet> WithFailures(std::unique_ptr<FakeSoquet> soquet, FailCount& count) {
    return std::make_unique<FailingSoquet>(std::move(soquet), count);
}

std::unique_ptr<Timer> WithFailures(std::unique_ptr<FakeTimer> timer, FailCount& count) {
    return std::make_unique<FailingTimer>(std::move(timer), count);
}

std::unique_ptr<Codawa> WithFailures(std::unique_ptr<Codawa> codawa, std::string name,
                                     FailCount& count) {
    return std::make_unique<FailingCodawa>(std::move(codawa), std::move(name), count);
}

}  // namespace tarselctl
