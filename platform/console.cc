#include "platform/console.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <istream>
#include <ostream>
#include <vector>

#include "platform/quote.h"

namespace atb {

Console::Console(std::istream& in, std::ostream& out, std::ostream& err, bool standard)
    : in_(in), out_(out), err_(err), standard_(standard) {}

bool Console::Start() {
  if (!standard_) return true;
  if (fcntl(0, F_GETFD) == -1 || fcntl(1, F_GETFD) == -1) return false;
  terminal_ = isatty(1) == 1;
  struct termios mode;
  set_shared_terminal(terminal_ && isatty(2) == 1,
                      isatty(0) == 1 && tcgetattr(0, &mode) == 0 && (mode.c_lflag & ECHO) != 0);
  return true;
}

bool Console::ReadLine(std::string* line) {
  Flush();
  line->clear();
  std::streambuf* buf = in_.rdbuf();
  using Traits = std::char_traits<char>;
  bool any = false;
  // One byte beyond the bound is kept so that a "\r" ending a line of exactly kLineBound bytes
  // is still recognised as part of the line end.
  bool cut = false;
  bool lastWasCr = false;
  bool ended = false;
  for (;;) {
    Traits::int_type c = buf->sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) {
      in_.setstate(std::ios::eofbit);
      if (!any) return false;
      break;
    }
    any = true;
    char ch = Traits::to_char_type(c);
    if (ch == '\n') {
      ended = true;
      break;
    }
    lastWasCr = ch == '\r';
    if (line->size() <= kLineBound) {
      line->push_back(ch);
    } else {
      cut = true;
    }
  }
  // A "\r" just before the "\n" belongs to the line end, unless it lay beyond what was kept.
  if (ended && lastWasCr && !cut) line->pop_back();
  if (line->size() > kLineBound) line->resize(kLineBound);
  if (inputEchoed_ && ended) atLineStart_ = true;
  return true;
}

void Console::Track(std::string_view written) {
  if (!written.empty()) atLineStart_ = written.back() == '\n';
}

void Console::Write(std::string_view text) {
  out_.write(text.data(), text.size());
  Track(text);
}

void Console::Printf(const char* format, ...) {
  char small[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(n) < sizeof small) {
    out_.write(small, n);
    Track(std::string_view(small, static_cast<std::size_t>(n)));
  } else {
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, again);
    out_.write(big.data(), n);
    Track(std::string_view(big.data(), static_cast<std::size_t>(n)));
  }
  va_end(again);
}

void Console::Flush() { out_.flush(); }

void Console::Explain(std::string_view name, std::string_view reason) {
  Flush();
  if (sharedTerminal_ && !atLineStart_) err_ << '\n';
  err_ << "atb: " << QuotedName(name) << ": " << Printable(reason) << '\n';
  if (sharedTerminal_) atLineStart_ = true;
  err_.flush();
}

}  // namespace atb
