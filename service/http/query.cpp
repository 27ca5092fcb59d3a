// Request targets: path and percent-decoded query parameters.
#include "http/query.h"

#include "common/text.h"

bool split_target(std::string_view target, std::string* path, std::vector<QueryParam>* params,
                  std::string* error) {
  params->clear();
  const std::size_t question = target.find('?');
  *path = std::string(target.substr(0, question));
  if (question == std::string_view::npos) return true;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (piece.empty()) continue;
    const std::size_t equals = piece.find('=');
    QueryParam param;
    if (!percent_decode(piece.substr(0, equals), PercentEscapes::Strict, &param.name, error)) return false;
    if (equals != std::string_view::npos && !percent_decode(piece.substr(equals + 1), PercentEscapes::Strict, &param.value, error))
      return false;
    params->push_back(std::move(param));
  }
  return true;
}
