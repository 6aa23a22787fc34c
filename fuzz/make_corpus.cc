// Writes the seed corpora of the fuzz targets, built with the test builder and the commands' own
// outputs:
//   make_corpus DIR   ->  DIR/dialogue/*, DIR/side_file/*, DIR/build/*, DIR/set/*,
//                         DIR/add_remove/*, DIR/recover/*, DIR/patch/*, DIR/merge/*,
//                         DIR/folder_patch/*, DIR/combine/*, DIR/update/*, DIR/select/*,
//                         DIR/sheet/*
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "atbutil/commands.h"
#include "change/change.h"
#include "change/journal.h"
#include "fuzz/fuzz_input.h"
#include "patches/diff.h"
#include "tests/atb_builder.h"
#include "tests/random_files.h"
#include "tests/test_util.h"
#include "text/dump.h"
#include "text/value_text.h"

using namespace atb::build;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_corpus DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  mkdir(dir.c_str(), 0777);
  mkdir((dir + "/dialogue").c_str(), 0777);
  mkdir((dir + "/side_file").c_str(), 0777);
  using atb::build::RandomFile;

  Table ammo{{NameEntry("rounds"), FloatEntry(0x665F4BD6, 0.25f), BoolEntry(0xCFC9679F, 0)}};
  Table weapon{{FloatEntry(0x13B8FCB6, 40), RefEntry(0x40000000, ammo), NameEntry("caster")}};
  Table sample{{RefEntry(0x2000, weapon),
                RefEntry(0x3000, {{FloatEntry(1, 1)}}),
                FloatEntry(0x09CEA8A9, 2.5f),
                TextEntry(0x20000001, "Arc", "slack"),
                WideEntry(0x20000002, u"wide"),
                BoolEntry(0x58068A28, 1),
                {0x60000000, 7, "x"}}};
  Table worked{{RefEntry(0x100, {{NameEntry("abc")}}), FloatEntry(0x80000000, 2)}};
  Bytes damaged = EncodeFile(sample);
  damaged[60] ^= 0x40;

  const std::vector<Bytes> files = {EncodeFile(sample), EncodeFile(worked), EncodeFile({}),
                                    damaged};
  const std::vector<std::string> scripts = {
      "0\n1\n0\n999\n999\n999\nquit\n",
      "3\nArc Caster Mk II\n999\nquit\n",
      "0\n2\nlonger name here\n1\n0\n999\nquit\n",
      "998\n3\n999\nquit\n",
      "0\n998\n3\n0\n999\n999\nquit\n",
      "997\n0\n998\n8192\nf.atb\n999\nquit\n",
      "2\n1e3\n5\n2\n4\n6\n-1\n999\nquit\n",
  };
  int n = 0;
  for (const Bytes& f : files) {
    for (const std::string& s : scripts) {
      WriteFile(dir + "/dialogue/seed" + std::to_string(n++), atb::fuzz::PackDialogue(f, s));
    }
  }

  const std::vector<Bytes> sides = {
      EncodeTable({}),
      EncodeTable({{FloatEntry(1, 1)}}),
      EncodeTable(weapon),
      EncodeTable(sample),
      EncodeTable({{RefEntry(1, {{RefEntry(2, {{NameEntry("deep")}})}}), TextEntry(3, "t")}}),
      EncodeTable({{{1, 0, "abcd", 9}}}),
  };
  n = 0;
  for (const Bytes& s : sides) WriteFile(dir + "/side_file/seed" + std::to_string(n++), s);

  // build: the JSON form of random files, damaged ones included.
  mkdir((dir + "/build").c_str(), 0777);
  atb::build::Random r(13);
  atb::KeyNames names;
  for (n = 0; n < 40; ++n) {
    const Bytes file = n == 0 ? EncodeFile(sample) : RandomFile(r);
    atb::MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    atb::Sink sink(nullptr);
    atb::DumpJson(source, static_cast<int64_t>(file.size()), names, sink);
    WriteFile(dir + "/build/seed" + std::to_string(n), sink.buf());
  }

  // set: every path and value that dump prints for the target file, alone and in pairs.
  mkdir((dir + "/set").c_str(), 0777);
  const Bytes target = atb::fuzz::SetTarget();
  atb::MemorySource source(reinterpret_cast<const uint8_t*>(target.data()), target.size());
  atb::Sink sink(nullptr);
  atb::DumpText(source, static_cast<int64_t>(target.size()), names, sink);
  std::vector<std::string> pairs;
  for (std::size_t at = 0; at < sink.buf().size();) {
    const std::size_t end = sink.buf().find('\n', at);
    const std::string line = sink.buf().substr(at, end - at);
    at = end + 1;
    const std::size_t eq = line.find(" = ");
    pairs.push_back(line.substr(0, eq) + '\0' + line.substr(eq + 3));
  }
  for (n = 0; n < static_cast<int>(pairs.size()); ++n) {
    WriteFile(dir + "/set/seed" + std::to_string(n), pairs[n]);
    WriteFile(dir + "/set/pair" + std::to_string(n),
              pairs[n] + '\0' + pairs[(n + 3) % pairs.size()]);
  }

  // select: every path that dump prints for the select target, and every form of selector.
  mkdir((dir + "/select").c_str(), 0777);
  const Bytes searched = atb::fuzz::SelectTarget();
  atb::MemorySource found(reinterpret_cast<const uint8_t*>(searched.data()), searched.size());
  atb::Sink lines(nullptr);
  atb::DumpText(found, static_cast<int64_t>(searched.size()), names, lines);
  std::vector<std::string> selectors = {"/**",
                                        "/*",
                                        "/**/max_damage",
                                        "/**/[?type=float][?value>10]",
                                        "/1000000/**/2[1]",
                                        "/**/[?type!=table][?value<=\"level 1\"]",
                                        "/**/[?value~\"^l.v[e]l +[0-9]$\"]",
                                        "/**[?name=\"n1\"]",
                                        "/**/n2/6",
                                        "/**/caster/*",
                                        "@3/*",
                                        "@40/**/[?type=bool][?value=1]",
                                        "/**/\"*\"",
                                        "/**/#4[0]",
                                        "/**/[? value >= -inf ]",
                                        "/**/[?value=u\"wide \\u00e9\"]",
                                        "/**/[?type=7]",
                                        "/**/[?name~\"^n[01]$\"]/**",
                                        "/0x2000/**"};
  for (std::size_t at = 0, end; (end = lines.buf().find('\n', at)) != std::string::npos;
       at = end + 1) {
    const std::string line = lines.buf().substr(at, end - at);
    selectors.push_back(line.substr(0, line.find(" = ")));
  }
  for (n = 0; n < static_cast<int>(selectors.size()); ++n) {
    WriteFile(dir + "/select/seed" + std::to_string(n), selectors[static_cast<std::size_t>(n)]);
  }

  // add_remove: every entry that dump prints taken out, alone and with another; a value of every
  // type added to every table.
  mkdir((dir + "/add_remove").c_str(), 0777);
  std::vector<std::string> tables = {""};
  for (n = 0; n < static_cast<int>(pairs.size()); ++n) {
    const std::size_t zero = pairs[n].find('\0');
    const std::string path = pairs[n].substr(0, zero);
    if (pairs[n].compare(zero + 1, 3, "ref") == 0) tables.push_back(path);
    WriteFile(dir + "/add_remove/remove" + std::to_string(n),
              "remove" + std::string(1, '\0') + path);
    WriteFile(
        dir + "/add_remove/removes" + std::to_string(n),
        "remove" + std::string(1, '\0') + path + '\0' +
            pairs[(n + 3) % pairs.size()].substr(0, pairs[(n + 3) % pairs.size()].find('\0')));
  }
  std::vector<std::string> values;
  for (const auto& [type, value] :
       std::vector<std::pair<std::string, std::string>>{{"float", "2.5"},
                                                        {"bool", "1"},
                                                        {"text", "\"new\""},
                                                        {"localized", "u\"wide\""},
                                                        {"table", "\"box\""},
                                                        {"table", "empty"}}) {
    values.push_back(type + '\0' + value);
  }
  n = 0;
  for (const std::string& table : tables) {
    for (const std::string& value : values) {
      const std::string& other = values[(n + 2) % values.size()];
      WriteFile(dir + "/add_remove/add" + std::to_string(n),
                std::string("add\0", 4) + table + "/77" + '\0' + value + '\0' + table +
                    "/new_name" + '\0' + other);
      ++n;
    }
  }

  // recover: the file and journal at every crash point of a growth and an add.
  mkdir((dir + "/recover").c_str(), 0777);
  atb::testing::TempDir scratch;
  const std::string path = scratch / "f.atb";
  const Bytes before = EncodeFile(
      {{TextEntry(1, "abc"), RefEntry(2, {{FloatEntry(1, 1)}}), {3, 7, Bytes(600, 'p')}}});
  int seeds = 0;
  for (int change = 0; change < 2; ++change) {
    for (int k = 1; k < 40; ++k) {
      WriteFile(path, before);
      atb::testing::DyingFiles dying(k, atb::testing::DyingFiles::kCut, 7u * k);
      atb::Change c;
      c.set_chunk_bytes(128);
      const atb::TableChain root{{52, static_cast<int64_t>(before.size()), 0}};
      if (change == 0) {
        c.Replace(root, 52 + 4 + 36, 3, "a longer text");
      } else {
        c.Insert(root, 1, 100, EncodeTable({{FloatEntry(5, 5)}}));
      }
      const int fd = dying.Open(path, O_RDWR, 0);
      atb::PositionedFile file(dying, fd);
      atb::ChangeTarget target{file, atb::JournalPath(path), false};
      c.Apply(target);
      dying.Close(fd);
      if (!dying.dead()) break;
      if (access(atb::JournalPath(path).c_str(), F_OK) != 0) continue;
      WriteFile(dir + "/recover/seed" + std::to_string(seeds++),
                Bytes(1, '\0') +
                    atb::fuzz::PackDialogue(ReadFile(path), ReadFile(atb::JournalPath(path))));
      unlink(atb::JournalPath(path).c_str());
    }
  }
  // Crashes of random changes, then the file replaced: a seed, a change, a chunk size, a point,
  // which writes landed, and the replacement.
  Random crashes(99);
  for (int n = 0; n < 64; ++n) {
    Bytes seed(1, '\1');
    for (int k = 0; k < 24; ++k) seed.push_back(static_cast<char>(crashes.Below(256)));
    WriteFile(dir + "/recover/crash" + std::to_string(n), seed);
  }

  // patch: what diff writes from the set target to files made from it by every kind of change,
  // and to unrelated random files. merge: the target and two of those files.
  mkdir((dir + "/patch").c_str(), 0777);
  mkdir((dir + "/merge").c_str(), 0777);
  const Table base = DecodeTable(target, 52, static_cast<int64_t>(target.size()));
  std::vector<Bytes> variants;
  for (int v = 0; v < 8; ++v) {
    Table t = base;
    switch (v) {
      case 0:
        t.entries[1] = FloatEntry(0x09CEA8A9, 3.25f);
        t.entries[2] = TextEntry(0x20000001, "Arc Caster Mk II", "tail");
        break;
      case 1:
        t.entries.insert(t.entries.begin() + 5, BoolEntry(0x30000000, 7));
        t.entries.erase(t.entries.begin() + 3);
        break;
      case 2: {
        Table inner =
            DecodeTable(t.entries[0].value, 0, static_cast<int64_t>(t.entries[0].value.size()));
        inner.lead = "lead";
        inner.entries[0] = FloatEntry(0x13B8FCB6, 50);
        inner.entries.push_back(RefEntry(9, {{NameEntry("new"), {1, 7, "x"}}}));
        t.entries[0].value = EncodeTable(inner);
        break;
      }
      case 3:
        t.entries[0].value[4 + 8] = 0x7F;  // a damaged nested table
        break;
      case 4:
        t.entries[6] = {0x60000000, 3, Str("retyped")};
        t.lead = "xy";
        break;
      case 5:
        t.entries.push_back(RefEntry(0x70000000, {{FloatEntry(1, 1)}, "\x01"}));
        break;
      default:
        t.entries.erase(t.entries.begin());
        t.entries.insert(t.entries.begin(), RefEntry(0x1000, {{TextEntry(1, "moved")}}));
    }
    Bytes file = EncodeFile(t);
    if (v == 7) file[5] = 'H';
    variants.push_back(file);
  }
  atb::build::Random rp(99);
  for (int k = 0; k < 12; ++k) variants.push_back(EncodeFile(RandomTable(rp)));
  const auto patchOf = [&](const Bytes& a, const Bytes& b) {
    atb::MemorySource x(reinterpret_cast<const uint8_t*>(a.data()), a.size());
    atb::MemorySource y(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    atb::Sink out(nullptr);
    int64_t changes;
    atb::WritePatch(x, static_cast<int64_t>(a.size()), y, static_cast<int64_t>(b.size()), names,
                    out, &changes);
    return out.buf();
  };
  for (n = 0; n < static_cast<int>(variants.size()); ++n) {
    WriteFile(dir + "/patch/seed" + std::to_string(n), patchOf(target, variants[n]));
    const Bytes& other = variants[(n + 1) % variants.size()];
    WriteFile(dir + "/merge/seed" + std::to_string(n),
              atb::fuzz::PackThree(target, variants[n], other));
  }
  // update: steps over the set target's entries, each kind of operator.
  mkdir((dir + "/update").c_str(), 0777);
  using namespace std::string_literals;
  const std::string kSteps[] = {
      "/**/[?type=float]\0+=\0"
      "1"s,
      "/8192/*\0=\0"
      "3"s,
      "/536870913\0=\0\"x\""s,
      "/**\0*=\0"
      "2"s,
      "/**/[?value>1]\0/=\0"
      "4\0/1\0-=\0"
      "1"s};
  for (n = 0; n < 5; ++n) WriteFile(dir + "/update/seed" + std::to_string(n), kSteps[n]);
  // combine: two or three of the patches above, as mods of the target.
  mkdir((dir + "/combine").c_str(), 0777);
  for (n = 0; n + 2 < static_cast<int>(variants.size()); ++n) {
    WriteFile(dir + "/combine/seed" + std::to_string(n),
              patchOf(target, variants[n]) + std::string(1, '\0') +
                  patchOf(target, variants[n + 1]) +
                  (n % 2 == 0 ? std::string(1, '\0') + patchOf(target, variants[n + 2]) : ""));
  }
  // folder_patch: patches over the target's folder (a.atb, sub/b.atb, sub/c.atb) that change,
  // add and remove its files.
  mkdir((dir + "/folder_patch").c_str(), 0777);
  for (n = 0; n < static_cast<int>(variants.size()); ++n) {
    const Bytes& other = variants[(n + 1) % variants.size()];
    std::string quoted;
    atb::AppendQuotedBytes(&quoted, other);
    const std::string gone = n % 2 == 0 ? "" : "file sub/c.atb: removed " + [&] {
      atb::MemorySource x(reinterpret_cast<const uint8_t*>(target.data()), target.size());
      atb::Sink out(nullptr);
      atb::AppendSizeAndHash(x, 0, static_cast<int64_t>(target.size()), out);
      return out.buf();
    }() + "\n";
    WriteFile(dir + "/folder_patch/seed" + std::to_string(n),
              "file a.atb\n" + patchOf(target, variants[n]) + "file sub/b.atb\n" +
                  patchOf(target, other) + "file sub/new.atb: new " + quoted + "\n" + gone +
                  "end " + std::to_string(n % 2 == 0 ? 3 : 4) + " files\n");
  }
  // sheet: the sheets of a folder holding the target and one variant, as table makes them, and
  // each with one cell changed.
  mkdir((dir + "/sheet").c_str(), 0777);
  const std::string folder = dir + "/sheet/.folder";
  mkdir(folder.c_str(), 0777);
  for (n = 0; n < static_cast<int>(variants.size()); ++n) {
    WriteFile(folder + "/a.atb", target);
    WriteFile(folder + "/b.atb", variants[n]);
    const std::string seed = dir + "/sheet/seed" + std::to_string(n);
    std::FILE* out = std::fopen(seed.c_str(), "w");
    std::FILE* quiet = std::fopen("/dev/null", "w");
    atb::TableCommand(n % 2 == 0 ? "/" : "/**/*", {folder}, names, out, quiet);
    std::fclose(out);
    std::fclose(quiet);
    Bytes text = ReadFile(seed);
    const std::size_t comma = text.rfind(',');
    if (comma != std::string::npos) text.insert(comma + 1, "1");
    WriteFile(seed + "e", text);
  }
  unlink((folder + "/a.atb").c_str());
  unlink((folder + "/b.atb").c_str());
  rmdir(folder.c_str());
  return 0;
}
