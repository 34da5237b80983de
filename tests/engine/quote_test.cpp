// The quoted debug form of error texts shown to people.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "quote.h"

namespace tessarin {
namespace {

using namespace std::string_literals;

TEST(Quoted, PlainTextIsOnlyEnclosed) {
  EXPECT_EQ(tessarin::quoted(""), "\"\"");
  EXPECT_EQ(tessarin::quoted("Error evaluating root node: x"), "\"Error evaluating root node: x\"");
  EXPECT_EQ(tessarin::quoted("it's {ok} / ~"), "\"it's {ok} / ~\"");
  // UTF-8 bytes above 0x7F are not control characters.
  EXPECT_EQ(tessarin::quoted("caf\xC3\xA9 \xF0\x9F\x9F\xA5"), "\"caf\xC3\xA9 \xF0\x9F\x9F\xA5\"");
}

TEST(Quoted, EscapesBackslashQuoteAndControlCharacters) {
  EXPECT_EQ(tessarin::quoted("a\\b"), R"("a\\b")");
  EXPECT_EQ(tessarin::quoted("say \"hi\""), R"("say \"hi\"")");
  EXPECT_EQ(tessarin::quoted("line\nnext\r\tend"), R"("line\nnext\r\tend")");
  EXPECT_EQ(tessarin::quoted("nul\0here"s), R"("nul\0here")");
  EXPECT_EQ(tessarin::quoted("\x01\x1b\x1f\x7f"), R"("\u{1}\u{1b}\u{1f}\u{7f}")");
  EXPECT_EQ(tessarin::quoted("\\\"\n"), R"("\\\"\n")");
}

}  // namespace
}  // namespace tessarin
