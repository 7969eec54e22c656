#include "form_field.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each case under both rules; NULL where the field is not found.
TEST(FormFieldTest, SubstringAndWholeNameRules) {
  struct Case {
    const char* text;
    const char* name;
    const char* substring;
    const char* wholeName;
  } const kCases[] = {
      {"name=Taro&email=x", "name", "Taro", "Taro"},
      {"name2=a&name=b", "name", "a", "b"},
      {"dbname=x&name=y", "name=", "x", nullptr},  // a whole name never holds '='
      {"dbname=x&name=y", "name", "x", "y"},
      {"deleteitemid=5&deleteitem=1", "deleteitem=", "1", nullptr},
      {"deleteitemid=5&deleteitem=1", "deleteitem", "5", "1"},
      {"subject=my name&x=1", "name", "1", nullptr},
      {"name=nobody&body=text", "body", "text", "text"},
      {"nobody=x&body=y", "body", "x", "y"},
      {"nickname=x", "name", "x", nullptr},
      {"name&name=2", "name", "2", "2"},
      {"a=&b=1", "a", "", ""},
      {"a=1&b=", "b", "", ""},
      {"abc", "b", nullptr, nullptr},
      {"", "a", nullptr, nullptr},
      {"row=20", "row", "20", "20"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.name);
    struct {
      FieldMatch rule;
      const char* expected;
    } const kRules[] = {{kFieldSubstring, c.substring}, {kFieldWholeName, c.wholeName}};
    for (const auto& r : kRules) {
      const char* value = FindFormField(c.text, c.name, r.rule);
      if (r.expected == nullptr) {
        EXPECT_EQ(nullptr, value) << "rule " << r.rule;
      } else {
        ASSERT_NE(nullptr, value) << "rule " << r.rule;
        EXPECT_EQ(std::string(r.expected), std::string(value, FormFieldLength(value)))
            << "rule " << r.rule;
      }
    }
  }
  EXPECT_EQ(nullptr, FindFormField(nullptr, "a", kFieldSubstring));
  EXPECT_EQ(nullptr, FindFormField("a=1", nullptr, kFieldWholeName));
}

}  // namespace
