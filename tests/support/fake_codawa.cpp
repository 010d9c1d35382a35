#include "support/fake_codawa.h"

#include <utility>

namespace tarselctl {

FakeCodawa::~FakeCodawa() {
    if (onDestroyed) onDestroyed();
}

void FakeCodawa::put_CodeName(const String& name) {
    codeNameWrites.push_back(name);
    if (name != u"SJIS" && name != u"EUC")
        throw AutomationError(380, u"Codawa", u"Invalid Code Name");
    codeName = name;
}

std::string FakeCodawa::Pass(const char* method, std::string& text) {
    calls.emplace_back(method);
    std::string out = std::move(text);
    text.clear();
    return out;
}

std::string FakeCodawa::Narrow(const char* method, String& text) {
    calls.emplace_back(method);
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out += c < 0x100 ? static_cast<char>(c) : '?';
    text.clear();
    return out;
}

}  // namespace tarselctl
