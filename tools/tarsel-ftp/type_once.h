// One TYPE line per connection: the control's Filetype left empty for a transfer whose type
// the connection already has, for the one method call that builds its command lines.
#pragma once

#include <tarsel/sent_type.h>
#include <tarsel/tarsel.h>

namespace tarselftp {

/// While it lives, the control's Filetype is "" when the server has the wanted type already;
/// the setting is put back afterwards, so that stored settings keep the host's choice.
class TypeOnce {
public:
    TypeOnce(tarselctl::tarsel& control, const tarselctl::SentType& sent)
        : control_(control), wanted_(control.get_Filetype()) {
        control_.put_Filetype(sent.FiletypeFor(wanted_));
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
    tarselctl::tarsel& control_;
    tarselctl::String wanted_;
};

}  // namespace tarselftp
