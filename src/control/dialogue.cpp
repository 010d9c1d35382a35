#include "control/dialogue.h"

namespace tarselctl {

const char16_t* OperationName(Operation op) {
    static constexpr const char16_t* kNames[] = {
        u"",       u"Connect", u"User",  u"DisConnect", u"Cd",     u"Cwd",    u"Pwd",
        u"Size",   u"Noop",    u"Delete", u"MkDir",     u"RmDir",  u"Rename", u"Site",
        u"Quote",  u"Dir",     u"Ls",    u"GetFile",    u"PutFile", u"AppendFile",
    };
    return kNames[static_cast<int>(op)];
}

const char16_t* DialogueName(Dialogue state) {
    static constexpr const char16_t* kNames[] = {u"closed",    u"busy", u"handshake", u"aborting",
                                                 u"quitting",  u"finishing", u"idle", u"parting"};
    return kNames[static_cast<int>(state)];
}

bool IsDialogueChange(Dialogue from, Dialogue to) {
    using D = Dialogue;
    if (to == D::Closed) return true;  // a close ends any state
    switch (from) {
    case D::Closed: return to == D::Busy;
    case D::Busy: return to == D::Handshake || to == D::Aborting || to == D::Quitting || to == D::Finishing;
    case D::Handshake: return to == D::Busy;
    case D::Aborting: return to == D::Quitting || to == D::Finishing;
    case D::Quitting: return to == D::Finishing;
    case D::Finishing: return to == D::Idle;
    case D::Idle: return to == D::Busy || to == D::Quitting;
    case D::Parting: return to == D::Busy || to == D::Quitting;
    }
    return false;
}

}  // namespace tarselctl
