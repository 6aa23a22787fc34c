// The console: bounded line input and formatted output over a pair of streams. The tool runs on
// standard input and output; tests hand it string streams.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

namespace atb {

// The most bytes one console read keeps.
inline constexpr std::size_t kLineBound = 200;

class Console {
 public:
  // `standard` says that `in` and `out` are the process's standard input and output, so that
  // Start() can check their descriptors.
  Console(std::istream& in, std::ostream& out, bool standard = false);

  // False when the console cannot be used: for the standard streams, when descriptor 0 or 1 is
  // not open.
  bool Start();

  // Reads one line into *line without its line end ("\n", or "\r\n"), keeping its first
  // kLineBound bytes; the rest of that line is read and dropped. Flushes the output first, so a
  // prompt is seen before the answer is awaited. False at end of input, when not one byte of a
  // new line could be read.
  bool ReadLine(std::string* line);

  void Write(std::string_view text);
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Flush();

 private:
  std::istream& in_;
  std::ostream& out_;
  bool standard_;
};

}  // namespace atb
