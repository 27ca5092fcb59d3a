// Files and pipes of the directory that the service's user must reach: what stands in the way, named as what it is.
#include "verify/file_access.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

std::string process_user_name() {
  const uid_t uid = geteuid();
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return found->pw_name;
  return "uid " + std::to_string(uid);
}

std::string unreadable_reason(const std::string& what, const std::string& path, const std::string& fix) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return "";
  }
  const int error = errno;
  if (error == EACCES || error == EPERM)
    return what + " " + path + ": permission denied for user " + process_user_name() + " (" + fix + ")";
  if (error == ENOENT) return what + " " + path + " does not exist";
  return what + " " + path + ": " + std::strerror(error);
}
