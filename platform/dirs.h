// The process's directories. Directories are listed by Files::ListDirectory (platform/files.h).
#pragma once

#include <string>

namespace atb {

// The process's current directory; empty when it cannot be read. No length limit.
std::string CurrentDirectory();

}  // namespace atb
