// Names and messages as they reach a terminal or a log: a name holding a line break could forge
// a line of output, and escape sequences could drive the terminal.
#pragma once

#include <string>
#include <string_view>

namespace atb {

// `name` as it is, or, when it holds a control byte, in double quotes with C escapes ("a\nb"),
// as git quotes paths.
std::string QuotedName(std::string_view name);

// `name` as a word of a shell command that a user may paste: as it is when it holds nothing a
// shell reads specially, else in single quotes ('it'\''s'), or as $'a\nb' when it holds a
// control byte.
std::string ShellWord(std::string_view name);

// `text` with every control byte escaped (\n, \x1b): one line, nothing a terminal acts on.
std::string Printable(std::string_view text);

}  // namespace atb
