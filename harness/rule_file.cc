#include "harness/rule_file.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

namespace {

using Json = nlohmann::json;

// Names and numbers come from the file: control characters are shown escaped
// and long texts shortened, so that a refusal stays one readable line.
std::string Printable(const std::string& text, size_t longest = 64) {
  std::string shown;
  for (size_t i = 0; i < text.size() && i < longest; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 0xf];
    } else {
      shown += static_cast<char>(c);
    }
  }
  if (text.size() > longest) shown += "...";
  return shown;
}

// The names of the table's groups, or of one group's values, for messages.
std::string GroupNames() {
  std::string names;
  for (size_t i = 0; i < kRuleFieldCount; ++i) {
    const char* group = kRuleFields[i].group;
    if (i > 0 && std::string(kRuleFields[i - 1].group) == group) continue;
    names += names.empty() ? "" : ", ";
    names += group;
  }
  return names;
}

std::string NamesIn(const std::string& group) {
  std::string names;
  for (size_t i = 0; i < kRuleFieldCount; ++i) {
    if (group != kRuleFields[i].group) continue;
    names += names.empty() ? "" : ", ";
    names += kRuleFields[i].name;
  }
  return names;
}

// Reads the file as the parser meets it: the object of groups at depth 1,
// a group's values at depth 2. The first problem stops the parse.
class RuleFileReader : public nlohmann::json_sax<Json> {
 public:
  RuleFileReader(TumblixRules* rules, RuleFileError* error) : rules_(rules), error_(error) {}

  bool null() override { return NotANumber("null"); }
  bool boolean(bool) override { return NotANumber("a boolean"); }
  bool string(string_t&) override { return NotANumber("a string"); }
  bool binary(binary_t&) override { return NotANumber("binary data"); }
  bool start_array(std::size_t) override { return NotANumber("an array"); }
  bool end_array() override { return true; }

  bool start_object(std::size_t) override {
    after_key_ = false;
    if (depth_ == 2) return NotANumber("an object");
    depth_ += 1;
    return true;
  }
  bool end_object() override {
    depth_ -= 1;
    return true;
  }

  bool key(string_t& key) override {
    after_key_ = true;
    if (depth_ == 1) {
      group_ = key;
      if (!IsRuleGroup(key.c_str())) {
        return Refuse(Printable(key), "unknown group (the groups: " + GroupNames() + ")");
      }
      if (!groups_seen_.insert(key).second) return Refuse(Printable(key), "the group is given twice");
      return true;
    }
    name_ = group_ + "." + key;
    field_ = FindRuleField(group_.c_str(), key.c_str());
    if (field_ == nullptr) {
      return Refuse(Printable(name_), "unknown name (" + group_ + " has: " + NamesIn(group_) + ")");
    }
    if (!names_seen_.insert(name_).second) return Refuse(name_, "the value is given twice");
    return true;
  }

  bool number_integer(number_integer_t value) override {
    after_key_ = false;
    if (depth_ != 2) return NotANumber("a number");
    if (field_->type == RuleValueType::kFloat32) return SetFloat(static_cast<float>(value));
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
      return OutOfInt32Range();
    }
    return SetInt(static_cast<int32_t>(value));
  }

  bool number_unsigned(number_unsigned_t value) override {
    after_key_ = false;
    if (depth_ != 2) return NotANumber("a number");
    if (field_->type == RuleValueType::kFloat32) return SetFloat(static_cast<float>(value));
    if (value > static_cast<number_unsigned_t>(std::numeric_limits<int32_t>::max())) {
      return OutOfInt32Range();
    }
    return SetInt(static_cast<int32_t>(value));
  }

  bool number_float(number_float_t parsed, const string_t& text) override {
    after_key_ = false;
    if (depth_ != 2) return NotANumber("a number");
    // The parser hands integers beyond 64 bits over as reals too.
    const bool written_as_integer = text.find_first_of(".eE") == string_t::npos;
    if (field_->type == RuleValueType::kInt32) {
      if (written_as_integer) return OutOfInt32Range();
      return Refuse(
          name_, "must be an integer (written without a decimal point or exponent), not " + Printable(text));
    }
    // From the text, not from the parser's double: rounded once, as the
    // compiler rounds a float constant (and whatever the C locale says).
    float value = 0.0f;
    const std::from_chars_result read = std::from_chars(text.data(), text.data() + text.size(), value);
    if (read.ec == std::errc::result_out_of_range) {
      return Refuse(
          name_, std::fabs(parsed) > 1.0
                     ? "not a finite number in single precision: " + Printable(text) + " is beyond its range"
                     : "out of range: " + Printable(text) + " is too small for single precision");
    }
    if (read.ec != std::errc() || read.ptr != text.data() + text.size()) {
      return Refuse(name_, "not a number: " + Printable(text));
    }
    return SetFloat(value);
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    // The value a key announced could not be read (NaN, Infinity, a number
    // beyond the double range, a stray word): that value is named.
    const std::string name = !after_key_ ? "" : depth_ == 1 ? Printable(group_) : name_;
    // 406: a number beyond the double range.
    if (ex.id == 406) return Refuse(name, "not a finite number");
    std::string reason = ex.what();
    const size_t bracket = reason.find("] ");
    if (reason.rfind("[json.exception.", 0) == 0 && bracket != std::string::npos)
      reason.erase(0, bracket + 2);
    return Refuse(name, "not JSON: " + Printable(reason, 240));
  }

 private:
  bool Refuse(const std::string& name, const std::string& reason) {
    error_->name = name;
    error_->reason = reason;
    return false;
  }

  // A value that is no number where a number belongs, or anything but the
  // object of groups or a group's object where they belong.
  bool NotANumber(const char* what) {
    after_key_ = false;
    if (depth_ == 0)
      return Refuse("", std::string("the file must hold one JSON object of groups, not ") + what);
    if (depth_ == 1) {
      return Refuse(Printable(group_), std::string("a group must be an object of named values, not ") + what);
    }
    return Refuse(name_, std::string("must be a number, not ") + what);
  }

  bool OutOfInt32Range() {
    return Refuse(name_, "out of range: an integer value lies between -2147483648 and 2147483647");
  }

  bool SetInt(int32_t value) {
    if (field_->is_length && value < 0) return Refuse(name_, "a length cannot be negative");
    if (field_->is_length && value > kLongestRuleLength) {
      return Refuse(name_, "out of range: a length is at most " + std::to_string(kLongestRuleLength) +
                               " (a day of samples)");
    }
    *static_cast<int32_t*>(field_->in(rules_)) = value;
    return true;
  }

  bool SetFloat(float value) {
    *static_cast<float*>(field_->in(rules_)) = value;
    return true;
  }

  TumblixRules* rules_;
  RuleFileError* error_;
  int depth_ = 0;
  std::string group_;
  std::string name_;  // "group.name" of the value being read
  const RuleField* field_ = nullptr;
  bool after_key_ = false;  // a key was read and its value not yet
  std::set<std::string> groups_seen_;
  std::set<std::string> names_seen_;
};

}  // namespace

bool OverlayRuleFile(const std::string& text, TumblixRules* rules, RuleFileError* error) {
  TumblixRules overlaid = *rules;
  RuleFileReader reader(&overlaid, error);
  if (!Json::sax_parse(text, &reader)) return false;
  *rules = overlaid;
  return true;
}
