#include "companion/open_file.h"

namespace atb {

Outcome OpenFile::Open(const std::string& path, Mode mode, std::FILE* err) {
  path_ = path;
  bool& recovered = recovered_;
  const AttributeFile::Use use = mode == kEdit    ? AttributeFile::kEditing
                                 : mode == kCheck ? AttributeFile::kChecking
                                                  : AttributeFile::kReading;
  Status s = open_.Open(path, use, &recovered);
  if (recovered) std::fprintf(err, "atbutil: %s: recovered an interrupted change\n", path.c_str());
  if (!s.ok()) return {s.ioError() ? 2 : 1, path + ": " + s.Message(), s.damaged()};
  return {0, {}};
}

Outcome OpenFile::Close() {
  Status s = open_.Close();
  if (!s.ok()) return {2, path_ + ": " + s.Message()};
  return {0, {}};
}

}  // namespace atb
