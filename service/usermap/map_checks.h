// Checks made before the user map is opened: that its folder can hold it, and that the file is not damaged.
#pragma once

#include <string>

// What keeps the map at `path` from being opened or created, in the administrator's
// terms (a folder that does not exist, one this user may not write, a map it may not
// read and write); empty when nothing is wrong with the folder or the file's rights.
std::string map_location_problem(const std::string& path);

// Reads an existing map once with SQLite's quick_check and changes nothing in it.
// false, with one line that names the recovery, when it is damaged or cannot be read.
bool check_map_intact(const std::string& path, std::string* error);
