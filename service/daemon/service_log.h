// The service's own lines in a file it reopens by name, so that the file can be rotated without losing lines.
#pragma once

#include <string>

// Makes `path` (opened to append, created if missing) the service's standard output and error.
// Again after a rotation renamed it: the lines written meanwhile are in the renamed file.
bool open_service_log(const std::string& path, std::string* error);
