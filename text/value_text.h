// The text form of values, as dump prints them and as set reads them back. One value per line:
//
//   1.5  -0  inf  nan  nan(0x7fc00001)      a float: the shortest decimal that reads back to the
//                                          same bits; a NaN other than the two plain ones by its
//                                          bits
//   1                                      a bool: the stored byte, 0 to 255
//   "a\tb" "héllo"                         a text: valid UTF-8 as it stands, with \\ \" \n \t \r,
//                                          and \xHH for other control characters and for bytes
//                                          that are not valid UTF-8
//   u"café"                                a localized text: UTF-8, \uHHHH for controls and
//                                          unpaired surrogates
//   ... trailing "\x01"                    bytes after the value, inside its extent
//   empty  short "\x01"  unterminated "ab" an extent too short for its value, or a text without
//                                          its zero
//   type 7 "\x01\x02"                      an entry of a type that has no value form
//   type 7 1048576 bytes fnv64 0x...       the same, when too long to show
//   ref "name"  ref                        a reference, by the name it lists
//   damaged table: REASON                  a reference whose table cannot be trusted
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "store/utf.h"  // UTF-8 and UTF-16, and the conversions between them

namespace atb {

// The two-character escape that the text forms and JSON share, for \\ " and the line break, tab
// and carriage return; nullptr for any other character.
const char* ShortEscape(uint32_t c);

// Bytes as a quoted string with escapes.
void AppendQuotedBytes(std::string* out, std::string_view bytes);
// The inside of a quoted string, without the quotes: for bytes handed over in chunks, each
// ending where no UTF-8 sequence is cut (see IncompleteUtf8Tail).
void AppendEscapedBytes(std::string* out, std::string_view bytes);
// How many bytes at the end of `bytes` (0 to 3) begin a UTF-8 sequence that they do not finish:
// held back for the next chunk, so that a character is not escaped for being cut in two.
std::size_t IncompleteUtf8Tail(std::string_view bytes);
// UTF-16 code units as u"...".
void AppendQuotedWide(std::string* out, const std::vector<uint16_t>& units);

// The shortest decimal text that reads back as the same float ("1.5", "-0", "inf"); NaNs keep
// their bits: "nan" and "-nan" for the quiet ones a parser gives, "nan(0x7fc00001)" otherwise.
// ParseFloatText reads every form back to the same bits.
std::string FormatFloatBits(uint32_t bits);

// What a value line gives for an entry: its bytes, and whether they are the whole extent (a form
// with trailing bytes, or one that shows the extent as it is) or only the value at its start, to
// be followed by whatever followed the old value.
struct ParsedValue {
  std::string bytes;
  bool whole = false;
};

// Parses a value line for an entry of type `type`; refused, saying why, when it is not a value of
// that type. A reference has no value; an entry shown only by its size and hash cannot be written
// back.
Status ParseValue(std::string_view text, uint32_t type, ParsedValue* value);

// Parses a quoted byte string at *pos (which must be at its opening quote) and advances past it.
bool ParseQuotedBytes(std::string_view text, std::size_t* pos, std::string* bytes,
                      std::string* error);
// The same for a localized text, u"...", at *pos (at its 'u'): its code units.
bool ParseQuotedWide(std::string_view text, std::size_t* pos, std::vector<uint16_t>* units,
                     std::string* error);

// A float value alone, as dump prints it (or any decimal form strtof reads), rounded to the
// nearest float; inf, -inf and nan are words for themselves. False, with *why set when given,
// when it is not a float, or when a number lies beyond the float range (it would become an
// infinity, or a number that is not zero would become zero).
bool ParseFloatText(std::string_view text, uint32_t* bits, std::string* why = nullptr);

}  // namespace atb
