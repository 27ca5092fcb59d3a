// Just enough JSON to read what the logon service answers: members and elements visited in turn,
// strings and whole numbers read, every other value skipped.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/text.h"

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  bool at(char c) {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n'))
      ++pos_;
    return pos_ < text_.size() && text_[pos_] == c;
  }
  bool expect(char c) {
    if (!at(c)) return false;
    ++pos_;
    return true;
  }
  // Calls visit(key) at each member's value; visit reads or skips it, false stops.
  template <typename Visit>
  bool members(Visit visit) {
    if (!expect('{')) return false;
    if (expect('}')) return true;
    do {
      std::string key;
      if (!string(&key) || !expect(':') || !visit(key)) return false;
    } while (expect(','));
    return expect('}');
  }
  template <typename Visit>
  bool elements(Visit visit) {
    if (!expect('[')) return false;
    if (expect(']')) return true;
    do {
      if (!visit()) return false;
    } while (expect(','));
    return expect(']');
  }
  bool string(std::string* out) {
    if (!expect('"')) return false;
    out->clear();
    while (pos_ < text_.size() && text_[pos_] != '"') {
      const char c = text_[pos_++];
      if (c != '\\') {
        out->push_back(c);
      } else if (!escape(out)) {
        return false;
      }
    }
    return expect('"');
  }
  // A whole number.
  bool number(std::int64_t* out) {
    at('-');
    const std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_])) != 0) ++pos_;
    if (pos_ == start || pos_ - start > 19) return false;
    *out = std::strtoll(text_.c_str() + start, nullptr, 10);
    return true;
  }
  bool skip_value() {
    if (++depth_ > kMaxDepth) return false;
    std::string ignored;
    bool ok = false;
    if (at('"')) {
      ok = string(&ignored);
    } else if (at('{')) {
      ok = members([this](const std::string&) { return skip_value(); });
    } else if (at('[')) {
      ok = elements([this] { return skip_value(); });
    } else {
      const std::size_t start = pos_;
      while (pos_ < text_.size() && std::string("-+.0123456789eEtruefalsn").find(text_[pos_]) != std::string::npos)
        ++pos_;
      ok = pos_ > start;
    }
    --depth_;
    return ok;
  }

 private:
  static constexpr int kMaxDepth = 32;

  bool escape(std::string* out) {
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_++];
    const std::string simple = "\"\\/bfnrt";
    const std::string meaning = "\"\\/\b\f\n\r\t";
    if (simple.find(c) != std::string::npos) {
      out->push_back(meaning[simple.find(c)]);
      return true;
    }
    std::uint32_t code = 0;
    if (c != 'u' || !hex4(&code)) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      std::uint32_t low = 0;
      if (text_.compare(pos_, 2, "\\u") != 0) return false;
      pos_ += 2;
      if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(code, out);
    return true;
  }
  bool hex4(std::uint32_t* out) {
    if (pos_ + 4 > text_.size()) return false;
    *out = 0;
    for (int i = 0; i < 4; ++i) {
      const int v = hex_value(text_[pos_++]);
      if (v < 0) return false;
      *out = *out * 16 + static_cast<std::uint32_t>(v);
    }
    return true;
  }


  const std::string& text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

