// Where the logon page may send a browser back to: the web address it asked the proxy for.
#pragma once

#include <string>

// Whether `url` is an absolute http or https address that names a host (and no user), in printable ASCII without
// blanks, quotes, angle brackets or backslashes: nothing a browser would run (javascript:, data:),
// resolve against the page (a path, "//host"), read another way ("http:\\host") or split a header at.
bool returnable_url(const std::string& url);
