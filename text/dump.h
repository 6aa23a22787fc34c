// The whole tree of an attribute file as text, one line per entry ("PATH = VALUE", depth first in
// file order), or as JSON that rebuilds the file byte for byte. Both stream: values are read in
// ascending order through one window, nothing is kept of an entry once it is written, and of
// each open table only a block of its entries.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "store/layout.h"
#include "store/positioned_file.h"
#include "text/key_names.h"
#include "text/output_sink.h"

namespace atb {

// Appends the text form of a value (text/value_text.h) of the given type whose extent is
// [start, end). A reference is not a value: see DumpText.
Status AppendValueText(ByteSource& file, uint32_t type, int64_t start, int64_t end, Sink& sink);

// Appends the text form of an entry of `type` whose extent is [start, end), a reference included.
Status AppendEntryText(ByteSource& file, uint32_t type, int64_t start, int64_t end, Sink& sink);
// The same for entry i of `list`.
Status AppendEntryText(ByteSource& file, const EntryList& list, uint32_t i, Sink& sink);

// A text entry's value as it stands, for a shell to take whole: an 8-bit text's bytes up to its
// zero, a localized text's code units up to their zero as UTF-8. *isText is false for other
// types, which append nothing. Refused when a localized text holds an unpaired surrogate, which
// UTF-8 cannot carry.
Status AppendRawText(ByteSource& file, uint32_t type, int64_t start, int64_t end, std::string* out,
                     bool* isText);

// Appends "N bytes fnv64 0x..." for the bytes [start, end).
Status AppendSizeAndHash(ByteSource& file, int64_t start, int64_t end, Sink& sink);

// Appends the bytes [start, end) as one quoted string with escapes, read in chunks.
Status AppendQuotedExtent(ByteSource& file, int64_t start, int64_t end, Sink& sink);

// Dumps the file of `length` bytes. A damaged table is one line (or one JSON entry holding its
// bytes), with the size and hash of its bytes when `hashDamaged`; only an I/O error stops the
// dump. Memory grows with the depth of the tables, not with their sizes.
Status DumpText(ByteSource& file, int64_t length, const KeyNames& names, Sink& sink,
                bool hashDamaged = false);
Status DumpJson(ByteSource& file, int64_t length, const KeyNames& names, Sink& sink);

}  // namespace atb
