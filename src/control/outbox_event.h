// The events that wait in the outbox, as values: one small struct per kind of event, so that
// posting one costs no allocation of its own and a download block's bytes move in and out.
#pragma once

#include <memory>
#include <variant>

#include <tarsel/tarsel.h>

#include "command/command_word.h"

namespace tarselctl {

/// The transfer open on the host's side: it lives from the open event to the close event. A
/// PutData question holds it weakly, so the block a host leaves belongs to the upload that
/// asked for it and to no later one, whatever the host called meanwhile.
struct HostTransfer {
    Word word;  ///< RETR, STOR, APPE, LIST, NLST or MLSD
};

namespace outbox {
struct Trace { String msg; };
struct Connected {};
struct CommandDone { Integer code; String name; String text; };
struct DisConnected { Long code; String msg; };
struct TransError { Long code; String description; String where; };
struct GetOpen { String file; };
struct PutOpen { String file; };
struct DirOpen {};
/// `recycle`: the platform's read buffer, which gets the block's storage back once the sinks
/// have had it (it is then empty, and the next read fills it without allocating).
struct GetData { ByteArray bytes; ByteArray* recycle = nullptr; };
/// The one pulled event: the block the host leaves is sent once every sink has had it, if the
/// upload that asked is still the one open.
struct PutData { std::weak_ptr<HostTransfer> upload; ByteArray data; };
struct DirData { String text; };
struct GetClose {};
struct PutClose {};
struct DirClose {};
}  // namespace outbox

using OutboxEvent = std::variant<outbox::Trace, outbox::Connected, outbox::CommandDone, outbox::DisConnected,
                                 outbox::TransError, outbox::GetOpen, outbox::PutOpen, outbox::DirOpen,
                                 outbox::GetData, outbox::PutData, outbox::DirData, outbox::GetClose,
                                 outbox::PutClose, outbox::DirClose>;

}  // namespace tarselctl
