// An identity code converter that records how the control uses it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <tarsel/codawa.h>

namespace tarselctl {

/// Stand-in for the code conversion component when a test cares about which conversion the
/// control chose, not about the conversion itself. Every method passes its bytes through
/// unchanged and takes the whole argument (nothing is ever held back); wide text is narrowed
/// code unit by code unit, with '?' for units of 0x100 and more. CodeName is checked as the
/// real component checks it, so the control's error paths can be exercised.
class FakeCodawa final : public Codawa {
public:
    explicit FakeCodawa(std::string name = "Codawa") : name_(std::move(name)) {}
    ~FakeCodawa() override;
    FakeCodawa(const FakeCodawa&) = delete;
    FakeCodawa& operator=(const FakeCodawa&) = delete;

    /// Records the write; anything but "SJIS" or "EUC" then raises AutomationError 380.
    void put_CodeName(const String& name) override;
    Integer get_Version() const override { return version; }
    /// Counts the call in `resets`; an identity converter has no state to lose.
    void Reset() noexcept override { ++resets; }

    std::string SjisToJis(std::string& text) override { return Pass("SjisToJis", text); }
    std::string ToSjis(std::string& text) override { return Pass("ToSjis", text); }
    std::string SjisToEuc(std::string& text) override { return Pass("SjisToEuc", text); }
    std::string EucToSjis(std::string& text) override { return Pass("EucToSjis", text); }
    std::string JisToSjis(std::string& text) override { return Pass("JisToSjis", text); }
    std::string TextToSjis(String& text) override { return Narrow("TextToSjis", text); }
    std::string TextToEuc(String& text) override { return Narrow("TextToEuc", text); }
    std::string SjisToSjis(std::string& text) override { return Pass("SjisToSjis", text); }

    /// What get_Version reports (205 is the oldest version the control accepts silently).
    Integer version = 205;
    /// The current, accepted code name.
    String codeName = u"SJIS";
    /// Every CodeName write, accepted or not, in order.
    std::vector<String> codeNameWrites;
    /// The name of every conversion method called, in order ("ToSjis", "TextToEuc", ...).
    std::vector<std::string> calls;
    /// How often Reset was called (kept apart from `calls`, which holds conversions only).
    int resets = 0;

    const std::string& name() const { return name_; }
    /// Runs when the instance is destroyed (the platform uses it to forget the instance).
    std::function<void()> onDestroyed;

private:
    std::string Pass(const char* method, std::string& text);
    std::string Narrow(const char* method, String& text);

    std::string name_;
};

}  // namespace tarselctl
