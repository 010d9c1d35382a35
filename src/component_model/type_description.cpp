// Look-ups in the descriptions of interfaces.
#include <tarsel/automation.h>

namespace tarselctl {

namespace {
char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Automation matches names without regard to case; the names here are all ASCII.
bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}
}  // namespace

std::size_t MemberDescription::RequiredParams() const {
    std::size_t n = 0;
    while (n < Params.size() && !Params[n].Optional) ++n;
    return n;
}

int MemberDescription::FindParam(std::u16string_view name) const {
    for (std::size_t i = 0; i < Params.size(); ++i)
        if (SameName(Params[i].Name, name)) return static_cast<int>(i);
    return -1;
}

const MemberDescription* InterfaceDescription::FindMember(DispId id) const {
    for (const MemberDescription& m : Members)
        if (m.Id == id) return &m;
    return nullptr;
}

const MemberDescription* InterfaceDescription::FindMember(std::u16string_view name) const {
    for (const MemberDescription& m : Members)
        if (SameName(m.Name, name)) return &m;
    return nullptr;
}

}  // namespace tarselctl
