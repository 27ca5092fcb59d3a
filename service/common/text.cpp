// Text helpers: UTF-8 / UTF-16LE conversion, Unicode upper case, time formatting.
#include "common/text.h"

#include <algorithm>
#include <clocale>
#include <ctime>
#include <cwctype>
#include <locale.h>

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes one UTF-8 sequence at text[i]; returns its length, 0 if malformed.
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t* code_point) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if (!is_continuation(c)) return 0;
    value = (value << 6) | (c & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}


void append_utf16(char32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
  }
}

// The case tables of the C locale cover ASCII only; C.UTF-8 has all of Unicode.
locale_t unicode_locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

std::string format_utc(std::int64_t epoch_seconds, const char* format) {
  const std::time_t t = static_cast<std::time_t>(epoch_seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char buffer[64];
  const std::size_t n = std::strftime(buffer, sizeof buffer, format, &parts);
  return std::string(buffer, n);
}

}  // namespace

void append_utf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool utf8_to_utf16(std::string_view utf8, std::u16string* out) {
  out->clear();
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    const std::size_t n = decode_utf8(utf8, i, &cp);
    if (n == 0) return false;
    append_utf16(cp, out);
    i += n;
  }
  return true;
}

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    std::size_t n = decode_utf8(bytes, i, &cp);
    if (n == 0) {
      cp = static_cast<unsigned char>(bytes[i]);
      n = 1;
    }
    append_utf8(cp, &out);
    i += n;
  }
  return out;
}

namespace {

// Marks that reorder the text around them (U+202E shows "evil\u202Etxt.exe" as "evilexe.txt"),
// so that a name could make a line read differently from what it holds.
bool is_bidi_control(char32_t cp) {
  return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string escape_controls(std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  const std::string valid = to_valid_utf8(text);
  std::string out;
  for (std::size_t i = 0; i < valid.size();) {
    char32_t cp = 0;
    const std::size_t n = decode_utf8(valid, i, &cp);
    if (cp < 0x20 || cp == 0x7F) {
      out += {'\\', 'x', digits[cp >> 4], digits[cp & 15]};
    } else if ((cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029 || is_bidi_control(cp)) {
      out += {'\\', 'u', digits[cp >> 12], digits[(cp >> 8) & 15], digits[(cp >> 4) & 15], digits[cp & 15]};
    } else {
      out.append(valid, i, n);
    }
    i += n;
  }
  return out;
}

std::string clip(std::string_view text, std::size_t max_bytes) {
  std::string valid = to_valid_utf8(text);
  if (valid.size() <= max_bytes) return valid;
  std::size_t end = max_bytes;
  while (end > 0 && is_continuation(static_cast<unsigned char>(valid[end]))) --end;
  const std::size_t cut = valid.size() - end;
  valid.resize(end);
  return valid + "...(" + std::to_string(cut) + " more bytes)";
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    const bool high = cp >= 0xD800 && cp <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;  // unpaired surrogate
    }
    append_utf8(cp, &out);
  }
  return out;
}

Bytes utf16le_bytes(std::u16string_view text) {
  Bytes out;
  out.reserve(text.size() * 2);
  for (char16_t unit : text) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return out;
}

std::u16string utf16le_from_bytes(const std::uint8_t* data, std::size_t size) {
  std::u16string out;
  out.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    out.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return out;
}

std::u16string latin1_to_utf16(std::string_view text) {
  std::u16string out;
  for (char c : text) out.push_back(static_cast<unsigned char>(c));
  return out;
}

std::u16string unicode_upper(std::u16string_view text) {
  const locale_t locale = unicode_locale();
  std::u16string out;
  out.reserve(text.size());
  for (char16_t unit : text) {
    const bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
    if (surrogate) {
      out.push_back(unit);
    } else if (locale != static_cast<locale_t>(0)) {
      const wint_t upper = towupper_l(unit, locale);
      out.push_back(upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit);
    } else {
      out.push_back(unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit);
    }
  }
  return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  std::u16string wide_a;
  std::u16string wide_b;
  if (!utf8_to_utf16(a, &wide_a)) wide_a = latin1_to_utf16(a);
  if (!utf8_to_utf16(b, &wide_b)) wide_b = latin1_to_utf16(b);
  return unicode_upper(wide_a) == unicode_upper(wide_b);
}

std::string iso8601_utc(std::int64_t epoch_seconds) {
  return format_utc(epoch_seconds, "%Y-%m-%dT%H:%M:%SZ");
}

namespace {

// Digits at [from, from + count) of text, as a number; -1 when any is not a digit or text is short.
int digits_at(std::string_view text, std::size_t from, std::size_t count) {
  if (text.size() < from + count) return -1;
  int n = 0;
  for (std::size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    n = n * 10 + (text[i] - '0');
  }
  return n;
}

// The offset east of UTC in seconds that `zone` writes (Z, +01:00, +0100, -05), in *out; false for
// any other text. Empty: none given.
bool read_offset(std::string_view zone, bool* given, std::int64_t* out) {
  *given = !zone.empty();
  *out = 0;
  if (zone.empty() || zone == "Z" || zone == "z") return true;
  if (zone[0] != '+' && zone[0] != '-') return false;
  const int hours = digits_at(zone, 1, 2);
  const std::string_view rest = zone.substr(std::min<std::size_t>(3, zone.size()));
  const std::size_t colon = !rest.empty() && rest[0] == ':' ? 1 : 0;
  const int minutes = rest.empty() ? 0 : digits_at(rest, colon, 2);
  if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || (!rest.empty() && rest.size() != colon + 2))
    return false;
  *out = (zone[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
  return true;
}

}  // namespace

bool parse_iso8601(std::string_view text, std::int64_t* out) {
  // 2026-12-07T14:05, then :00 and a fraction if given, then the zone if given.
  const int year = digits_at(text, 0, 4), month = digits_at(text, 5, 2), day = digits_at(text, 8, 2);
  const int hour = digits_at(text, 11, 2), minute = digits_at(text, 14, 2);
  if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || text[4] != '-' || text[7] != '-' ||
      text[13] != ':')
    return false;
  // A form sends the blank that a person types between the day and the time as "+".
  const char between = text[10];
  if (between != 'T' && between != 't' && between != ' ' && between != '+') return false;
  std::size_t at = 16;
  int second = 0;
  if (at < text.size() && text[at] == ':') {
    if ((second = digits_at(text, at + 1, 2)) < 0) return false;
    at += 3;
    if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
      const std::size_t fraction = at + 1;
      for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9';) ++at;
      if (at == fraction) return false;
    }
  }
  bool zone_given = false;
  std::int64_t offset = 0;
  if (!read_offset(text.substr(at), &zone_given, &offset)) return false;
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  const std::tm asked = parts;
  const std::int64_t seconds = zone_given ? static_cast<std::int64_t>(timegm(&parts)) - offset
                                          : static_cast<std::int64_t>(std::mktime(&parts));
  // Both carry a day or an hour out of range into the next one: such a text is no time, and
  // neither is a local time that a change to summer time skips.
  if (parts.tm_year != asked.tm_year || parts.tm_mon != asked.tm_mon || parts.tm_mday != asked.tm_mday ||
      parts.tm_hour != asked.tm_hour || parts.tm_min != asked.tm_min || parts.tm_sec != asked.tm_sec)
    return false;
  *out = seconds;
  return true;
}

std::string http_date(std::int64_t epoch_seconds) {
  return format_utc(epoch_seconds, "%a, %d %b %Y %H:%M:%S GMT");
}

std::int64_t now_epoch_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string hex(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

std::string qualified_name(const std::string& domain, const std::string& user) {
  return domain.empty() ? user : domain + "\\" + user;
}

std::size_t utf8_characters(std::string_view utf8) {
  std::size_t count = 0;
  for (unsigned char c : utf8) count += (c & 0xC0) != 0x80;
  return count;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string> split_commas(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    pieces.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return pieces;
}

bool percent_decode(std::string_view text, PercentEscapes escapes, std::string* out, std::string* error) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool complete = text[i] == '%' && i + 2 < text.size();
    const int high = complete ? hex_value(text[i + 1]) : -1;
    const int low = complete ? hex_value(text[i + 2]) : -1;
    if (text[i] != '%' || ((high < 0 || low < 0) && escapes == PercentEscapes::KeepMalformed)) {
      out->push_back(text[i]);
      continue;
    }
    if (high < 0 || low < 0) {
      *error = "bad percent escape in query: \"" + std::string(text.substr(i, 3)) + "\"";
      return false;
    }
    if (high == 0 && low == 0 && escapes == PercentEscapes::Strict) {
      *error = "encoded NUL character in query";
      return false;
    }
    out->push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return true;
}
