// The rule table: the values compiled into the detector are the values of
// tumblix/rule_table.json, read as a rule file reads them; and what a rule
// file may overlay onto them.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "harness/rule_file.h"
#include "tests/test_support.h"
#include "tumblix/rule_set.h"

namespace {

using Json = nlohmann::json;

// Every entry's "value" exactly as written in the file: the parser's double
// would already be one rounding away from the text.
class ValueTexts : public nlohmann::json_sax<Json> {
 public:
  std::vector<std::string> texts;

  bool number_integer(number_integer_t value) override { return Note(std::to_string(value)); }
  bool number_unsigned(number_unsigned_t value) override { return Note(std::to_string(value)); }
  bool number_float(number_float_t, const string_t& text) override { return Note(text); }
  bool key(string_t& key) override {
    key_ = key;
    return true;
  }
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool Note(const std::string& text) {
    if (key_ == "value") texts.push_back(text);
    return true;
  }
  std::string key_;
};

std::string TableText() {
  return test_support::ReadFile(std::string(TUMBLEBENCH_SOURCE_DIR) + "/tumblix/rule_table.json");
}

uint32_t Bits(TumblixRules* rules, const RuleField& field) {
  uint32_t bits;
  std::memcpy(&bits, field.in(rules), sizeof(bits));
  return bits;
}

TEST(RuleTable, TheCompiledDefaultsAreTheFileReadAsARuleFileReadsIt) {
  const std::string text = TableText();
  const Json table = Json::parse(text);
  ValueTexts values;
  ASSERT_TRUE(Json::sax_parse(text, &values));
  const Json& entries = table.at("constants");
  ASSERT_EQ(entries.size(), kRuleFieldCount);
  ASSERT_EQ(values.texts.size(), kRuleFieldCount);

  TumblixRules defaults;
  tumblix_default_rules(&defaults);
  for (size_t i = 0; i < kRuleFieldCount; ++i) {
    const Json& entry = entries[i];
    const std::string group = entry.at("group");
    const std::string name = entry.at("name");
    SCOPED_TRACE(group + "." + name);
    const RuleField& field = kRuleFields[i];
    EXPECT_EQ(FindRuleField(group.c_str(), name.c_str()), &field) << "the table's order is the record's";
    const std::string type = entry.at("type");
    EXPECT_EQ(type, field.type == RuleValueType::kFloat32 ? "float32" : "int32");
    const std::string unit = entry.at("unit");
    EXPECT_EQ(field.is_length, unit == "samples" || unit == "evaluations");
    EXPECT_FALSE(entry.at("reason").get<std::string>().empty());

    // The value as a rule file naming it alone would set it.
    TumblixRules read;
    std::memset(&read, 0xff, sizeof(read));
    RuleFileError error;
    const std::string overlay = "{\"" + group + "\": {\"" + name + "\": " + values.texts[i] + "}}";
    ASSERT_TRUE(OverlayRuleFile(overlay, &read, &error)) << error.name << ": " << error.reason;
    EXPECT_EQ(Bits(&read, field), Bits(&defaults, field)) << "written " << values.texts[i];
  }
}

// The generator stops the build on a table the code cannot take, naming the
// entry, instead of generating a record that compiles to other values.
TEST(RuleTable, TheGeneratorRefusesATableTheCodeCannotTake) {
  const std::string good =
      R"({"group": "mode6", "name": "vv_above", "type": "float32", "value": 21.3, "unit": "vv", "reason": "r"})";
  const struct {
    const char* entry;
    const char* message;
  } cases[] = {
      {R"({"group": "mode7", "name": "run_above", "type": "int32", "value": 7.5, "unit": "evaluations", "reason": "r"})",
       "must be an integer"},
      {R"({"group": "mode7", "name": "run_above", "type": "int32", "value": -1, "unit": "evaluations", "reason": "r"})",
       "a length cannot be negative"},
      {R"({"group": "mode7", "name": "run_above", "type": "int32", "value": 3000000000, "unit": "evaluations", "reason": "r"})",
       "outside the int32 range"},
      {R"({"group": "mode7", "name": "run_above", "type": "float32", "value": 7, "unit": "evaluations", "reason": "r"})",
       "a length must be an int32"},
      {R"({"group": "mode7", "name": "p_above", "type": "double", "value": 0.9, "unit": "score", "reason": "r"})",
       "type must be int32 or float32"},
      {R"({"group": "mode7", "name": "p_above", "type": "float32", "value": "0.9", "unit": "score", "reason": "r"})",
       "must be a number"},
      {R"({"group": "mode7", "name": "p_above", "type": "float32", "value": 0.9, "unit": "percent", "reason": "r"})",
       "unknown unit"},
      {R"({"group": "mode7", "name": "p_above", "type": "float32", "value": 0.9, "unit": "score", "reason": ""})",
       "no reason"},
      {R"({"group": "mode7", "name": "p-above", "type": "float32", "value": 0.9, "unit": "score", "reason": "r"})",
       "lower-case identifier"},
      {R"({"group": "mode6", "name": "vv_above", "type": "float32", "value": 23, "unit": "vv", "reason": "r"})",
       "named twice"},
      {R"({"group": "mode7", "name": "p_above", "type": "float32", "value": 0.9, "unit": "score"})", "no \"reason\""},
  };
  test_support::TempDir dir;
  const std::string script = std::string(TUMBLEBENCH_SOURCE_DIR) + "/tumblix/rule_table.cmake";
  auto generate = [&](const std::string& entries, int* status) {
    test_support::WriteFile(dir.File("table.json"), "{\"constants\": [" + entries + "]}");
    const std::string output =
        test_support::RunCommand("'" + std::string(TUMBLEBENCH_CMAKE) + "' -DTABLE='" + dir.File("table.json") +
                                     "' -DOUTPUT='" + dir.File("table.h") + "' -P '" + script + "' 2>&1",
                                 status);
    // CMake wraps its messages: one space for every run of white space.
    std::string flat;
    for (char c : output) {
      const bool space = c == ' ' || c == '\n';
      if (!space || flat.empty() || flat.back() != ' ') flat += space ? ' ' : c;
    }
    return flat;
  };
  int status = -1;
  const std::string generated = generate(good, &status);
  ASSERT_EQ(status, 0) << generated;
  EXPECT_NE(test_support::ReadFile(dir.File("table.h")).find("ENTRY(mode6, vv_above, float, false, 21.3"),
            std::string::npos);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const std::string output = generate(good + ", " + c.entry, &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find("entry 1"), std::string::npos) << output;
    EXPECT_NE(output.find(c.message), std::string::npos) << output;
  }
  // A group's entries stand together, so that its struct is one.
  const std::string split = generate(good + R"(, {"group": "mode7", "name": "p_above", "type": "float32", "value": 0.9,
      "unit": "score", "reason": "r"}, {"group": "mode6", "name": "other", "type": "float32", "value": 1,
      "unit": "vv", "reason": "r"})",
                                     &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(split.find("must stand together"), std::string::npos) << split;
}

// What a rule file sets, bit for bit, and that it sets nothing else.
TEST(RuleFile, AValueIsSetAsWrittenAndNothingElseChanges) {
  struct Set {
    const char* name;
    uint32_t bits;
  };
  auto f = [](float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
  };
  auto i = [](int32_t value) { return static_cast<uint32_t>(value); };
  const struct {
    const char* text;
    std::vector<Set> sets;
  } cases[] = {
      {"{}", {}},
      {" \n{ \"mode6\" :\n {\"vv_above\": 23}\n}\n", {{"mode6.vv_above", f(23.0f)}}},
      {"{\"mode4\": {\"p_at_least\": 0.5}, \"window\": {\"open_samples\": 40, \"raw_acc_at_most\": 95}}",
       {{"mode4.p_at_least", f(0.5f)}, {"window.open_samples", i(40)}, {"window.raw_acc_at_most", i(95)}}},
      // Rounded from the text once: through a double first it would tie
      // down to 1.
      {"{\"mode5\": {\"p_at_least\": 1.00000005960464477550}}", {{"mode5.p_at_least", f(0x1.000002p+0f)}}},
      {"{\"mode3\": {\"vv_above\": 16777217}}", {{"mode3.vv_above", f(16777216.0f)}}},
      {"{\"mode2\": {\"tilt_vv_above\": -0.0}}", {{"mode2.tilt_vv_above", f(-0.0f)}}},
      {"{\"mode3\": {\"vv_above\": 1e-40}}", {{"mode3.vv_above", f(1e-40f)}}},
      {"{\"mode1\": {\"pitch_below\": -2147483648, \"roll_abs_above\": 2147483647}}",
       {{"mode1.pitch_below", i(INT32_MIN)}, {"mode1.roll_abs_above", i(INT32_MAX)}}},
      {"{\"x1\": {\"window_samples\": 0}, \"mode7\": {\"run_above\": 4320000}}",
       {{"x1.window_samples", i(0)}, {"mode7.run_above", i(kLongestRuleLength)}}},
      {"\xEF\xBB\xBF{\"runs\": {\"p_above\": 0.75}}", {{"runs.p_above", f(0.75f)}}},  // a byte-order mark
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TumblixRules defaults, rules;
    tumblix_default_rules(&defaults);
    tumblix_default_rules(&rules);
    RuleFileError error;
    ASSERT_TRUE(OverlayRuleFile(c.text, &rules, &error)) << error.name << ": " << error.reason;
    for (size_t k = 0; k < kRuleFieldCount; ++k) {
      const RuleField& field = kRuleFields[k];
      const std::string name = std::string(field.group) + "." + field.name;
      uint32_t expected = Bits(&defaults, field);
      for (const Set& set : c.sets) {
        if (name == set.name) expected = set.bits;
      }
      EXPECT_EQ(Bits(&rules, field), expected) << name;
    }
  }
}

TEST(RuleFile, ARefusedFileChangesNothing) {
  TumblixRules defaults, rules;
  tumblix_default_rules(&defaults);
  rules = defaults;
  RuleFileError error;
  EXPECT_FALSE(
      OverlayRuleFile("{\"mode6\": {\"vv_above\": 23}, \"mode4\": {\"p_at_least\": \"x\"}}", &rules, &error));
  EXPECT_EQ(error.name, "mode4.p_at_least");
  EXPECT_EQ(std::memcmp(&rules, &defaults, sizeof(rules)), 0);
}

}  // namespace
