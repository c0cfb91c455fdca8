// The XML property-list encoding, read as the platform's reader reads it and written in UTF-8.
//
// Reading takes the document in the encoding a byte-order mark or the XML declaration names,
// normalises line ends as every XML reader does, and keeps every value whole: integers in decimal
// or hexadecimal over the whole range from -2^63 to 2^64 - 1, reals as the C library reads them,
// text with any character XML allows. What is no property list (bytes that are not XML, a top
// level that is no dictionary) is Malformed; a property list holding what cannot be kept (a
// value out of range, an encoding not read here, a character XML forbids) is Unreadable, so that
// no writer replaces the file. Containers are followed with a stack of their own, never by
// recursion, up to host::kMaxNesting levels.
#include <utf8.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hostsim/PlistCodec.h"

namespace hostsim {

namespace {

using host::Value;
// Why a document cannot be read; Ok while it can.
using Failure = host::Status::Code;

void putUTF8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A character XML 1.0 allows in a document, literally or as a reference.
bool xmlCharacter(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// ---- The document's encoding ------------------------------------------------------------------

// Windows-1252's characters for the bytes 0x80 to 0x9F; 0 where it has none.
constexpr std::uint16_t kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::string lowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The encoding the XML declaration at the start names; empty when it names none.
std::string declaredEncoding(const std::string& bytes) {
  if (bytes.compare(0, 5, "<?xml") != 0) return "";
  const std::size_t end = bytes.find("?>");
  const std::string declaration = bytes.substr(0, end);
  std::size_t at = declaration.find("encoding");
  if (at == std::string::npos) return "";
  at += 8;
  while (at < declaration.size() &&
         (declaration[at] == ' ' || declaration[at] == '=' || declaration[at] == '\t' ||
          declaration[at] == '\n' || declaration[at] == '\r')) {
    ++at;
  }
  if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\'')) return "";
  const std::size_t close = declaration.find(declaration[at], at + 1);
  if (close == std::string::npos) return "";
  return lowercase(declaration.substr(at + 1, close - at - 1));
}

struct Decoded {
  std::string text;  // UTF-8
  Failure failure = Failure::Ok;
  std::string reason;
};

Decoded fromUTF16(std::string_view bytes, bool bigEndian) {
  Decoded out;
  if (bytes.size() % 2 != 0) return {"", Failure::Malformed, "UTF-16 cut short"};
  auto unit = [&](std::size_t i) {
    const auto a = static_cast<unsigned char>(bytes[2 * i]);
    const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
    return static_cast<std::uint32_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  };
  const std::size_t units = bytes.size() / 2;
  out.text.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    std::uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(++i) - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return {"", Failure::Malformed, "UTF-16 holding a lone surrogate"};
    }
    putUTF8(out.text, c);
  }
  return out;
}

// The document in UTF-8, from the encoding its byte-order mark, its first bytes or its
// declaration names.
Decoded toUTF8(const std::string& bytes) {
  const std::string_view view(bytes);
  if (view.substr(0, 3) == "\xEF\xBB\xBF") return {bytes.substr(3), Failure::Ok, ""};
  if (view.substr(0, 2) == "\xFF\xFE") return fromUTF16(view.substr(2), false);
  if (view.substr(0, 2) == "\xFE\xFF") return fromUTF16(view.substr(2), true);
  if (view.substr(0, 2) == std::string_view("<\0", 2)) return fromUTF16(view, false);
  if (view.substr(0, 2) == std::string_view("\0<", 2)) return fromUTF16(view, true);
  const std::string encoding = declaredEncoding(bytes);
  if (encoding.empty() || encoding == "utf-8" || encoding == "utf8")
    return {bytes, Failure::Ok, ""};
  const bool ascii = encoding == "us-ascii" || encoding == "ascii";
  const bool latin1 = encoding == "iso-8859-1" || encoding == "latin1" || encoding == "latin-1" ||
                      encoding == "iso8859-1" || encoding == "l1";
  const bool windows = encoding == "windows-1252" || encoding == "cp1252";
  if (!ascii && !latin1 && !windows) {
    return {"", Failure::Unreadable, "XML in an encoding not read here: " + encoding};
  }
  Decoded out;
  out.text.reserve(bytes.size());
  for (const char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    std::uint32_t c = b;
    if (b >= 0x80 && ascii) return {"", Failure::Unreadable, "US-ASCII XML holding other bytes"};
    if (b >= 0x80 && b < 0xA0 && windows) {
      c = kWindows1252[b - 0x80];
      if (c == 0) return {"", Failure::Unreadable, "Windows-1252 XML holding an unused byte"};
    }
    putUTF8(out.text, c);
  }
  return out;
}

// ---- Values from their text -------------------------------------------------------------------

bool xmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && xmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && xmlSpace(text.back())) text.remove_suffix(1);
  return text;
}

// An integer as the platform reads one: an optional sign, then decimal digits or "0x" and
// hexadecimal ones. Leading zeros are decimal, not octal.
std::optional<Value> integerFrom(std::string_view text) {
  text = trimmed(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (!negative) return Value(magnitude);
  if (magnitude > std::uint64_t{1} << 63) return std::nullopt;
  return Value(static_cast<std::int64_t>(0 - magnitude));
}

// A real as the C library reads one: decimal or exponent notation, "inf", "infinity", "nan",
// with either sign.
std::optional<double> realFrom(std::string_view text) {
  text = trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (!text.empty() && text.front() == '+') return std::nullopt;
  double d = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return d;
}

// Days from 1970-01-01 of a day of the proleptic Gregorian calendar, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

const std::int64_t kReferenceDay = daysFromCivil(2001, 1, 1);

constexpr const char* kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::optional<host::Data> dataFrom(std::string_view text) {
  host::Data out;
  std::uint32_t bits = 0;
  int held = 0;
  bool padded = false;
  for (const char c : text) {
    if (xmlSpace(c)) continue;
    if (c == '=') {
      padded = true;
      continue;
    }
    const char* at = c != '\0' ? std::strchr(kBase64, c) : nullptr;
    if (at == nullptr || padded) return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(at - kBase64);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> held));
      bits &= (1u << held) - 1;
    }
  }
  if (held >= 6) return std::nullopt;  // a lone character holds no whole byte
  return out;
}

// ---- The document -----------------------------------------------------------------------------

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  host::Result<host::Dictionary> read() {
    std::optional<Value> top = document();
    if (top && top->asDictionary() == nullptr)
      fail(Failure::Malformed, "its top level is no dictionary");
    if (failure_ != Failure::Ok) return host::Status(failure_, reason_);
    return std::move(*top->asDictionary());
  }

 private:
  struct Tag {
    std::string name;
    bool closing = false;
    bool empty = false;  // <name/>
  };
  struct Frame {
    Value value;  // an array or a dictionary
    std::optional<std::string> key;
  };

  bool fail(Failure failure, std::string reason) {
    if (failure_ == Failure::Ok) {
      failure_ = failure;
      reason_ = std::move(reason);
    }
    return false;
  }
  bool at(std::string_view text) const { return s_.compare(at_, text.size(), text) == 0; }
  bool skipPast(std::string_view end) {
    const std::size_t found = s_.find(end, at_);
    if (found == std::string::npos) return fail(Failure::Malformed, "XML cut short");
    at_ = found + end.size();
    return true;
  }

  // Spaces, comments, processing instructions and the document type between elements. Other
  // text there is no part of a property list.
  bool skipBetween() {
    for (;;) {
      while (at_ < s_.size() && xmlSpace(s_[at_])) ++at_;
      if (at("<?")) {
        if (!skipPast("?>")) return false;
      } else if (at("<!--")) {
        if (!skipPast("-->")) return false;
      } else if (at("<!DOCTYPE")) {
        const std::size_t close = s_.find('>', at_);
        const std::size_t subset = s_.find('[', at_);
        if (subset != std::string::npos && subset < close) {
          // Declarations of its own (entities the document may use): not read here.
          return fail(Failure::Unreadable, "XML declaring a document type of its own");
        }
        if (!skipPast(">")) return false;
      } else if (at_ < s_.size() && s_[at_] != '<') {
        return fail(sawValue_ ? Failure::Unreadable : Failure::Malformed,
                    "text outside the values");
      } else {
        return true;
      }
    }
  }

  bool tag(Tag& tag) {
    ++at_;  // '<'
    tag.closing = at_ < s_.size() && s_[at_] == '/';
    if (tag.closing) ++at_;
    const std::size_t start = at_;
    while (at_ < s_.size() && !xmlSpace(s_[at_]) && s_[at_] != '/' && s_[at_] != '>') ++at_;
    tag.name = s_.substr(start, at_ - start);
    // Attributes (<plist version="1.0">) are passed over.
    char quote = 0;
    for (; at_ < s_.size(); ++at_) {
      const char c = s_[at_];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        tag.empty = s_[at_ - 1] == '/';
        ++at_;
        return !tag.name.empty() || fail(Failure::Malformed, "a tag without a name");
      }
    }
    return fail(Failure::Malformed, "XML cut short");
  }

  // A character or entity reference, after its '&'.
  bool reference(std::string& text) {
    const std::size_t end = s_.find(';', at_);
    if (end == std::string::npos || end - at_ > 12)
      return fail(Failure::Malformed, "a broken reference");
    const std::string name = s_.substr(at_, end - at_);
    at_ = end + 1;
    static constexpr std::pair<const char*, char> kNamed[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entity, c] : kNamed) {
      if (name == entity) {
        text.push_back(c);
        return true;
      }
    }
    if (name.size() < 2 || name[0] != '#')
      return fail(Failure::Malformed, "an unknown entity &" + name + ";");
    const bool hex = name[1] == 'x';
    const char* first = name.data() + (hex ? 2 : 1);
    std::uint32_t c = 0;
    const auto [last, error] = std::from_chars(first, name.data() + name.size(), c, hex ? 16 : 10);
    if (first == name.data() + name.size() || error != std::errc() ||
        last != name.data() + name.size()) {
      return fail(Failure::Malformed, "a broken reference &" + name + ";");
    }
    if (!xmlCharacter(c)) {
      return fail(Failure::Unreadable,
                  "a reference to a character XML does not allow: &" + name + ";");
    }
    putUTF8(text, c);
    return true;
  }

  // The text of an element up to its end tag, with references replaced and line ends
  // normalised (CR LF and CR alone read as LF).
  bool content(const std::string& name, std::string& text) {
    auto literal = [&](std::size_t from, std::size_t to) {
      for (std::size_t i = from; i < to; ++i) {
        if (s_[i] == '\r') {
          text.push_back('\n');
          if (i + 1 < to && s_[i + 1] == '\n') ++i;
        } else {
          text.push_back(s_[i]);
        }
      }
    };
    for (;;) {
      const std::size_t next = s_.find_first_of("<&", at_);
      if (next == std::string::npos) return fail(Failure::Malformed, "XML cut short");
      literal(at_, next);
      at_ = next;
      if (s_[at_] == '&') {
        ++at_;
        if (!reference(text)) return false;
      } else if (at("<![CDATA[")) {
        const std::size_t end = s_.find("]]>", at_);
        if (end == std::string::npos) return fail(Failure::Malformed, "XML cut short");
        literal(at_ + 9, end);
        at_ = end + 3;
      } else if (at("<!--")) {
        if (!skipPast("-->")) return false;
      } else if (at("<?")) {
        if (!skipPast("?>")) return false;
      } else {
        Tag end;
        if (!tag(end)) return false;
        if (!end.closing) return fail(Failure::Unreadable, "an element inside <" + name + ">");
        if (end.name != name)
          return fail(Failure::Malformed, "<" + name + "> ended by </" + end.name + ">");
        break;
      }
    }
    if (!utf8::is_valid(text.begin(), text.end())) {
      return fail(Failure::Unreadable, "XML text that is not in its declared encoding");
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
        return fail(Failure::Unreadable, "a control character XML does not allow");
      }
    }
    return true;
  }

  // The text of a value element (none for <name/>).
  bool valueText(const Tag& t, std::string& text) { return t.empty || content(t.name, text); }

  bool deliver(Value value, std::vector<Frame>& stack, std::optional<Value>& top) {
    sawValue_ = true;
    if (stack.empty()) {
      if (top) return fail(Failure::Unreadable, "more than one value at the top");
      top = std::move(value);
      return true;
    }
    Frame& frame = stack.back();
    if (host::Dictionary* d = frame.value.asDictionary()) {
      if (!frame.key) return fail(Failure::Malformed, "a value without a key");
      d->set(std::move(*frame.key), std::move(value));  // a key given twice keeps its last value
      frame.key.reset();
    } else {
      frame.value.asArray()->push_back(std::move(value));
    }
    return true;
  }

  // A scalar element's value; none, with the failure set, when its text is none.
  std::optional<Value> scalar(const Tag& t) {
    std::string text;
    if (t.name == "true" || t.name == "false") {
      if (!valueText(t, text)) return std::nullopt;
      if (!trimmed(text).empty()) {
        fail(Failure::Unreadable, "text inside <" + t.name + ">");
        return std::nullopt;
      }
      return Value(t.name == "true");
    }
    if (!valueText(t, text)) return std::nullopt;
    if (t.name == "string") return Value(std::move(text));
    if (t.name == "integer") {
      if (std::optional<Value> v = integerFrom(text)) return v;
      fail(Failure::Unreadable, "an integer out of range or not one: " + text.substr(0, 60));
    } else if (t.name == "real") {
      if (std::optional<double> d = realFrom(text)) return Value(*d);
      fail(Failure::Unreadable, "a real that is not one: " + text.substr(0, 60));
    } else if (t.name == "date") {
      if (std::optional<double> d = dateFromText(text, false)) return Value(host::Date{*d});
      fail(Failure::Unreadable, "a date not written YYYY-MM-DDTHH:MM:SSZ: " + text.substr(0, 60));
    } else if (t.name == "data") {
      if (std::optional<host::Data> d = dataFrom(text)) return Value(std::move(*d));
      fail(Failure::Unreadable, "data that is not base64");
    }
    return std::nullopt;
  }

  std::optional<Value> document() {
    std::vector<Frame> stack;
    std::optional<Value> top;
    bool inPlist = false;
    for (;;) {
      if (!skipBetween()) return std::nullopt;
      if (at_ >= s_.size()) {
        fail(Failure::Malformed, top ? "XML without its </plist>" : "XML cut short");
        return std::nullopt;
      }
      Tag t;
      if (!tag(t)) return std::nullopt;
      if (t.closing) {
        if (t.name == "plist" && inPlist && stack.empty()) break;
        if (stack.empty() || (t.name == "dict") != (stack.back().value.asDictionary() != nullptr) ||
            (t.name != "dict" && t.name != "array")) {
          fail(Failure::Malformed, "</" + t.name + "> out of place");
          return std::nullopt;
        }
        if (stack.back().key) {
          fail(Failure::Malformed, "a key without a value");
          return std::nullopt;
        }
        Value done = std::move(stack.back().value);
        stack.pop_back();
        if (!deliver(std::move(done), stack, top)) return std::nullopt;
      } else if (t.name == "plist" && !inPlist && !top && stack.empty() && !t.empty) {
        inPlist = true;
      } else if (t.name == "dict" || t.name == "array") {
        if (stack.size() + 1 > host::kMaxNesting) {
          fail(Failure::Unreadable, "nested deeper than 10000 levels");
          return std::nullopt;
        }
        Value container = t.name == "dict" ? Value(host::Dictionary{}) : Value(host::Array{});
        if (t.empty) {
          if (!deliver(std::move(container), stack, top)) return std::nullopt;
        } else {
          stack.push_back(Frame{std::move(container), std::nullopt});
        }
      } else if (t.name == "key") {
        if (stack.empty() || stack.back().value.asDictionary() == nullptr || stack.back().key) {
          fail(Failure::Malformed, "a key where a value belongs");
          return std::nullopt;
        }
        std::string key;
        if (!valueText(t, key)) return std::nullopt;
        stack.back().key = std::move(key);
      } else if (t.name == "true" || t.name == "false" || t.name == "string" ||
                 t.name == "integer" || t.name == "real" || t.name == "date" || t.name == "data") {
        std::optional<Value> value = scalar(t);
        if (!value || !deliver(std::move(*value), stack, top)) return std::nullopt;
      } else {
        fail(sawValue_ || !stack.empty() ? Failure::Unreadable : Failure::Malformed,
             "an element that is no property-list value: <" + t.name.substr(0, 40) + ">");
        return std::nullopt;
      }
      if (!inPlist && stack.empty() && top) break;
    }
    if (!skipBetween()) return std::nullopt;
    if (at_ != s_.size()) {
      fail(Failure::Malformed, "more after the property list");
      return std::nullopt;
    }
    if (!top) fail(Failure::Malformed, "no value");
    return top;
  }

  const std::string& s_;
  std::size_t at_ = 0;
  bool sawValue_ = false;
  Failure failure_ = Failure::Ok;
  std::string reason_;
};

// ---- Writing ----------------------------------------------------------------------------------

void putText(std::string& out, const std::string& text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        out += "&#13;";  // written as it is, every XML reader would read it as LF
        break;
      default:
        out.push_back(c);
    }
  }
}

void putElement(std::string& out, std::size_t indent, const char* name, const std::string& text,
                bool escape) {
  out.append(indent, '\t');
  out += '<';
  out += name;
  out += '>';
  if (escape) {
    putText(out, text);
  } else {
    out += text;
  }
  out += "</";
  out += name;
  out += ">\n";
}

std::string base64(const host::Data& data) {
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const std::uint32_t n = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kBase64[(n >> shift) & 0x3F]);
  }
  if (i < data.size()) {
    const bool two = i + 1 < data.size();
    const std::uint32_t n = data[i] << 16 | (two ? data[i + 1] << 8 : 0);
    out.push_back(kBase64[(n >> 18) & 0x3F]);
    out.push_back(kBase64[(n >> 12) & 0x3F]);
    out.push_back(two ? kBase64[(n >> 6) & 0x3F] : '=');
    out.push_back('=');
  }
  return out;
}

// One value; nesting is bounded by host::encodingFor, which sends deeper dictionaries to the
// binary encoding.
void putValue(std::string& out, const Value& value, std::size_t indent) {
  using T = Value::Type;
  switch (value.type()) {
    case T::None:
    case T::Uid:
      return;
    case T::Boolean:
      out.append(indent, '\t');
      out += *value.asBoolean() ? "<true/>\n" : "<false/>\n";
      return;
    case T::Integer: {
      const std::uint64_t* large = value.asLargeInteger();
      putElement(out, indent, "integer",
                 large != nullptr ? std::to_string(*large) : std::to_string(*value.asInteger()),
                 false);
      return;
    }
    case T::Real: {
      char text[32];
      const auto end = std::to_chars(text, text + sizeof text, *value.asReal()).ptr;
      putElement(out, indent, "real", std::string(text, end), false);
      return;
    }
    case T::String:
      putElement(out, indent, "string", *value.asString(), true);
      return;
    case T::Data:
      putElement(out, indent, "data", base64(*value.asData()), false);
      return;
    case T::Date:
      putElement(out, indent, "date", textOfDate(value.asDate()->sinceReferenceDate, false), false);
      return;
    case T::Array: {
      const host::Array& array = *value.asArray();
      out.append(indent, '\t');
      if (array.empty()) {
        out += "<array/>\n";
        return;
      }
      out += "<array>\n";
      for (const Value& item : array) putValue(out, item, indent + 1);
      out.append(indent, '\t');
      out += "</array>\n";
      return;
    }
    case T::Dictionary: {
      const host::Dictionary& dictionary = *value.asDictionary();
      out.append(indent, '\t');
      out += "<dict>\n";
      for (const auto& [key, item] : dictionary) {
        if (item.isNone()) continue;
        putElement(out, indent + 1, "key", key, true);
        putValue(out, item, indent + 1);
      }
      out.append(indent, '\t');
      out += "</dict>\n";
      return;
    }
  }
}

}  // namespace

std::optional<double> dateFromText(std::string_view text, bool fraction) {
  std::string_view whole = text;
  std::string_view rest;  // ".fff"
  if (fraction && text.size() > 21 && text[19] == '.' && text.back() == 'Z') {
    whole = text.substr(0, 19);
    rest = text.substr(19, text.size() - 20);
  } else if (text.size() != 20 || text[19] != 'Z') {
    return std::nullopt;
  }
  if (whole[4] != '-' || whole[7] != '-' || whole[10] != 'T' || whole[13] != ':' ||
      whole[16] != ':') {
    return std::nullopt;
  }
  auto number = [&](std::size_t at, std::size_t digits, unsigned& out) {
    out = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      if (whole[i] < '0' || whole[i] > '9') return false;
      out = out * 10 + static_cast<unsigned>(whole[i] - '0');
    }
    return true;
  };
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day) || !number(11, 2, hour) ||
      !number(14, 2, minute) || !number(17, 2, second)) {
    return std::nullopt;
  }
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year == 0 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  const std::int64_t days = daysFromCivil(year, month, day) - kReferenceDay;
  const auto seconds = static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second);
  if (rest.empty()) return seconds;
  // ".fff": a fraction that, added to the whole seconds, gives the date to the bit.
  const std::string digits = "0" + std::string(rest);
  double part = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), part, std::chars_format::fixed);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.size() < 3) {
    return std::nullopt;
  }
  return seconds + part;
}

std::string textOfDate(double seconds, bool fraction) {
  const double whole = std::floor(seconds);
  const auto total = static_cast<std::int64_t>(whole);
  std::int64_t days = total / 86400;
  std::int64_t rest = total % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  civilFromDays(days + kReferenceDay, year, month, day);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  std::string out = text;
  if (fraction && seconds != whole) {
    // seconds - whole is exact, and its shortest decimal reads back as the same double.
    char part[64];
    const auto end =
        std::to_chars(part, part + sizeof part, seconds - whole, std::chars_format::fixed).ptr;
    out.append(part + 1, end);  // without its leading "0"
  }
  return out + "Z";
}

host::Result<host::Dictionary> readXML(const std::string& bytes) {
  Decoded text = toUTF8(bytes);
  if (text.failure != Failure::Ok) return host::Status(text.failure, std::move(text.reason));
  return Reader(text.text).read();
}

std::string xmlEncoding(const host::Dictionary& dictionary) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n";
  out.append("<dict>\n");
  for (const auto& [key, item] : dictionary) {
    if (item.isNone()) continue;
    putElement(out, 1, "key", key, true);
    putValue(out, item, 1);
  }
  out += "</dict>\n</plist>\n";
  return out;
}

}  // namespace hostsim
