// pellamor-radius's command line and its shared secret file.
#pragma once

#include <string>
#include <vector>

#include "common/failure.h"
#include "gateway/lookup_client.h"
#include "gateway/radius_client.h"

struct RadiusOptions {
  std::vector<ServiceAddress> services;
  RadiusSettings radius;  // all but the secret, which comes from secret_file
  std::string secret_file;
};

// 0: run, 1: help or version shown, 2: bad command line (reported on stderr).
int parse_radius_command_line(int argc, char** argv, RadiusOptions* options);

// The secret is the file's first line. A file that others may read is refused: whoever has the
// secret can forge a logon for any address.
Failure read_secret_file(const std::string& path, std::string* secret);
