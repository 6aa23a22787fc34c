#include "atbutil/conflicts_page.h"

#include <string_view>

#include "atb/system.h"

namespace atb {

namespace {

// Rows that are not conflicts hide when the wrapper is the fragment's target or the checkbox is
// checked, so that either works without the script; the fallback count follows the same rules.
constexpr std::string_view kStyle = R"(
body { font: 15px/1.4 system-ui, sans-serif; margin: 1.5em; color: #111; background: #fff; }
h1 { font-size: 1.3em; }
.name, td.value { font-family: ui-monospace, monospace; }
table { border-collapse: collapse; margin-top: .5em; }
caption { text-align: left; font-weight: bold; padding: .3em 0; }
th, td { border: 1px solid #999; padding: .25em .5em; text-align: left; vertical-align: top; }
thead th { background: #e8e8e8; position: sticky; top: 0; }
td.value { white-space: pre-wrap; overflow-wrap: break-word; }
.mark { font-family: system-ui, sans-serif; font-weight: bold; white-space: nowrap; }
td.win { background: #dff0df; box-shadow: inset 0 0 0 2px #1e6b1e; }
td.win .mark { color: #1e5e1e; }
td.overridden, td.lost, td.hidden { background: #f8e4e4; }
td.overridden .mark, td.lost .mark, td.hidden .mark { color: #8a1414; }
td.overridden .v, td.lost .v, td.hidden .v { text-decoration: line-through; }
td.untouched, .absent { color: #555; font-style: italic; }
tr.conflict td.kind { font-weight: bold; color: #8a1414; }
.controls label { margin-left: .3em; }
input:focus-visible, a:focus-visible { outline: 3px solid #1a5fb4; outline-offset: 2px; }
.count-conflicts { display: none; }
#conflicts:target tr.plain, #conflicts:has(#only:checked) tr.plain,
#conflicts:target .count-all, #conflicts:has(#only:checked) .count-all { display: none; }
#conflicts:target .count-conflicts, #conflicts:has(#only:checked) .count-conflicts {
  display: inline;
}
)";

// Keeps the checkbox and the fragment one, and the summary true to the rows the browser shows.
constexpr std::string_view kScript = R"(
(function () {
  var box = document.getElementById('only');
  var summary = document.getElementById('summary');
  var rows = document.querySelectorAll('tbody tr.entry');
  function counted(n, one, many) { return n + ' ' + (n === 1 ? one : many); }
  function count() {
    var shown = 0, conflicts = 0;
    for (var i = 0; i < rows.length; i++) {
      if (getComputedStyle(rows[i]).display !== 'none') shown++;
      if (rows[i].classList.contains('conflict')) conflicts++;
    }
    summary.textContent = 'Showing ' + shown + ' of ' +
        counted(rows.length, 'entry', 'entries') + ' (' +
        counted(conflicts, 'conflict', 'conflicts') + ')';
    summary.setAttribute('data-counted', 'rendered rows');
  }
  function fromFragment() {
    box.checked = location.hash === '#conflicts';
    count();
  }
  box.addEventListener('change', function () {
    if (box.checked !== (location.hash === '#conflicts')) {
      location.hash = box.checked ? 'conflicts' : '';
    }
    count();
  });
  window.addEventListener('hashchange', fromFragment);
  fromFragment();
})();
)";

// The length of the well-formed UTF-8 sequence at `i`, or 0. C1 controls count as ill-formed:
// they show as nothing.
std::size_t SequenceAt(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xbf;
  if (lead == 0xc2) {
    length = 2, low = 0xa0;
  } else if (lead > 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, low = lead == 0xe0 ? 0xa0 : 0x80, high = lead == 0xed ? 0x9f : 0xbf;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, low = lead == 0xf0 ? 0x90 : 0x80, high = lead == 0xf4 ? 0x8f : 0xbf;
  }
  if (length == 0 || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(k) < 0x80 || byte(k) > 0xbf) return 0;
  }
  return length;
}

const char* Reference(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#39;";
    default:
      return nullptr;
  }
}

// `text` made printable as the text output makes it, each byte of no well-formed character
// escaped as Printable escapes a control byte, and HTML's special characters as references.
std::string Shown(std::string_view raw) {
  const std::string text = Printable(raw);
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = SequenceAt(text, i);
    if (n == 0) {
      const auto c = static_cast<unsigned char>(text[i++]);
      out += {'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
              static_cast<char>('0' + (c & 7))};
      continue;
    }
    const char* reference = Reference(text[i]);
    if (reference != nullptr) {
      out += reference;
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::string Counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// How a mod's edit of the entry fares: its class, symbol, word and what its title says.
struct Fate {
  const char* cls;
  const char* symbol;
  const char* word;
  const char* says;
};

Fate FateOf(const ModEntry& e, const ModEntry::Touch& t, const std::string& winning) {
  if (e.kind == ModEntry::kAgree) {
    return {"agree", "=", "agrees", "makes the change every mod makes"};
  }
  if (t.mod == e.winner) return {"win", "\u2605", "wins", "wins: its change stands"};
  if (t.value == winning) return {"same", "=", "same", "makes the change that stands"};
  if (e.kind == ModEntry::kLost) {
    return {"lost", "\u2717", "lost", "loses its change: a later mod takes its table out"};
  }
  if (e.kind == ModEntry::kHidden) {
    return {"hidden", "\u2717", "hidden", "changes what an earlier mod took out: it does not show"};
  }
  return {"overridden", "\u2717", "overridden", "is overridden by a later mod"};
}

std::string ModCell(const ModEntry& e, const std::string& mod) {
  const ModEntry::Touch* touch = nullptr;
  std::string winning;
  for (const ModEntry::Touch& t : e.mods) {
    if (t.mod == mod) touch = &t;
    if (t.mod == e.winner) winning = t.value;
  }
  if (touch == nullptr) {
    return "<td class=\"untouched\" title=\"" + Shown(mod) + " leaves it alone\">\u2014</td>";
  }
  const Fate f = FateOf(e, *touch, winning);
  return std::string("<td class=\"value ") + f.cls + "\" title=\"" + Shown(mod) + " " + f.says +
         "\"><span class=\"mark\"><span aria-hidden=\"true\">" + f.symbol + "</span> " + f.word +
         "</span> <span class=\"v\">" + Shown(touch->value) + "</span></td>";
}

std::string Row(const std::string& file, const ModEntry& e, const std::vector<std::string>& mods) {
  const bool conflict = IsConflict(e.kind);
  const std::string kind(ModKindWord(e.kind));
  std::string row = std::string("<tr class=\"entry ") + (conflict ? "conflict" : "plain") +
                    "\" data-kind=\"" + kind + "\">";
  row += "<td class=\"name\">" + Shown(file) + "</td><td class=\"name\">" + Shown(e.path) + "</td>";
  row += e.inBase ? "<td class=\"value base\">" + Shown(e.base) + "</td>"
                  : "<td class=\"absent\" title=\"BASE lacks it\">absent</td>";
  for (const std::string& mod : mods) row += ModCell(e, mod);
  row += "<td class=\"name winner\">" + Shown(e.winner) + "</td>";
  row += conflict ? "<td class=\"kind\"><span aria-hidden=\"true\">\u26a0</span> " + kind + "</td>"
                  : "<td class=\"kind\">" + kind + "</td>";
  return row + "</tr>\n";
}

std::string Head(const std::string& base, const std::vector<std::string>& mods) {
  std::string head =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Conflicts of mods over " +
      Shown(base) + "</title>\n<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n";
  head += "<div id=\"conflicts\">\n<h1>Conflicts of mods over <span class=\"name\">" + Shown(base) +
          "</span></h1>\n<p>Mods in load order (a later mod's change stands "
          "where two clash):</p>\n<ol>\n";
  for (const std::string& mod : mods) head += "<li class=\"name\">" + Shown(mod) + "</li>\n";
  head +=
      "</ol>\n<p class=\"controls\"><input type=\"checkbox\" id=\"only\"><label for=\"only\">"
      "Show only conflicts (override, lost, hidden)</label></p>\n"
      "<noscript><p>Without scripts, the address ending in <a href=\"#conflicts\">#conflicts</a> "
      "shows only conflicts, and <a href=\"#\">without it</a> every entry.</p></noscript>\n";
  return head;
}

}  // namespace

std::string ConflictsPage(const std::string& base, const std::vector<std::string>& mods,
                          const std::vector<std::pair<std::string, ModEntry>>& entries) {
  std::size_t conflicts = 0;
  for (const auto& [file, e] : entries) conflicts += IsConflict(e.kind) ? 1 : 0;
  std::string page = Head(base, mods);
  const std::string total = Counted(entries.size(), "entry", "entries");
  page +=
      "<p id=\"summary\" role=\"status\" aria-live=\"polite\"><span class=\"count-all\">"
      "Showing " +
      std::to_string(entries.size()) + " of " + total +
      "</span><span class=\"count-conflicts\">Showing " + std::to_string(conflicts) + " of " +
      total + "</span> (" + Counted(conflicts, "conflict", "conflicts") + ")</p>\n";
  page +=
      "<table>\n<caption>What each mod does to each entry</caption>\n<thead><tr>"
      "<th scope=\"col\">File</th><th scope=\"col\">Path</th><th scope=\"col\">Base</th>";
  for (std::size_t m = 0; m < mods.size(); ++m) {
    page += "<th scope=\"col\" class=\"mod\" title=\"mod " + std::to_string(m + 1) +
            " in load order\">" + Shown(mods[m]) + "</th>";
  }
  page += "<th scope=\"col\">Winner</th><th scope=\"col\">Kind</th></tr></thead>\n<tbody>\n";
  for (const auto& [file, e] : entries) page += Row(file, e, mods);
  page += "</tbody>\n</table>\n";
  if (entries.empty()) page += "<p>No entries to show.</p>\n";
  return page + "</div>\n<script>" + std::string(kScript) + "</script>\n</body>\n</html>\n";
}

}  // namespace atb
