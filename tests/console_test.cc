// Console line input and the reading of typed numbers.
#include "platform/console.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "editor/dialogue.h"

namespace atb {
namespace {

std::vector<std::string> Lines(const std::string& input) {
  std::istringstream in(input);
  std::ostringstream out;
  Console console(in, out, out);
  std::vector<std::string> lines;
  std::string line;
  while (console.ReadLine(&line)) lines.push_back(line);
  return lines;
}

TEST(Console, LineEndsAndEndOfInput) {
  EXPECT_EQ(Lines("a\nb\r\n\r\nlast"), (std::vector<std::string>{"a", "b", "", "last"}));
  EXPECT_EQ(Lines(""), std::vector<std::string>{});
  EXPECT_EQ(Lines("\n"), std::vector<std::string>{""});
  // Only a "\r" right before "\n" belongs to the line end.
  EXPECT_EQ(Lines("a\rb\r"), std::vector<std::string>{"a\rb\r"});
}

// A reason starts a line of its own on a shared terminal whose last output line is unfinished;
// a typed line that the terminal echoed finishes it. Elsewhere the error stream is untouched.
TEST(Console, AReasonOnASharedTerminalStartsItsOwnLine) {
  for (bool shared : {false, true}) {
    for (bool echoes : {false, true}) {
      std::istringstream in("answer\n");
      std::ostringstream out, err;
      Console console(in, out, err);
      console.set_shared_terminal(shared, echoes);
      console.Explain("a", "at a line's start");
      console.Write("prompt?");
      std::string line;
      ASSERT_TRUE(console.ReadLine(&line));
      console.Explain("b", "after the answer");
      console.Printf("\nfile not found");
      console.Explain("c", "after output");
      console.Explain("d", "right after another");
      const std::string mid = shared && !echoes ? "\n" : "";
      const std::string end = shared ? "\n" : "";
      EXPECT_EQ(err.str(), "atb: a: at a line's start\n" + mid + "atb: b: after the answer\n" +
                               end + "atb: c: after output\natb: d: right after another\n")
          << shared << echoes;
      EXPECT_EQ(out.str(), "prompt?\nfile not found");
    }
  }
}

TEST(Console, LongLineKeepsItsFirst200BytesAndDropsTheRest) {
  std::string l200(200, 'x'), l199(199, 'y');
  auto lines = Lines(l200 + "TAIL\nnext\n" + l200 + "\r\n" + l199 + "\r\n" + l200 + "z\r\n");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], l200);
  EXPECT_EQ(lines[1], "next");
  EXPECT_EQ(lines[2], l200);
  EXPECT_EQ(lines[3], l199);
  EXPECT_EQ(lines[4], l200);
}

TEST(Console, PromptIsFlushedBeforeReading) {
  std::istringstream in("x\n");
  std::stringstream out;
  Console console(in, out, out);
  console.Write("prompt?");
  std::string line;
  ASSERT_TRUE(console.ReadLine(&line));
  EXPECT_EQ(out.str(), "prompt?");
}

TEST(Input, NumbersSaturateAndStopAtTheFirstNonDigit) {
  EXPECT_EQ(ParseNumber(""), 0);
  EXPECT_EQ(ParseNumber("abc"), 0);
  EXPECT_EQ(ParseNumber("  \t 42x"), 42);
  EXPECT_EQ(ParseNumber("999abc"), 999);
  EXPECT_EQ(ParseNumber("-7"), -7);
  EXPECT_EQ(ParseNumber("+8"), 8);
  EXPECT_EQ(ParseNumber("- 8"), 0);
  EXPECT_EQ(ParseNumber("2147483647"), 2147483647);
  EXPECT_EQ(ParseNumber("2147483648"), 2147483647);
  EXPECT_EQ(ParseNumber("99999999999999999999999"), 2147483647);
  EXPECT_EQ(ParseNumber("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ParseNumber("-99999999999999999999"), -2147483647 - 1);
}

TEST(Input, KeysWrapModulo2To32) {
  EXPECT_EQ(ParseKey("2147483648"), 0x80000000u);
  EXPECT_EQ(ParseKey("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseKey("4294967296"), 0u);
  EXPECT_EQ(ParseKey("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseKey(" 256abc"), 256u);
  EXPECT_EQ(ParseKey("sample.atb"), 0u);
}

TEST(Input, FloatsReadLikeAtofThenRoundToFloat) {
  EXPECT_EQ(ParseFloat("1e3"), 1000.0f);
  EXPECT_EQ(ParseFloat("letters"), 0.0f);
  EXPECT_EQ(ParseFloat("  -2.5xyz"), -2.5f);
  EXPECT_EQ(ParseFloat("0.1"), 0.1f);
  EXPECT_EQ(ParseFloat("1e39"), INFINITY);
  EXPECT_EQ(ParseFloat("-1e39"), -INFINITY);
  EXPECT_EQ(ParseFloat("1e999"), INFINITY);
  EXPECT_EQ(ParseFloat("3.4028235e38"), FLT_MAX);
  EXPECT_TRUE(std::isnan(ParseFloat("nan")));
}

}  // namespace
}  // namespace atb
