// Small lists of addresses as the writer gathers them: each address once, in the order first met.
#pragma once

#include <string>
#include <vector>

#include "usermap/map_store.h"

void add_once(std::vector<std::string>* list, const std::string& item);
bool contains(const std::vector<std::string>& list, const std::string& item);
// Whether any item of `b` is in `a`.
bool shares(const std::vector<std::string>& a, const std::vector<std::string>& b);
// The addresses a stored entry is found at; none when it was not found.
std::vector<std::string> stored_addresses(const StoredEntry& stored);
