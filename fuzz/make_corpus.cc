// Writes the seed corpora of the fuzz targets, built with the test builder:
//   make_corpus DIR   ->  DIR/dialogue/*, DIR/side_file/*
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "tests/atb_builder.h"

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
  return 0;
}
