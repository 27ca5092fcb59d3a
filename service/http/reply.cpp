// HTTP replies, written as raw text so that test hooks can shape the status line and headers exactly.
#include "http/reply.h"

#include "common/text.h"

Reply text_reply(int status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  if (reply.body.empty() || reply.body.back() != '\n') reply.body.push_back('\n');
  return reply;
}

std::string reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 410: return "Gone";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: break;
  }
  switch (status / 100) {
    case 2: return "Success";
    case 3: return "Redirection";
    case 4: return "Client Error";
    default: return "Server Error";
  }
}

std::string serialize_reply(const Reply& reply, std::int64_t now) {
  std::string out = "HTTP/" + reply.version + " " + std::to_string(reply.status) + " " + reason_phrase(reply.status) + "\r\n";
  out += "Date: " + http_date(now) + "\r\n";
  out += "Server: pellamor-service\r\n";
  // The views tell who is where: no other site may frame them, read them as another type, learn
  // their addresses from a Referer, or run a script in them (they have none).
  out += "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
         "frame-ancestors 'none'; base-uri 'none'\r\n"
         "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n";
  for (const std::string& line : reply.headers) out += line + "\r\n";
  out += "Content-Type: " + reply.content_type + "\r\n";
  out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  if (reply.close) out += "Connection: close\r\n";
  out += "\r\n";
  out += reply.body;
  return out;
}
