#include "tools/Scenario.h"

#include <algorithm>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string_view>

#include <utf8.h>

#include "hostsim/PlistCodec.h"
#include "tools/Commands.h"

namespace harbrite::sim {

namespace {

// Reads the scenario's lexical pieces from one line.
class Lexer {
 public:
  explicit Lexer(const std::string& text) : s_(text) {}

  void skipSpaces() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t')) ++at_;
  }
  bool done() {
    skipSpaces();
    return at_ >= s_.size();
  }
  // Whether the next piece is a "quoted" string.
  bool atQuote() {
    skipSpaces();
    return at_ < s_.size() && s_[at_] == '"';
  }
  std::size_t position() const { return at_; }
  void seek(std::size_t at) { at_ = at; }

  // A bare word or a quoted string (unquoted).
  std::string word() {
    skipSpaces();
    if (at_ < s_.size() && s_[at_] == '"') return quoted();
    std::size_t start = at_;
    while (at_ < s_.size() && s_[at_] != ' ' && s_[at_] != '\t') ++at_;
    return s_.substr(start, at_ - start);
  }

  std::string quoted() {
    ++at_;  // the opening quote
    std::string out;
    while (at_ < s_.size() && s_[at_] != '"') {
      char c = s_[at_++];
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= s_.size()) throw std::invalid_argument("a string ends in the middle of an escape");
      char e = s_[at_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case '\\':
          out += '\\';
          break;
        case '"':
          out += '"';
          break;
        case 'x': {
          if (at_ + 2 > s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[at_])) ||
              !std::isxdigit(static_cast<unsigned char>(s_[at_ + 1]))) {
            throw std::invalid_argument("\\x takes two hexadecimal digits");
          }
          out += static_cast<char>(std::stoi(s_.substr(at_, 2), nullptr, 16));
          at_ += 2;
          break;
        }
        default:
          throw std::invalid_argument("unknown escape " + quoteInput(std::string("\\") + e));
      }
    }
    if (at_ >= s_.size()) throw std::invalid_argument("a string has no closing quote");
    ++at_;
    return out;
  }

  // Lists nest at most this deep, so that no scenario can exhaust the stack.
  static constexpr int kMaxListDepth = 64;

  host::Value value(int depth = 0) {
    skipSpaces();
    if (at_ >= s_.size()) throw std::invalid_argument("a value is missing");
    char c = s_[at_];
    if (c == '"') return host::Value(quoted());
    if (c == '[') {
      if (depth >= kMaxListDepth) throw std::invalid_argument("lists nest more than 64 deep");
      ++at_;
      host::Array items;
      skipSpaces();
      if (at_ < s_.size() && s_[at_] == ']') {
        ++at_;
        return host::Value(std::move(items));
      }
      for (;;) {
        items.push_back(value(depth + 1));
        skipSpaces();
        if (at_ < s_.size() && s_[at_] == ',') {
          ++at_;
          continue;
        }
        if (at_ < s_.size() && s_[at_] == ']') {
          ++at_;
          return host::Value(std::move(items));
        }
        throw std::invalid_argument("a list needs ',' between items and ']' at its end");
      }
    }
    if (c == '{') return dictionary(depth);
    std::size_t start = at_;
    while (at_ < s_.size() && s_[at_] != ' ' && s_[at_] != '\t' && s_[at_] != ',' &&
           s_[at_] != ']' && s_[at_] != '}') {
      ++at_;
    }
    const std::string token = s_.substr(start, at_ - start);
    if (std::optional<host::Value> v = scalar(token)) return std::move(*v);
    throw std::invalid_argument(quoteInput(token) +
                                " is not a value (true, false, a number, a \"string\", a [list], "
                                "a {dictionary}, date:, data: or uid:)");
  }

  // {"key": VALUE, ...}
  host::Value dictionary(int depth) {
    if (depth >= kMaxListDepth) throw std::invalid_argument("lists nest more than 64 deep");
    ++at_;
    host::Dictionary entries;
    skipSpaces();
    if (at_ < s_.size() && s_[at_] == '}') {
      ++at_;
      return host::Value(std::move(entries));
    }
    for (;;) {
      if (!atQuote()) throw std::invalid_argument("a dictionary's keys are \"strings\"");
      std::string key = quoted();
      skipSpaces();
      if (at_ >= s_.size() || s_[at_] != ':') {
        throw std::invalid_argument("a dictionary needs ':' between a key and its value");
      }
      ++at_;
      entries.set(std::move(key), value(depth + 1));
      skipSpaces();
      if (at_ < s_.size() && s_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < s_.size() && s_[at_] == '}') {
        ++at_;
        return host::Value(std::move(entries));
      }
      throw std::invalid_argument("a dictionary needs ',' between entries and '}' at its end");
    }
  }

  // A value written as one word: true, false, an integer, a real, date:, data:, uid:.
  static std::optional<host::Value> scalar(const std::string& token) {
    if (token == "true") return host::Value(true);
    if (token == "false") return host::Value(false);
    const char* first = token.data();
    const char* last = token.data() + token.size();
    std::int64_t integer = 0;
    auto [end, error] = std::from_chars(first, last, integer);
    if (error == std::errc() && end == last) return host::Value(integer);
    std::uint64_t large = 0;
    auto [uend, uerror] = std::from_chars(first, last, large);
    if (uerror == std::errc() && uend == last) return host::Value(large);
    double real = 0;
    auto [rend, rerror] = std::from_chars(first, last, real);
    if (rerror == std::errc() && rend == last) return host::Value(real);
    if (token.rfind("date:", 0) == 0) {
      const std::string_view text = std::string_view(token).substr(5);
      if (std::optional<double> seconds = hostsim::dateFromText(text, true)) {
        return host::Value(host::Date{*seconds});
      }
      double since = 0;  // seconds from 2001, for dates of other years
      auto [dend, derror] = std::from_chars(text.data(), text.data() + text.size(), since);
      if (!text.empty() && derror == std::errc() && dend == text.data() + text.size()) {
        return host::Value(host::Date{since});
      }
      return std::nullopt;
    }
    if (token.rfind("data:", 0) == 0) {
      host::Data bytes;
      for (std::size_t i = 5; i + 1 < token.size(); i += 2) {
        unsigned byte = 0;
        auto [hend, herror] = std::from_chars(token.data() + i, token.data() + i + 2, byte, 16);
        if (herror != std::errc() || hend != token.data() + i + 2) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(byte));
      }
      if (token.size() % 2 == 0) return std::nullopt;  // an odd number of digits
      return host::Value(std::move(bytes));
    }
    if (token.rfind("uid:", 0) == 0) {
      std::uint64_t n = 0;
      auto [nend, nerror] = std::from_chars(token.data() + 4, last, n);
      if (token.size() > 4 && nerror == std::errc() && nend == last) {
        return host::Value(host::Uid{n});
      }
    }
    return std::nullopt;
  }

 private:
  const std::string& s_;
  std::size_t at_ = 0;
};

// The line without its comment: "#" outside a string.
std::string withoutComment(const std::string& line) {
  bool inString = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (inString && c == '\\') {
      ++i;
      continue;
    }
    if (c == '"') inString = !inString;
    if (c == '#' && !inString) return line.substr(0, i);
  }
  return line;
}

}  // namespace

std::int64_t parseDuration(const std::string& word) {
  std::size_t unitAt = word.find_first_not_of("0123456789.");
  if (unitAt == 0 || unitAt == std::string::npos) {
    throw std::invalid_argument("a duration is a number and a unit: 800ms, 1.5s");
  }
  const std::string number = word.substr(0, unitAt);
  const std::string unit = word.substr(unitAt);
  double amount = 0;
  auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), amount);
  if (error != std::errc() || end != number.data() + number.size()) {
    throw std::invalid_argument(quoteInput(word) + " is not a duration");
  }
  double scale = unit == "ms" ? 1e6 : unit == "s" ? 1e9 : 0;
  if (scale == 0) {
    throw std::invalid_argument("a duration's unit is ms or s, not " + quoteInput(unit));
  }
  if (amount * scale > static_cast<double>(kLongestWait)) {
    throw std::invalid_argument("a duration of more than a week (604800s)");
  }
  return static_cast<std::int64_t>(std::llround(amount * scale));
}

host::Value parseValue(const std::string& text) {
  Lexer lexer(text);
  host::Value v = lexer.value();
  if (!lexer.done()) throw std::invalid_argument("unexpected text after the value");
  return v;
}

namespace {

const CommandSpec* findSpec(const std::string& name) {
  for (const CommandSpec& entry : commandTable()) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

// The usage of every command whose name starts with this word: "state write \"BYTES\" | state
// delete".
std::string usagesOf(const std::string& first) {
  std::string usage;
  for (const CommandSpec& entry : commandTable()) {
    const std::string name = entry.name;
    if (name == first || name.rfind(first + " ", 0) == 0) {
      usage += (usage.empty() ? "" : " | ") + entry.syntax();
    }
  }
  return usage;
}

// Reads one line's command: its name through the table, then its operands as its entry says.
void readCommand(Command& c) {
  Lexer lexer(c.text);
  const std::string first = lexer.word();
  c.words.push_back(first);
  const std::size_t afterFirst = lexer.position();
  const std::string second = lexer.done() ? std::string() : lexer.word();
  if (!second.empty()) c.entry = findSpec(first + " " + second);
  if (c.entry != nullptr) {
    c.words.push_back(second);
    c.nameWords = 2;
  } else {
    lexer.seek(afterFirst);
    c.entry = findSpec(first);
    c.nameWords = 1;
  }
  if (c.entry == nullptr) {
    const std::string usage = usagesOf(first);
    if (first == "expect")
      throw std::invalid_argument("unknown check expect " + quoteInput(second));
    if (usage.empty()) throw std::invalid_argument("unknown command " + quoteInput(first));
    throw std::invalid_argument("usage: " + usage);
  }
  const CommandSpec& entry = *c.entry;
  const bool keyed = entry.form == Operands::KeyValue || entry.form == Operands::KeyValueOrAbsent;
  if (keyed && !lexer.done()) {
    c.words.push_back(lexer.word());  // KEY
    const std::size_t valueAt = lexer.position();
    c.absent = entry.form == Operands::KeyValueOrAbsent && !lexer.done() && !lexer.atQuote() &&
               lexer.word() == "absent" && lexer.done();
    if (c.absent) {
      c.words.push_back("absent");
    } else if (lexer.seek(valueAt), !lexer.done()) {
      c.value = lexer.value();
      c.words.push_back("VALUE");
      if (!lexer.done()) throw std::invalid_argument("unexpected text after the value");
    }
  } else {
    while (!lexer.done()) {
      const bool bare = !lexer.atQuote();
      c.words.push_back(lexer.word());
      if (entry.form == Operands::WordOrAbsent && bare && c.words.back() == "absent") {
        c.absent = true;
      }
    }
  }
}

// Where the command may come, and how many operands it has; then its own validation.
void check(Command& c, ParseState& state) {
  const CommandSpec& entry = *c.entry;
  const std::string name = "'" + std::string(entry.name) + "'";
  if (entry.phase == Phase::SetUp && state.booted) {
    throw std::invalid_argument(name + " sets up the device and must come before 'boot'");
  }
  if (entry.needsBoot && !state.booted) {
    throw std::invalid_argument(name + " needs the device booted first (add 'boot' before it)");
  }
  if (c.operandCount() < entry.least || c.operandCount() > entry.most) {
    throw std::invalid_argument("usage: " + entry.syntax());
  }
  if (entry.validate != nullptr) entry.validate(c, state);
  if (entry.phase == Phase::AnyTime) state.anyFileCommand = true;
}

}  // namespace

Scenario parseScenario(const std::string& file, const std::string& text) {
  Scenario scenario{file, {}};
  ParseState state;
  std::istringstream lines(text);
  std::string raw;
  int number = 0;
  while (std::getline(lines, raw)) {
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    Command c;
    c.file = file;
    c.line = number;
    c.text = withoutComment(raw);
    while (!c.text.empty() && (c.text.back() == ' ' || c.text.back() == '\t')) c.text.pop_back();
    while (!c.text.empty() && (c.text.front() == ' ' || c.text.front() == '\t')) c.text.erase(0, 1);
    if (c.text.empty()) continue;
    try {
      readCommand(c);
      check(c, state);
    } catch (const std::invalid_argument& e) {
      throw ScenarioError(file, number, e.what());
    }
    scenario.commands.push_back(std::move(c));
  }
  return scenario;
}

namespace {

// Whether a code point is one that a terminal shows as itself: not a control, not a
// byte-order mark or other invisible format character, not a line or paragraph separator.
bool printable(std::uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
  if (cp == 0xFEFF || cp == 0x00AD || cp == 0x061C || cp == 0x180E) return false;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E)) return false;
  if ((cp >= 0x2060 && cp <= 0x206F) || (cp >= 0xFFF9 && cp <= 0xFFFB)) return false;
  return true;
}

// The length of the well-formed UTF-8 sequence at `at` and its code point; 0 when the bytes
// there are not one (utfcpp decides).
std::size_t utf8Sequence(std::string_view s, std::size_t at, std::uint32_t& cp) {
  const char* begin = s.data() + at;
  const char* it = begin;
  try {
    cp = utf8::next(it, s.data() + s.size());
  } catch (const utf8::exception&) {
    return 0;
  }
  return static_cast<std::size_t>(it - begin);
}

std::string escaped(std::string_view bytes, std::size_t limit, bool asString) {
  std::string out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::uint32_t cp = 0;
    std::size_t length = utf8Sequence(bytes, at, cp);
    if (at + std::max<std::size_t>(length, 1) > limit) break;
    const char c = bytes[at];
    if (length == 1 && (c == '"' || c == '\\') && asString) {
      out += '\\';
      out += c;
    } else if (length == 1 && (c == '\n' || c == '\r' || c == '\t')) {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
    } else if (length > 0 && printable(cp)) {
      out.append(bytes.substr(at, length));
    } else {
      // Not printable, or not UTF-8: each byte as \xHH, which reads back as the same bytes.
      for (std::size_t i = 0; i < std::max<std::size_t>(length, 1); ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(bytes[at + i]));
        out += hex;
      }
    }
    at += std::max<std::size_t>(length, 1);
  }
  if (asString) out = "\"" + out + "\"";
  if (at < bytes.size()) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

}  // namespace

std::string quoteInput(std::string_view bytes, std::size_t limit) {
  return escaped(bytes, limit, true);
}

std::string escapeInput(std::string_view bytes, std::size_t limit) {
  return escaped(bytes, limit, false);
}

std::string escapeOutput(std::string_view text) {
  return escaped(text, std::string::npos, false);
}

std::string escapeMessage(std::string_view message) {
  constexpr std::size_t kShown = 60;
  std::string out;
  std::size_t at = 0;
  while (at < message.size()) {
    std::size_t end = message.find(' ', at);
    if (end == std::string_view::npos) end = message.size();
    out += escaped(message.substr(at, end - at), kShown, false);
    if (end < message.size()) out += ' ';
    at = end + 1;
  }
  return out;
}

std::string quoteBytes(const std::string& bytes) {
  return escaped(bytes, std::string::npos, true);
}

std::string formatValue(const host::Value& value) {
  using T = host::Value::Type;
  switch (value.type()) {
    case T::None:
      return "(none)";
    case T::Boolean:
      return *value.asBoolean() ? "true" : "false";
    case T::Integer:
      if (const std::uint64_t* large = value.asLargeInteger()) return std::to_string(*large);
      return std::to_string(*value.asInteger());
    case T::Real: {
      // The shortest text that reads back as the same double; a dot keeps it a real.
      char text[32];
      const auto end = std::to_chars(text, text + sizeof text, *value.asReal()).ptr;
      std::string out(text, end);
      if (out.find_first_not_of("-0123456789") == std::string::npos) out += ".0";
      return out;
    }
    case T::String:
      return quoteBytes(*value.asString());
    case T::Data: {
      std::string out = "data:";
      constexpr const char* kDigits = "0123456789abcdef";
      for (const std::uint8_t byte : *value.asData()) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
      }
      return out;
    }
    case T::Date: {
      const double seconds = value.asDate()->sinceReferenceDate;
      // The years 1 to 9999 as the calendar writes them; other dates as seconds from 2001.
      if (seconds >= -63113904000.0 && seconds < 252423993600.0) {
        return "date:" + hostsim::textOfDate(seconds, true);
      }
      return "date:" + formatValue(host::Value(seconds));
    }
    case T::Array: {
      std::string out = "[";
      for (const auto& item : *value.asArray()) {
        if (out.size() > 1) out += ", ";
        out += formatValue(item);
      }
      return out + "]";
    }
    case T::Dictionary: {
      std::string out = "{";
      for (const auto& [key, item] : *value.asDictionary()) {
        if (out.size() > 1) out += ", ";
        out += quoteBytes(key) + ": " + formatValue(item);
      }
      return out + "}";
    }
    case T::Uid:
      return "uid:" + std::to_string(value.asUid()->value);
  }
  return "?";
}

}  // namespace harbrite::sim
