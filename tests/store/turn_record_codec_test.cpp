// The transcript records of a Redis store.
#include "store/turn_record_codec.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(TurnRecordCodecTest, RoundTripKeepsEveryByte) {
  TurnEntry e;
  e.turn = 18446744073709551615u;
  e.record.time = -5;  // before 1970: a host with a broken clock
  e.record.input = std::string("1 2 3\n4\0", 8);
  e.record.reply = "\xff\n\n";
  e.record.knowledge_version = "kv 9";
  e.record.failed = true;
  const std::string bytes = EncodeTurnRecord(e);
  EXPECT_EQ(bytes.substr(0, bytes.find('\n')),
            "1 18446744073709551615 -5 1 4 8 3");
  const TurnEntry d = DecodeTurnRecord(bytes);
  EXPECT_EQ(d.turn, e.turn);
  EXPECT_EQ(d.record.time, -5);
  EXPECT_EQ(d.record.input, e.record.input);
  EXPECT_EQ(d.record.reply, e.record.reply);
  EXPECT_EQ(d.record.knowledge_version, "kv 9");
  EXPECT_TRUE(d.record.failed);
  EXPECT_FALSE(d.record.fallback);

  TurnEntry empty;
  empty.record.fallback = true;
  EXPECT_EQ(EncodeTurnRecord(empty), "1 0 0 2 0 0 0\n");
  EXPECT_TRUE(DecodeTurnRecord("1 0 0 2 0 0 0\n").record.fallback);
}

TEST(TurnRecordCodecTest, BytesNotMadeByTheEncoderAreRefused) {
  const char* bad[] = {
      "",
      "1 0 0 0 0 0 0",    // no line end
      "2 0 0 0 0 0 0\n",  // another version
      "1 0 0 4 0 0 0\n",  // an unknown flag
      "1 0 0 -1 0 0 0\n",
      "1 -1 0 0 0 0 0\n",   // a negative turn
      "1 0 0 0 1 0 0\n",    // texts shorter than their lengths
      "1 0 0 0 0 0 1\nab",  // longer
      "1 0 0 0 18446744073709551615 2 0\nab",  // lengths that overflow
      "1 0 0 0 2 18446744073709551615 0\nab",
      "1 0 0 0 0 0 99999999999999999999\n",  // out of range
      "1  0 0 0 0 0 0\n",                    // two blanks
      "1 0 0 0 0 0 +0\n",
      "1 0 0 0 0 0 0 0\n",  // one number too many
      "x 0 0 0 0 0 0\n",
  };
  for (const char* bytes : bad)
    EXPECT_THROW(DecodeTurnRecord(bytes), StoreDataError) << bytes;
}

}  // namespace
}  // namespace corvane
