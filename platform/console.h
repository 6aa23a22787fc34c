// The console: bounded line input, formatted output, and a separate stream for the reasons behind
// refusals. The tool runs on standard input, output and error; tests hand it string streams.
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
  // `standard` says that the streams are the process's standard ones, so that Start() can check
  // their descriptors and whether the output is a terminal.
  Console(std::istream& in, std::ostream& out, std::ostream& err, bool standard = false);

  // False when the console cannot be used: for the standard streams, when descriptor 0 or 1 is
  // not open.
  bool Start();

  // Whether the output reaches a terminal, where bytes from a file could act as control codes.
  bool terminal() const { return terminal_; }
  void set_terminal(bool terminal) { terminal_ = terminal; }
  // Whether the output and the error stream show on one terminal, so that a reason must not run
  // on from the output's last line; and whether that terminal echoes what is typed, which ends
  // the line of a prompt.
  void set_shared_terminal(bool shared, bool echoes) {
    sharedTerminal_ = shared;
    inputEchoed_ = echoes;
  }

  // Reads one line into *line without its line end ("\n", or "\r\n"), keeping its first
  // kLineBound bytes; the rest of that line is read and dropped. Flushes the output first, so a
  // prompt is seen before the answer is awaited. False at end of input, when not one byte of a
  // new line could be read.
  bool ReadLine(std::string* line);

  void Write(std::string_view text);
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Flush();

  // One line on the error stream, "atb: NAME: REASON", saying why something was refused. The
  // output is flushed first, so that both streams read in order on one terminal; there, when the
  // output's last line is not finished, the reason starts a line of its own.
  void Explain(std::string_view name, std::string_view reason);

 private:
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  void Track(std::string_view written);

  bool standard_;
  bool terminal_ = false;
  bool sharedTerminal_ = false;
  bool inputEchoed_ = false;
  bool atLineStart_ = true;
};

}  // namespace atb
