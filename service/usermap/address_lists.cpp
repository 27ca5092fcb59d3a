// Small lists of addresses as the writer gathers them: each address once, in the order first met.
#include "usermap/address_lists.h"

#include <algorithm>

void add_once(std::vector<std::string>* list, const std::string& item) {
  if (!contains(*list, item)) list->push_back(item);
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

bool shares(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return std::any_of(b.begin(), b.end(), [&a](const std::string& item) { return contains(a, item); });
}

std::vector<std::string> stored_addresses(const StoredEntry& stored) {
  return stored.found ? lookup_addresses(stored.ips, stored.peer) : std::vector<std::string>();
}
