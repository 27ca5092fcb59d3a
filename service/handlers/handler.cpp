// What the service's handlers see of a request, and what each of them is: one endpoint's answer.
#include "handlers/handler.h"

Reply map_unavailable(const std::string& why) {
  Reply reply = text_reply(503, why);
  reply.headers.push_back("Retry-After: 10");
  return reply;
}
