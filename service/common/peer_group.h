// Which peers count as one when the service counts connections and failed logons.
#pragma once

#include <string>

// An IPv4 address stands for itself. An IPv6 address stands for its /64, the block that one
// host or one network segment is usually given, so that a host cannot multiply itself by
// taking more addresses within it: "2001:db8:1:2::7" gives "2001:db8:1:2::/64". An IPv4
// address in IPv6 form (::ffff:a.b.c.d) gives a.b.c.d. A link-local address (fe80::/10) stands for
// all the link-local addresses of its interface, which any host on that link may take as many of as
// it likes: "fe80::7%eth0" gives "fe80::/10%eth0". Text that is no address is returned as it is.
std::string peer_group(const std::string& address);
