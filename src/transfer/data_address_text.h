// The texts that carry a data connection's address: the PORT and EPRT arguments the control
// sends, and the PASV and EPSV replies it reads. Pure text work, no state and no I/O, so
// every hostile reply can be tried on it alone.
#pragma once

#include <tarsel/types.h>

namespace tarselctl {

/// Two hexadecimal digits (or fewer) as the decimal text of a signed 16-bit value; reading
/// stops at the first character that is no hex digit ("" is "0").
String HexToDecimal(const String& hex);

/// "h1,h2,h3,h4,p1,p2" for PORT: the IPv4 address (most significant byte first) and the
/// port's two bytes, each in decimal.
String BuildPortArgument(Long address, Long port);

/// The address of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" reply: host as dotted
/// text, port as decimal text with a blank in front of a positive number. Both are left
/// empty when the reply holds no six fields of 0-255 (blanks around a field are allowed):
/// nothing a server writes can become some other host name.
void ParsePasvReply(const String& reply, String& host, String& port);

/// The port of a "229 ... (|||port|)" reply (any printable non-digit as the delimiter,
/// 1-65535), or "" when it holds none. The host is never taken from the server.
String ParseEpsvReply(const String& reply);

/// "|1|a.b.c.d|port|" or "|2|v6-address|port|" for EPRT; a link-local scope ("%eth0") is
/// dropped, as it means something only on this host.
String BuildEprtArgument(const String& host, Long port);

}  // namespace tarselctl
