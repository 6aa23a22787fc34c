// Writes random attribute files for the Python module's tests, one in four damaged, with the
// C++ tests' own generator:
//   random_atb_files DIR COUNT SEED     DIR/0.atb ... DIR/COUNT-1.atb
#include <cstdlib>
#include <string>

#include "tests/atb_builder.h"
#include "tests/random_files.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string dir = argv[1];
  const int count = std::atoi(argv[2]);
  atb::build::Random r(std::strtoull(argv[3], nullptr, 10));
  for (int i = 0; i < count; ++i) {
    atb::build::WriteFile(dir + "/" + std::to_string(i) + ".atb", atb::build::RandomFile(r));
  }
  return 0;
}
