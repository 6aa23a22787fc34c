#include "platform/dirs.h"

#include <unistd.h>

#include <cstdlib>

namespace atb {

std::string CurrentDirectory() {
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) return std::string();
  std::string dir(cwd);
  free(cwd);
  return dir;
}

}  // namespace atb
