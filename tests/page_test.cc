// conflicts --html: the page as a browser renders it, scripts run, once with every entry and once
// through #conflicts; and what the command writes, prints and refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "atbutil/commands.h"
#include "change/open.h"
#include "patches/diff.h"
#include "platform/quote.h"
#include "tests/patch_text.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;

constexpr const char* kChromium = "/usr/bin/chromium";

using testing::Capture;
using testing::Ran;

// What is inside every element of `dom` that `open` begins, in document order.
std::vector<std::string> Inner(const std::string& dom, const std::string& open,
                               const std::string& tag) {
  std::vector<std::string> inner;
  const std::regex element(open + "([\\s\\S]*?)</" + tag + ">");
  for (std::sregex_iterator m(dom.begin(), dom.end(), element), end; m != end; ++m) {
    inner.push_back((*m)[1].str());
  }
  return inner;
}

// The same as text: tags inside taken out, references resolved.
std::vector<std::string> Texts(const std::string& dom, const std::string& open,
                               const std::string& tag) {
  std::vector<std::string> texts;
  for (std::string t : Inner(dom, open, tag)) {
    t = std::regex_replace(t, std::regex("<[^>]*>"), "");
    for (const auto& [ref, c] : {std::pair<const char*, const char*>{"&lt;", "<"},
                                 {"&gt;", ">"},
                                 {"&quot;", "\""},
                                 {"&#39;", "'"},
                                 {"&amp;", "&"}}) {
      t = std::regex_replace(t, std::regex(ref), c);
    }
    texts.push_back(t);
  }
  return texts;
}

class Page : public ::testing::Test {
 protected:
  void SetUp() override { SetDurableChanges(false); }
  void TearDown() override { SetDurableChanges(true); }

  // BASE, and three mods in load order: the first and second agree at /10, the third overrides
  // the first at /20 and removes /30, inside which the first changed /30/1; the third alone
  // changes /40. The second is an attribute file whose name needs escaping and holds a byte of no
  // UTF-8 character; the others are patches.
  std::vector<std::string> WriteMods() {
    const Table base{{FloatEntry(10, 1), FloatEntry(20, 2),
                      RefEntry(30, {{FloatEntry(1, 5), FloatEntry(2, 6)}}), FloatEntry(40, 4)}};
    const Table first{{FloatEntry(10, 7), FloatEntry(20, 8),
                       RefEntry(30, {{FloatEntry(1, 9), FloatEntry(2, 6)}}), FloatEntry(40, 4)}};
    const Table second{{FloatEntry(10, 7), FloatEntry(20, 2),
                        RefEntry(30, {{FloatEntry(1, 5), FloatEntry(2, 6)}}), FloatEntry(40, 4)}};
    const Table third{{FloatEntry(10, 1), FloatEntry(20, 3), FloatEntry(40, 11)}};
    baseBytes_ = EncodeFile(base);
    WriteFile(Base(), baseBytes_);
    const std::vector<std::string> mods = {dir_ / "first.patch", dir_ / "<b>&'second\"\xff.atb",
                                           dir_ / "third.patch"};
    WriteFile(mods[0], testing::PatchBetween(baseBytes_, EncodeFile(first)));
    WriteFile(mods[1], EncodeFile(second));
    WriteFile(mods[2], testing::PatchBetween(baseBytes_, EncodeFile(third)));
    return mods;
  }
  Ran Conflicts(const std::vector<std::string>& mods, bool json, const std::string& html) {
    return Capture([&](std::FILE* out, std::FILE* err) {
      return ConflictsCommand(Base(), mods, true, json, html, KeyNames(), out, err);
    });
  }
  // Headless Chromium on `page` at `fragment`, offline, in the test's folder; `what` asks what
  // it gives. Its standard output, and its status (124 when it took over a minute).
  testing::Outcome Browse(const std::string& page, const std::string& fragment,
                          const std::string& what) {
    return testing::Shell(
        "cd " + ShellWord(dir_.path()) + " && timeout 60 " + kChromium +
        " --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
        "--disable-component-update --disable-sync --user-data-dir=" +
        ShellWord(profile_.path()) + " --host-resolver-rules='MAP * ~NOTFOUND' " + what + " " +
        ShellWord("file://" + page + fragment) + " 2>/dev/null");
  }
  // The page's DOM once its scripts ran; empty when the browser failed.
  std::string Rendered(const std::string& page, const std::string& fragment) {
    const testing::Outcome o = Browse(page, fragment, "--dump-dom");
    EXPECT_EQ(o.status, 0) << fragment;
    return o.status == 0 ? o.out : "";
  }
  std::string Base() const { return dir_ / "base.atb"; }

  testing::TempDir dir_, profile_;
  Bytes baseBytes_;
};

TEST_F(Page, RenderedPageMarksWinnersAndLostEditsAndItsConflictsViewHidesTheRest) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << kChromium << " is missing: no page rendered";
  const std::vector<std::string> mods = WriteMods();
  const std::string page = dir_ / "report.html";
  const Ran ran = Conflicts(mods, false, page);
  ASSERT_EQ(ran.status, 1) << ran.err;
  const std::string all = Rendered(page, ""), only = Rendered(page, "#conflicts");
  ASSERT_FALSE(all.empty());
  ASSERT_FALSE(only.empty());

  EXPECT_EQ(Texts(all, "<title>", "title"),
            std::vector<std::string>{"Conflicts of mods over " + Base()});
  const std::string second = mods[1].substr(0, mods[1].size() - 5) + "\\377.atb";
  const std::vector<std::string> headers = {"File", "Path",  "Base",   mods[0],
                                            second, mods[2], "Winner", "Kind"};
  EXPECT_EQ(Texts(all, "<th scope=\"col\"[^>]*>", "th"), headers);
  const std::vector<std::string> rows = Inner(all, "<tr class=\"entry[^>]*>", "tr");
  ASSERT_EQ(rows.size(), 5u) << all;
  const std::vector<std::string> kinds = {"agree", "override", "single", "lost", "single"};
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::vector<std::string> cells = Texts(rows[r], "<td[^>]*>", "td");
    ASSERT_EQ(cells.size(), headers.size()) << rows[r];
    EXPECT_EQ(cells[0], Base());
    EXPECT_NE(cells.back().find(kinds[r]), std::string::npos) << rows[r];
  }
  // The winner's cell and each edit that does not stand carry a mark, a word and a title.
  const std::string tr = "<tr class=\"entry conflict\" data-kind=\"";
  const std::string overridden = Inner(all, tr + "override\">", "tr").at(0);
  const std::regex win("<td class=\"value win\" title=\"" + mods[2] +
                       " wins[^\"]*\"><span class=\"mark\"><span aria-hidden=\"true\">\u2605"
                       "</span> wins</span> <span class=\"v\">float 3</span></td>");
  EXPECT_TRUE(std::regex_search(overridden, win)) << overridden;
  EXPECT_NE(overridden.find("<td class=\"value overridden\" title=\"" + mods[0]), std::string::npos)
      << overridden;
  const std::string lost = Inner(all, tr + "lost\">", "tr").at(0);
  EXPECT_NE(lost.find("<td class=\"value lost\" title=\"" + mods[0] +
                      " loses its change: a later mod takes its table out\"><span "
                      "class=\"mark\"><span aria-hidden=\"true\">\u2717</span> lost</span> <span "
                      "class=\"v\">float 9</span></td>"),
            std::string::npos)
      << lost;
  EXPECT_NE(lost.find("removed with /30</span>"), std::string::npos) << lost;

  // The script counts the rows the browser shows, so the fewer rows prove the styles hid them.
  const std::regex counted("<p id=\"summary\"[^>]*data-counted=\"rendered rows\">([^<]*)</p>");
  std::smatch shown;
  ASSERT_TRUE(std::regex_search(all, shown, counted)) << all;
  EXPECT_EQ(shown[1].str(), "Showing 5 of 5 entries (2 conflicts)");
  ASSERT_TRUE(std::regex_search(only, shown, counted)) << only;
  EXPECT_EQ(shown[1].str(), "Showing 2 of 5 entries (2 conflicts)");
  const testing::Outcome shot =
      Browse(page, "#conflicts", "--window-size=1200,800 --screenshot=shot.png");
  EXPECT_EQ(shot.status, 0);
  EXPECT_EQ(ReadFile(dir_ / "shot.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST_F(Page, PageComesWithTheUsualOutputAndNeverReplacesAnInput) {
  const std::vector<std::string> mods = WriteMods();
  const Ran text = Conflicts(mods, false, "");
  ASSERT_EQ(text.status, 1) << text.err;
  const std::string page = dir_ / "report.html";
  WriteFile(page, "an older page");
  const Ran both = Conflicts(mods, false, page);
  EXPECT_EQ(both.status, 1) << both.err;
  EXPECT_EQ(both.out, text.out);
  const Bytes written = ReadFile(page);
  EXPECT_EQ(written.rfind("<!DOCTYPE html>", 0), 0u);
  // The same entries give the same bytes, and on standard output the page replaces the text.
  const Ran piped = Conflicts(mods, false, "-");
  EXPECT_EQ(piped.status, 1);
  EXPECT_EQ(piped.out, written);
  EXPECT_NE(written.find("&lt;b&gt;&amp;&#39;second&quot;\\377.atb"), std::string::npos);
  EXPECT_EQ(written.find("<b>"), std::string::npos);

  const Ran sharing = Conflicts(mods, true, "-");
  EXPECT_EQ(sharing.status, 2);
  EXPECT_EQ(sharing.out, "");
  EXPECT_NE(sharing.err.find("both write to standard output"), std::string::npos);
  for (const std::string& input : {Base(), mods[2]}) {
    const Bytes before = ReadFile(input);
    const Ran refused = Conflicts(mods, true, input);
    EXPECT_EQ(refused.status, 2) << input;
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("which the page would replace"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(input), before);
  }
  EXPECT_EQ(ReadFile(page), written);
}

}  // namespace
}  // namespace atb
