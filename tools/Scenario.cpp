#include "tools/Scenario.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

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
          throw std::invalid_argument(std::string("unknown escape \\") + e);
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
    std::size_t start = at_;
    while (at_ < s_.size() && s_[at_] != ' ' && s_[at_] != '\t' && s_[at_] != ',' &&
           s_[at_] != ']') {
      ++at_;
    }
    const std::string token = s_.substr(start, at_ - start);
    if (token == "true") return host::Value(true);
    if (token == "false") return host::Value(false);
    std::int64_t integer = 0;
    auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), integer);
    if (error == std::errc() && end == token.data() + token.size()) return host::Value(integer);
    double real = 0;
    auto [rend, rerror] = std::from_chars(token.data(), token.data() + token.size(), real);
    if (rerror == std::errc() && rend == token.data() + token.size() && std::isfinite(real)) {
      return host::Value(real);
    }
    throw std::invalid_argument(
        "'" + token + "' is not a value (true, false, a number, a \"string\" or a [list])");
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
    throw std::invalid_argument("'" + word + "' is not a duration");
  }
  double scale = unit == "ms" ? 1e6 : unit == "s" ? 1e9 : 0;
  if (scale == 0) throw std::invalid_argument("a duration's unit is ms or s, not '" + unit + "'");
  if (amount * scale > 1e15) throw std::invalid_argument("a duration of more than a week");
  return static_cast<std::int64_t>(std::llround(amount * scale));
}

struct Checker {
  std::string file;
  bool booted = false;
  bool anyFileCommand = false;
  std::set<std::string> apps;
  std::set<std::string> modules;
  bool modulesDeclared = false;

  [[noreturn]] void fail(const Command& c, const std::string& message) const {
    throw ScenarioError(file, c.line, message);
  }
  void needBoot(const Command& c) const {
    if (!booted)
      fail(c, "'" + c.words[0] + "' needs the device booted first (add 'boot' before it)");
  }
  void setUp(const Command& c) const {
    if (booted) fail(c, "'" + c.words[0] + "' sets up the device and must come before 'boot'");
  }
  void arity(const Command& c, std::size_t least, std::size_t most,
             const std::string& usage) const {
    if (c.words.size() < least || c.words.size() > most) fail(c, "usage: " + usage);
  }
  void oneOf(const Command& c, std::size_t i, std::initializer_list<const char*> options,
             const std::string& usage) const {
    if (c.words.size() <= i) fail(c, "usage: " + usage);
    for (const char* o : options) {
      if (c.words[i] == o) return;
    }
    fail(c, "usage: " + usage);
  }
  void app(const Command& c, const std::string& bundleId) const {
    if (apps.count(bundleId) == 0) {
      fail(c, "no application " + bundleId + " is installed (declare it with 'apps')");
    }
  }
};

const std::set<std::string> kDefaultModules = {
    "com.apple.control-center.ConnectivityModule", "com.apple.control-center.VPNModule",
    "com.apple.control-center.FlashlightModule", "com.apple.control-center.OrientationLockModule"};

}  // namespace

host::Value parseValue(const std::string& text) {
  Lexer lexer(text);
  host::Value v = lexer.value();
  if (!lexer.done()) throw std::invalid_argument("unexpected text after the value");
  return v;
}

Scenario parseScenario(const std::string& file, const std::string& text) {
  Scenario scenario{file, {}};
  Checker check;
  check.file = file;
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
      Lexer lexer(c.text);
      c.words.push_back(lexer.word());
      if (!lexer.done()) c.words.push_back(lexer.word());
      const std::string& first = c.words[0];
      const std::string second = c.words.size() > 1 ? c.words[1] : "";
      const bool setsValue = (first == "prefs" || first == "pane") && second == "set";
      const bool checksPrefs = first == "expect" && second == "prefs";
      if ((setsValue || checksPrefs) && !lexer.done()) {
        c.words.push_back(lexer.word());  // KEY
        const std::size_t valueAt = lexer.position();
        c.absent = checksPrefs && !lexer.done() && !lexer.atQuote() && lexer.word() == "absent" &&
                   lexer.done();
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
          if (c.words.size() == 3 && bare && c.words[2] == "absent") c.absent = true;
        }
      }
    } catch (const std::invalid_argument& e) {
      throw ScenarioError(file, number, e.what());
    }

    const std::string& verb = c.words[0];
    const std::string sub = c.words.size() > 1 ? c.words[1] : "";
    if (verb == "ios") {
      check.setUp(c);
      check.arity(c, 2, 2, "ios VERSION");
    } else if (verb == "apps") {
      check.setUp(c);
      check.arity(c, 2, SIZE_MAX, "apps ID...");
      check.apps.insert(c.words.begin() + 1, c.words.end());
    } else if (verb == "module") {
      check.setUp(c);
      check.arity(c, 2, 4, "module IDENTIFIER [vpn] [inert]");
      for (std::size_t i = 2; i < c.words.size(); ++i)
        check.oneOf(c, i, {"vpn", "inert"}, "module IDENTIFIER [vpn] [inert]");
      check.modulesDeclared = true;
      check.modules.insert(c.words[1]);
    } else if (verb == "libroot") {
      check.setUp(c);
      if (check.anyFileCommand)
        check.fail(c,
                   "'libroot' must come before the file commands: it decides where the files are");
      if (sub == "only-jbroot-prefix") {
        check.arity(c, 3, 3, "libroot only-jbroot-prefix PREFIX");
      } else {
        check.arity(c, 2, 2, "libroot none | PREFIX | only-jbroot-prefix PREFIX");
      }
    } else if (verb == "backboard") {
      check.setUp(c);
      check.oneOf(c, 1, {"absent"}, "backboard absent");
      check.arity(c, 2, 2, "backboard absent");
    } else if (verb == "prefs") {
      check.anyFileCommand = true;
      const std::string usage =
          "prefs set KEY VALUE | prefs remove KEY | prefs delete | prefs write \"BYTES\"";
      check.oneOf(c, 1, {"set", "remove", "delete", "write"}, usage);
      if (sub == "set") check.arity(c, 4, 4, usage);
      if (sub == "remove" || sub == "write") check.arity(c, 3, 3, usage);
      if (sub == "delete") check.arity(c, 2, 2, usage);
    } else if (verb == "state") {
      check.anyFileCommand = true;
      const std::string usage = "state write \"BYTES\" | state delete";
      check.oneOf(c, 1, {"write", "delete"}, usage);
      check.arity(c, sub == "write" ? 3 : 2, sub == "write" ? 3 : 2, usage);
    } else if (verb == "boot") {
      check.arity(c, 1, 1, "boot");
      if (check.booted) check.fail(c, "the device has booted already");
      check.booted = true;
    } else if (verb == "front") {
      check.needBoot(c);
      check.arity(c, 2, 2, "front ID | front home");
      if (sub != "home") check.app(c, sub);
    } else if (verb == "exit") {
      check.needBoot(c);
      check.arity(c, 2, 2, "exit ID");
      check.app(c, sub);
    } else if (verb == "wait") {
      check.arity(c, 2, 2, "wait DURATION");
      try {
        c.nanoseconds = parseDuration(sub);
      } catch (const std::invalid_argument& e) {
        check.fail(c, e.what());
      }
    } else if (verb == "user") {
      check.needBoot(c);
      check.oneOf(c, 1, {"vpn"}, "user vpn on|off");
      check.oneOf(c, 2, {"on", "off"}, "user vpn on|off");
      check.arity(c, 3, 3, "user vpn on|off");
    } else if (verb == "call") {
      check.needBoot(c);
      check.arity(c, 2, 2, "call SYMBOL");
    } else if (verb == "pane") {
      const std::string usage = "pane set KEY VALUE | pane reset-vpn";
      check.oneOf(c, 1, {"set", "reset-vpn"}, usage);
      check.arity(c, sub == "set" ? 4 : 2, sub == "set" ? 4 : 2, usage);
    } else if (verb == "expect") {
      const std::string what = sub;
      if (what == "engine") {
        check.needBoot(c);
        check.oneOf(c, 2, {"inert", "installed"}, "expect engine inert|installed");
        check.arity(c, 3, 3, "expect engine inert|installed");
      } else if (what == "exit-hook") {
        check.needBoot(c);
        const std::string usage =
            "expect exit-hook "
            "SBMainSwitcherViewController|SBMainSwitcherControllerCoordinator|none";
        check.oneOf(c, 2,
                    {"SBMainSwitcherViewController", "SBMainSwitcherControllerCoordinator", "none"},
                    usage);
        check.arity(c, 3, 3, usage);
      } else if (what == "vpn" || what == "record") {
        if (what == "vpn") check.needBoot(c);
        check.oneOf(c, 2, {"on", "off"}, "expect " + what + " on|off");
        check.arity(c, 3, 3, "expect " + what + " on|off");
      } else if (what == "state") {
        check.arity(c, 3, 3, "expect state \"BYTES\" | absent");
      } else if (what == "prefs") {
        check.arity(c, 4, 4, "expect prefs KEY VALUE | absent");
      } else if (what == "module") {
        check.needBoot(c);
        check.arity(c, 4, 4, "expect module IDENTIFIER selected|deselected");
        check.oneOf(c, 3, {"selected", "deselected"},
                    "expect module IDENTIFIER selected|deselected");
        const auto& known = check.modulesDeclared ? check.modules : kDefaultModules;
        if (known.count(c.words[2]) == 0) check.fail(c, "the device has no module " + c.words[2]);
      } else if (what == "terminated") {
        check.needBoot(c);
        check.arity(c, 3, SIZE_MAX, "expect terminated ID... | none");
      } else if (what == "log") {
        check.arity(c, 3, 3, "expect log \"TEXT\"");
      } else if (what == "notified") {
        check.arity(c, 3, 3, "expect notified NAME");
      } else {
        check.fail(c, "unknown check 'expect " + what + "'");
      }
    } else {
      check.fail(c, "unknown command '" + verb + "'");
    }
    scenario.commands.push_back(std::move(c));
  }
  return scenario;
}

std::string quoteBytes(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string formatValue(const host::Value& value) {
  using T = host::Value::Type;
  switch (value.type()) {
    case T::None:
      return "(none)";
    case T::Boolean:
      return *value.asBoolean() ? "true" : "false";
    case T::Integer:
      return std::to_string(*value.asInteger());
    case T::Real: {
      std::ostringstream s;
      s << *value.asReal();
      std::string text = s.str();
      if (text.find_first_of(".e") == std::string::npos) text += ".0";
      return text;
    }
    case T::String:
      return quoteBytes(*value.asString());
    case T::Data:
      return "<data of " + std::to_string(value.asData()->size()) + " bytes>";
    case T::Date:
      return "<date>";
    case T::Array: {
      std::string out = "[";
      for (const auto& item : *value.asArray()) {
        if (out.size() > 1) out += ", ";
        out += formatValue(item);
      }
      return out + "]";
    }
    case T::Dictionary:
      return "<dictionary of " + std::to_string(value.asDictionary()->size()) + " entries>";
  }
  return "?";
}

}  // namespace harbrite::sim
