// One TYPE line per connection: the control's Filetype left empty for a transfer whose type
// the connection already has, for the one method call that builds its command lines.
#pragma once

#include <tarsel/tarsel.h>

namespace tarselftp {

/// While it lives, the control's Filetype is "" when the server has the wanted type already
/// (the control's TypeInForce); the setting is put back afterwards, so that stored settings
/// keep the host's choice.
class TypeOnce {
public:
    explicit TypeOnce(tarselctl::tarsel& control) : control_(control), wanted_(control.get_Filetype()) {
        if (!wanted_.empty() && Upper(wanted_) == control_.TypeInForce()) control_.put_Filetype(tarselctl::String());
    }
    ~TypeOnce() {
        try {
            control_.put_Filetype(wanted_);
        } catch (...) {
            // It was accepted when it was set; nothing to put back otherwise.
        }
    }
    TypeOnce(const TypeOnce&) = delete;
    TypeOnce& operator=(const TypeOnce&) = delete;

private:
    static tarselctl::String Upper(tarselctl::String text) {
        for (char16_t& c : text)
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        return text;
    }

    tarselctl::tarsel& control_;
    tarselctl::String wanted_;
};

}  // namespace tarselftp
