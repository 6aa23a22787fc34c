// Generates the example attribute files into the directory named on the command line:
// sample.atb, which shows every kind of entry, and units/squad.atb, found by name from above.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "tests/atb_builder.h"

using namespace atb::build;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample DIR\n");
    return 2;
  }
  const std::string dir = argv[1];

  Table ammo{{
      NameEntry("ember_shells"), FloatEntry(0x665F4BD6, 0.25f),  // armour_piercing
      BoolEntry(0xCFC9679F, 0),                                  // display_health_bar
  }};
  Table weapon{{
      FloatEntry(0x13B8FCB6, 40.0f),  // max_damage
      FloatEntry(0x3801F697, 25.0f),  // min_damage
      RefEntry(0x40000000, ammo),
      NameEntry("arc_caster"),
  }};
  Table unnamed{{FloatEntry(0x95662850, 12.5f)}};  // morale_damage
  Table root{{
      RefEntry(0x00002000, weapon),
      RefEntry(0x00003000, unnamed),
      FloatEntry(0x09CEA8A9, 2.5f),  // reload_time
      FloatEntry(0x12345678, 7.0f),  // a key without a label
      TextEntry(0x20000001, "Arc Caster"),
      WideEntry(0x20000002, u"Caster \u00e9"),
      BoolEntry(0x58068A28, 1),                       // can_upgrade
      {0x60000000, 7, Bytes("\x01\x02\x03\x04", 4)},  // a type the editor does not know
  }};
  WriteFile(dir + "/sample.atb", EncodeFile(root));

  Table squad{{
      FloatEntry(0x6D9C62C4, 8.0f),    // max_squad_cap
      FloatEntry(0xF0A351FD, 300.0f),  // hitpoints
  }};
  mkdir((dir + "/units").c_str(), 0777);
  WriteFile(dir + "/units/squad.atb", EncodeFile(squad));
  return 0;
}
