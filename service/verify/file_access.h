// Files and pipes of the directory that the service's user must reach: what stands in the way, named as what it is.
#pragma once

#include <string>

// The name of the user the service runs as ("uid 1234" when it has none).
std::string process_user_name();

// Empty when the service's user can open `path` for reading; otherwise why not, naming the file
// and, for a permission problem, the user: "keytab F: permission denied for user pellamor ...".
// `what` names the file ("keytab"), `fix` tells how to give the user access.
std::string unreadable_reason(const std::string& what, const std::string& path, const std::string& fix);
