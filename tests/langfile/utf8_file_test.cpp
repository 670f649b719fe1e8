// Language files declared UTF-8: by the byte-order mark or by the
// declaration line; what the reader makes of their texts and what the
// writer keeps. Files without a declaration are read as before.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "platform/files.h"
#include "tests/temp_dir.h"
#include "text/utf8.h"

namespace corvane {
namespace {

struct Loaded {
  std::unique_ptr<BrainClass> brain = std::make_unique<BrainClass>();
  std::vector<std::string> problems;
};

Loaded Load(const std::string& bytes) {
  TempDir dir;
  EXPECT_TRUE(WriteFileBytes(dir.File("kb.clf"), bytes));
  Loaded out;
  out.brain->Seed(1);
  LoadLanguageFile(*out.brain, dir.File("kb.clf"),
                   [&](const LanguageProblem& p) { out.problems.push_back(p.message); });
  return out;
}

std::string Save(const BrainClass& brain) {
  TempDir dir;
  EXPECT_TRUE(SaveLanguageFile(brain, dir.File("kb.clf")));
  return ReadFileBytes(dir.File("kb.clf")).value_or("<no file>");
}

const std::string kBom = "\xEF\xBB\xBF";
const std::string kBody =
    "For-Mode\r\n"
    "  Response {Pardon?},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment CUSTOM,10,0, {caf\xC3\xA9}, {}, {}\r\n"
    "  Response {Un caf\xC3\xA9, cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e},Just Text,{},{}\r\n"
    "Fact {Imi\xC4\x99} = {\xC5\x81ukasz}\r\n";

TEST(Utf8LanguageFileTest, ByteOrderMarkDeclaresUtf8AndIsNoPartOfTheFirstLine) {
  // The mark right before a keyword: without it taken off, the first line
  // would be a data line and its fact lost.
  Loaded l = Load(kBom + "Fact {a} = {b}\r\n" + kBody);
  EXPECT_TRUE(l.problems.empty());
  EXPECT_EQ(l.brain->text_encoding(), TextEncoding::kUtf8);
  EXPECT_EQ(l.brain->GetFact("a"), "b");
  EXPECT_EQ(l.brain->Respond("CAF\xC3\x89!"), "Un caf\xC3\xA9, cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e");
  EXPECT_EQ(l.brain->Respond("caf"), "Pardon?");
}

TEST(Utf8LanguageFileTest, DeclarationLineBeforeTheFirstKeywordDeclaresUtf8) {
  Loaded l = Load("// Notes\r\n  encoding: utf-8  \r\n" + kBody);
  EXPECT_EQ(l.brain->text_encoding(), TextEncoding::kUtf8);
  // After a keyword line it is an ordinary comment.
  Loaded late = Load(kBody + "Encoding: UTF-8\r\n");
  EXPECT_EQ(late.brain->text_encoding(), TextEncoding::kCodePage);
  // Inside a collection it is a member.
  Loaded member = Load("Start-Collection {c}\r\nEncoding: UTF-8\r\nEnd-Collection\r\n");
  EXPECT_EQ(member.brain->text_encoding(), TextEncoding::kCodePage);
}

TEST(Utf8LanguageFileTest, FileWithoutDeclarationStaysInTheCodePage) {
  // The same UTF-8 bytes without a declaration are code-page bytes, and a
  // mark anywhere but at the very start declares nothing.
  // There the fragment's last byte is no letter, so it holds inside
  // "cafés"; a UTF-8 file's "é" is a letter, and there it does not.
  Loaded l = Load(kBody);
  EXPECT_EQ(l.brain->text_encoding(), TextEncoding::kCodePage);
  EXPECT_EQ(l.brain->Respond("caf\xC3\xA9s"), "Un caf\xC3\xA9, cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e");
  EXPECT_EQ(Load(kBom + kBody).brain->Respond("caf\xC3\xA9s"), "Pardon?");
  Loaded later = Load("\r\n" + kBom + "\r\n" + kBody);
  EXPECT_EQ(later.brain->text_encoding(), TextEncoding::kCodePage);
  // Saving it writes no mark: the file stays as it was read.
  EXPECT_NE(Save(*l.brain).substr(0, 3), kBom);
}

TEST(Utf8LanguageFileTest, InvalidSequencesBecomeReplacementCharacters) {
  Loaded l = Load(kBom + "Fact {x} = {a\xFF" "b\xC3}\r\n");
  EXPECT_EQ(l.brain->GetFact("x"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(Utf8LanguageFileTest, WriterKeepsTheMarkAndTheTextsRoundTrip) {
  Loaded l = Load(kBom + kBody);
  const std::string saved = Save(*l.brain);
  ASSERT_EQ(saved.substr(0, 3), kBom);
  EXPECT_EQ(saved.substr(3, 2), "\r\n");  // Then the header as always.
  EXPECT_NE(saved.find("{caf\xC3\xA9}"), std::string::npos);
  Loaded again = Load(saved);
  EXPECT_EQ(again.brain->text_encoding(), TextEncoding::kUtf8);
  EXPECT_EQ(again.brain->GetFact("Imi\xC4\x99"), "\xC5\x81ukasz");
  EXPECT_EQ(Save(*again.brain), saved);
}

}  // namespace
}  // namespace corvane
