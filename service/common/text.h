// Text helpers: UTF-8 / UTF-16LE conversion, Unicode upper case, time formatting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Strict UTF-8 to UTF-16 conversion; returns false on malformed input.
bool utf8_to_utf16(std::string_view utf8, std::u16string* out);

// Bytes that are not valid UTF-8 are read as Latin-1, so the result is always
// valid UTF-8 (host names from Windows machines arrive in their code page).
std::string to_valid_utf8(std::string_view bytes);

// The text as valid UTF-8 with control characters (C0, DEL, C1, line and
// paragraph separators, bidirectional controls) written as \xHH or \uHHHH, so
// that it stays on one line and reads as it is stored.
std::string escape_controls(std::string_view text);

// The text cut to at most `max_bytes` bytes of its beginning, at a character boundary, followed
// by "...(N more bytes)" when anything was cut; bytes that are not UTF-8 are read as Latin-1.
std::string clip(std::string_view text, std::size_t max_bytes);

std::string utf16_to_utf8(std::u16string_view text);
Bytes utf16le_bytes(std::u16string_view text);
std::u16string utf16le_from_bytes(const std::uint8_t* data, std::size_t size);
std::u16string latin1_to_utf16(std::string_view text);

// Upper case per UTF-16 unit, as Windows does for NTLM user names.
std::u16string unicode_upper(std::u16string_view text);
bool equal_ignoring_case(std::string_view a, std::string_view b);

// Appends the code point as UTF-8.
void append_utf8(char32_t code_point, std::string* out);

// How percent_decode takes what is not a plain %HH escape: a request's query refuses a malformed
// escape and an encoded NUL; Squid's fields, which Squid has already checked, keep a malformed
// escape as it stands.
enum class PercentEscapes { Strict, KeepMalformed };
// Decodes the %HH escapes of `text` into `out`; false, with the reason in `error`, when Strict
// refuses it. '+' stays a '+'.
bool percent_decode(std::string_view text, PercentEscapes escapes, std::string* out, std::string* error);

// The value of a hexadecimal digit, either case; -1 for any other character.
int hex_value(char c);
// The pieces between commas, empty ones too: "a,,b" gives "a", "", "b", and "" one empty piece.
std::vector<std::string> split_commas(std::string_view text);

// DOMAIN\user, or the user alone when there is no domain.
std::string qualified_name(const std::string& domain, const std::string& user);
// Characters (not bytes) of valid UTF-8.
std::size_t utf8_characters(std::string_view utf8);

std::string iso8601_utc(std::int64_t epoch_seconds);
// A time as ISO 8601 writes it: 2026-12-07T14:05:00Z, or with an offset (+01:00, +0100, -05), or
// with none, read as local time (TZ); the seconds and a fraction of them may be left out, and a
// blank (or a form's "+") may stand for the T. False for any other text, and for a day, an hour
// or a local time that does not exist.
bool parse_iso8601(std::string_view text, std::int64_t* out);
std::string http_date(std::int64_t epoch_seconds);
std::int64_t now_epoch_seconds();

std::string hex(const std::uint8_t* data, std::size_t size);
