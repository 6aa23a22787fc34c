#include "tests/dialogue_checker.h"

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "frontend/prompt_loop.h"
#include "platform/console.h"
#include "store/coding.h"
#include "store/table.h"
#include "tests/test_util.h"

namespace atb::testing {

namespace {

// Hands out the script one byte at a time and calls `atLine` before the first byte of every
// line, and once at the end.
class LineHookBuf : public std::streambuf {
 public:
  LineHookBuf(const std::string& script, std::function<void(const std::string&)> atLine)
      : script_(script), atLine_(std::move(atLine)) {}

 protected:
  int_type underflow() override {
    if (pos_ >= script_.size()) {
      if (!ended_) {
        ended_ = true;
        atLine_(std::string());
      }
      return traits_type::eof();
    }
    if (lineStart_ && hookedAt_ != pos_) {
      hookedAt_ = pos_;
      std::size_t end = script_.find('\n', pos_);
      atLine_(script_.substr(pos_, end == std::string::npos ? std::string::npos : end - pos_));
    }
    ch_ = script_[pos_++];
    lineStart_ = ch_ == '\n';
    setg(&ch_, &ch_, &ch_ + 1);
    return traits_type::to_int_type(ch_);
  }

 private:
  std::string script_;
  std::function<void(const std::string&)> atLine_;
  std::size_t pos_ = 0;
  std::size_t hookedAt_ = std::string::npos;
  bool lineStart_ = true;
  bool ended_ = false;
  char ch_ = 0;
};

// What a file holds, seen through its tables: every table in depth-first order, and every entry
// with its key, type and, for anything but a reference, its extent's bytes.
struct Flat {
  struct Item {
    uint32_t count;  // for a table
    uint32_t id, type;
    Bytes value;
    bool table;
  };
  std::vector<Item> items;
};

Flat Flatten(const Bytes& file) {
  Flat flat;
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  std::vector<std::pair<int64_t, int64_t>> pending{
      {ROOT_TABLE_OFFSET, static_cast<int64_t>(file.size())}};
  EntryList list;
  while (!pending.empty()) {
    auto [t, e] = pending.back();
    pending.pop_back();
    ReadTable(source, t, e, &list);
    flat.items.push_back(
        {list.count, 0, 0,
         file.substr(DataStart(t, list.count), list.Off[0] - DataStart(t, list.count)), true});
    for (uint32_t i = list.count; i-- > 0;) {
      // Pushed backwards so that tables come out in file order.
      if (list.Is(i, EntryType::Reference)) pending.emplace_back(list.Off[i], list.Off[i + 1]);
    }
    for (uint32_t i = 0; i < list.count; ++i) {
      bool ref = list.Is(i, EntryType::Reference);
      flat.items.push_back({0, list.ID[i], list.Type[i],
                            ref ? Bytes() : file.substr(list.Off[i], list.Off[i + 1] - list.Off[i]),
                            false});
    }
  }
  return flat;
}

// The line as the console hands it over: a "\r" before the line end dropped, the first 200
// bytes kept.
std::string AsRead(std::string raw) {
  if (raw.size() <= kLineBound + 1 && !raw.empty() && raw.back() == '\r') raw.pop_back();
  if (raw.size() > kLineBound) raw.resize(kLineBound);
  return raw;
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

class Checker {
 public:
  Checker(std::string path, std::ostringstream& out) : path_(std::move(path)), out_(out) {
    before_ = Snapshot();
  }

  // Called before each line is read (and at the end) with the line about to be read.
  void AtLine(const std::string& next) {
    std::string said = out_.str().substr(saidLen_);
    saidLen_ = out_.str().size();
    Bytes now = Snapshot();
    Check(said, now);
    prompt_ = said;
    answer_ = next;
    before_ = now;
  }

  std::vector<std::string> violations;

 private:
  Bytes Snapshot() const {
    int fd = open(path_.c_str(), O_RDONLY);
    if (fd == -1) return Bytes();
    Bytes b;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) b.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return b;
  }

  void Fail(const std::string& what) {
    violations.push_back(what + " (answer \"" + answer_ + "\" to \"" +
                         prompt_.substr(prompt_.size() > 60 ? prompt_.size() - 60 : 0) + "\")");
  }

  void Check(const std::string& said, const Bytes& now) {
    if (now == before_) return;
    const bool wasSound = FileIsSound(before_);
    const bool isSound = FileIsSound(now);
    if (wasSound && !isSound) Fail("a sound file was corrupted");
    for (const char* refusal :
         {"I can't edit this!", "\ninput too small (try filling with spaces?]", "\nfile not found",
          "\nbad side file ", "\nbad table, not opened", "\nfile too large",
          "\ncan't write side file ", "\nbad attribute file ", "\nbug opening "}) {
      if (said.find(refusal) != std::string::npos)
        Fail(std::string("refused yet changed: ") + refusal);
    }
    const bool text = EndsWith(prompt_, "new text?");
    const bool value =
        EndsWith(prompt_, "new value(float)?") || EndsWith(prompt_, "new value(bool)?");
    const bool add = EndsWith(prompt_, "ID of reference to add?");
    if (!text && !value && !add) return Fail("changed by an answer that is not a value");
    if (!wasSound || !isSound) return;
    if (now.size() != before_.size() || add) {
      if (now.size() >= 52 &&
          (DecodeFixed32(reinterpret_cast<const uint8_t*>(now.data()) + 36) != now.size() - 44 ||
           DecodeFixed32(reinterpret_cast<const uint8_t*>(now.data()) + 48) != now.size() - 52)) {
        Fail("header sizes do not match the length");
      }
    }
    if (now.compare(0, 36, before_, 0, 36) != 0 || now.compare(40, 8, before_, 40, 8) != 0) {
      Fail("uninterpreted header bytes changed");
    }
    if (add) return;
    Flat a = Flatten(before_), b = Flatten(now);
    if (a.items.size() != b.items.size()) return Fail("the tree's shape changed");
    int changed = 0;
    for (std::size_t i = 0; i < a.items.size(); ++i) {
      const Flat::Item &x = a.items[i], &y = b.items[i];
      if (x.table != y.table || x.count != y.count || x.id != y.id || x.type != y.type) {
        return Fail("a count, key or type changed");
      }
      if (x.value == y.value) continue;
      ++changed;
      if (x.table) return Fail("bytes in front of a table's first value changed");
      if (text) {
        // The typed text, then the old zero byte and whatever followed it in the extent.
        std::size_t zero = x.value.find('\0');
        if (zero == Bytes::npos || y.value != AsRead(answer_) + x.value.substr(zero)) {
          Fail("the edited text is not the typed one followed by the old extent's rest");
        }
      } else if (y.value.size() != x.value.size()) {
        Fail("a value edit changed an extent's size");
      }
    }
    if (changed > 1) Fail("more than one value changed");
  }

  std::string path_;
  std::ostringstream& out_;
  std::size_t saidLen_ = 0;
  Bytes before_;
  std::string prompt_;
  std::string answer_;
};

}  // namespace

std::vector<std::string> CheckedDialogue(const std::string& dir, const std::string& name,
                                         std::string script, Files& files) {
  if (!script.empty() && script.back() != '\n') script.push_back('\n');
  std::ostringstream out;
  Checker checker(dir + "/" + name, out);
  LineHookBuf buf(script, [&](const std::string& line) { checker.AtLine(line); });
  std::istream in(&buf);
  std::ostringstream err;
  Console console(in, out, err);
  // As on a terminal, so that bytes from the file cannot put a line break and one of the
  // dialogue's own messages into the output the checker reads.
  console.set_terminal(true);
  RunPromptLoop(console, files, dir);
  return checker.violations;
}

}  // namespace atb::testing
