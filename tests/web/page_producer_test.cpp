// The page template's tag syntax and the form decoding.
#include "web/page_producer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "web/form_fields.h"

namespace corvane {
namespace {

// Replaces each tag by "[name|p1=v1|...]", so the tests see how it was read.
std::string Show(std::string_view name, const std::vector<TagParam>& params) {
  std::string out = "[" + std::string(name);
  for (const TagParam& p : params) out += "|" + p.name + "=" + p.value;
  return out + "]";
}

TEST(ProduceContentTest, TagRules) {
  struct Case {
    const char* templ;
    const char* page;
  };
  const Case cases[] = {
      {"a<#CorvResp>b", "a[CorvResp]b"},
      {"<#x a=1 b=\"two words\" c='q'>", "[x|a=1|b=two words|c=q]"},
      {"<#x  flag  >", "[x|flag=]"},
      {"<#>", "[]"},          // empty name is still a tag
      {"<#a-b>", "[a|-b=]"},  // the name stops at "-"
      {"< #x>", "< #x>"},     // "<" not followed by "#"
      {"<<#x>>", "<[x]>"},
      {"<#x", "<#x"},            // never closed: copied
      {"<#x <#y>", "[x|<#y=]"},  // the first ">" closes
      {"<#a><#b", "[a]<#b"},
      {"<#x v=\"a>b\">", "[x|v=\"a]b\">"},  // quotes do not hide ">"
      {"", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ProduceContent(c.templ, Show), c.page) << c.templ;
  EXPECT_EQ(ProduceContent("x<#y>z", nullptr), "xz");
}

// The plain reading of the rules, scanning afresh from every "<".
std::string ReferenceProduce(std::string_view t) {
  std::string out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '<' && i + 1 < t.size() && t[i + 1] == '#') {
      const std::size_t gt = t.find('>', i + 2);
      if (gt != std::string_view::npos) {
        std::size_t e = i + 2;
        while (e < gt &&
               (std::isalnum(static_cast<unsigned char>(t[e])) || t[e] == '_'))
          ++e;
        out += "[" + std::string(t.substr(i + 2, e - i - 2)) + "]";
        i = gt;
        continue;
      }
    }
    out += t[i];
  }
  return out;
}

TEST(ProduceContentTest, MatchesThePlainReadingOnRandomTemplates) {
  std::mt19937 gen(7);
  const char alphabet[] = "<#>a_ =\"";
  auto name_only = [](std::string_view name, const std::vector<TagParam>&) {
    return "[" + std::string(name) + "]";
  };
  for (int round = 0; round < 3000; ++round) {
    std::string t;
    const int n = static_cast<int>(gen() % 24);
    for (int i = 0; i < n; ++i) t += alphabet[gen() % (sizeof alphabet - 1)];
    ASSERT_EQ(ProduceContent(t, name_only), ReferenceProduce(t)) << t;
  }
}

TEST(FormFieldsTest, DecodingAndLookup) {
  struct Case {
    const char* piece;
    const char* text;
  };
  const Case cases[] = {
      {"a+b", "a b"}, {"%41%62", "Ab"}, {"%4", "%4"}, {"%zz1", "%zz1"},
      {"%%41", "%A"}, {"100%", "100%"}, {"%2B", "+"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DecodeFormText(c.piece), c.text) << c.piece;
  EXPECT_EQ(DecodeFormText("%00x"), std::string("\0x", 2));

  const std::vector<std::string> entries =
      DecodeFormEntries("&a=1&&T1%3Dx=y&t1=z&=e&");
  ASSERT_EQ(entries, (std::vector<std::string>{"a=1", "T1=x=y", "t1=z", "=e"}));
  EXPECT_EQ(FormFieldValue(entries, "T1"),
            "x=y");  // first entry, after the first "="
  EXPECT_EQ(FormFieldValue(entries, "a"), "1");
  EXPECT_EQ(FormFieldValue(entries, ""), "e");
  EXPECT_EQ(FormFieldValue(entries, "missing"), "");
  EXPECT_EQ(FormFieldValue(DecodeFormEntries("T1&T1=b"), "T1"), "b");
}

TEST(EscapeHtmlTest, MarkupBecomesText) {
  EXPECT_EQ(EscapeHtml("<a href=\"x\">Tom & Jerry's</a>"),
            "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&#39;s&lt;/a&gt;");
}

}  // namespace
}  // namespace corvane
