// Writes the benchmark's data with the test builder:
//   growth PATH BYTES       a root table with 16 short texts in front of one large entry
//   side PATH BYTES         a side file holding a valid nested table of that size
//   listing PATH ENTRIES REFS  a root table of ENTRIES entries, REFS of them named references
//   tree DIR DIRS FILES     DIRS directories holding FILES files in all, for the locator
//   spread PATH BYTES N     N short texts (keys 1, 3, 5, ...), each followed by an entry of
//                           BYTES / N bytes (keys 2, 4, 6, ...)
//   unprotected PATH POS N  opens a gap of N bytes at POS with the mover that a change uses,
//                           without its journal: the same move, unjournaled
//   floats PATH N           a root table of N floats, keys 1 to N
//   entries PATH REFS       a root table of REFS named references of 9 entries each: with the
//                           references themselves, 10 * REFS entries
//   folder DIR FILES        FILES sample-sized files (a few hundred bytes, nested tables) in 100
//                           folders, every 50th one damaged
//   mods DIR FILES MODS     DIR/base: FILES files of MODS floats (keys 1 to MODS) in 10 folders;
//                           DIR/modK.patch: a patch over the folder setting key K in every file
//   chain PATH DEPTH        tables nested DEPTH deep, each holding only the next (16 bytes a level)
//   refs PATH N             a root table of N references to empty tables (16 bytes each)
//   chainjson PATH DEPTH    the JSON form of chain's tables, without blanks
//   dirs DIR DEPTH          directories nested DEPTH deep, with a file "deep.atb" at the bottom
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "change/mover.h"
#include "tests/atb_builder.h"

using namespace atb::build;

namespace {

// Appends `bytes` bytes of a non-repeating pattern, so that nothing is sparse or compressible.
void AppendPayload(const std::string& path, int64_t bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND);
  std::string chunk(1 << 20, '\0');
  uint32_t x = 2463534242u;
  for (int64_t done = 0; done < bytes;) {
    for (char& c : chunk) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      c = static_cast<char>(x);
    }
    int64_t n = std::min<int64_t>(bytes - done, static_cast<int64_t>(chunk.size()));
    if (write(fd, chunk.data(), static_cast<size_t>(n)) != n) std::exit(1);
    done += n;
  }
  close(fd);
}

// The header's size fields, once the payload is in place.
void FixHeader(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY);
  int64_t length = lseek(fd, 0, SEEK_END);
  for (const atb::HeaderField& f : atb::HeaderSizes(length)) {
    const Bytes size = U32(f.value);
    if (pwrite(fd, size.data(), 4, f.offset) != 4) std::exit(1);
  }
  close(fd);
}

// Writes `bytes` to `path` from a function that appends the next piece to a buffer, so that no
// file needs to be held whole.
template <typename Fn>
void WriteStreamed(const std::string& path, Fn next) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::exit(1);
  std::string piece;
  while (next(&piece)) {
    if (piece.size() >= (1 << 20)) {
      if (std::fwrite(piece.data(), 1, piece.size(), f) != piece.size()) std::exit(1);
      piece.clear();
    }
  }
  if (std::fwrite(piece.data(), 1, piece.size(), f) != piece.size() || std::fclose(f) != 0) {
    std::exit(1);
  }
}

Bytes Header(int64_t length) {
  Bytes header =
      Bytes(atb::HEADER_START_SIZE, 'h') + U32(0) + Bytes(atb::HEADER_MIDDLE_SIZE, 'm') + U32(0);
  atb::SetHeaderSizes(&header, length);
  return header;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "growth" && argc == 4) {
    // One text for each repetition to lengthen; the large entry is last, so its extent runs to
    // the end of the file.
    Table root;
    for (uint32_t key = 1; key <= 16; ++key) root.entries.push_back(TextEntry(key, "abc"));
    root.entries.push_back({100, 7, ""});
    WriteFile(argv[2], EncodeFile(root));
    AppendPayload(argv[2], std::atoll(argv[3]));
    FixHeader(argv[2]);
  } else if (mode == "side" && argc == 4) {
    WriteFile(argv[2], EncodeTable({{{1, 7, ""}}}));
    AppendPayload(argv[2], std::atoll(argv[3]) - 16);
  } else if (mode == "listing" && argc == 5) {
    int entries = std::atoi(argv[3]), refs = std::atoi(argv[4]);
    Table root;
    for (int i = 0; i < entries; ++i) {
      auto key = static_cast<uint32_t>(i);
      if (i % (entries / refs) == 0) {
        root.entries.push_back(
            RefEntry(key, {{FloatEntry(1, 1), NameEntry("ref" + std::to_string(i))}}));
      } else if (i % 3 == 0) {
        root.entries.push_back(TextEntry(key, "text " + std::to_string(i)));
      } else {
        root.entries.push_back(FloatEntry(key, static_cast<float>(i)));
      }
    }
    WriteFile(argv[2], EncodeFile(root));
  } else if (mode == "tree" && argc == 5) {
    // 100 directories of (DIRS / 100 - 1) subdirectories each; the files spread over those.
    const std::string dir = argv[2];
    const int top = 100, per = std::atoi(argv[3]) / top - 1, files = std::atoi(argv[4]);
    for (int a = 0; a < top; ++a) {
      std::string da = dir + "/d" + std::to_string(a);
      mkdir(da.c_str(), 0777);
      for (int b = 0; b < per; ++b) mkdir((da + "/s" + std::to_string(b)).c_str(), 0777);
    }
    for (int f = 0; f < files; ++f) {
      std::string p = dir + "/d" + std::to_string(f % top) + "/s" + std::to_string(f / top % per) +
                      "/f" + std::to_string(f) + ".atb";
      int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
      if (fd == -1) return 1;
      close(fd);
    }
  } else if (mode == "spread" && argc == 5) {
    const int64_t bytes = std::atoll(argv[3]);
    const int n = std::atoi(argv[4]);
    // Written piece by piece: the table first, with each payload's place reserved by its Off.
    Table root;
    Bytes payload(static_cast<std::size_t>(bytes / n), '\0');
    uint32_t x = 2463534242u;
    for (char& c : payload) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      c = static_cast<char>(x);
    }
    for (int i = 0; i < n; ++i) {
      root.entries.push_back(TextEntry(static_cast<uint32_t>(2 * i + 1), "abc"));
      root.entries.push_back({static_cast<uint32_t>(2 * i + 2), 7, payload});
    }
    WriteFile(argv[2], EncodeFile(root));
  } else if (mode == "unprotected" && argc == 5) {
    int fd = open(argv[2], O_RDWR);
    atb::PositionedFile file(atb::SystemFiles(), fd);
    const int64_t pos = std::atoll(argv[3]), gap = std::atoll(argv[4]);
    int64_t length;
    if (!file.Length(&length).ok() || !file.SetLength(length + gap).ok()) return 1;
    std::vector<uint8_t> chunk(2 << 20);
    // The change layer's own mover, in steps of one, with nothing journaled or flushed.
    const atb::journal::Steps steps(
        atb::PlanMoves({{pos, 0, gap}}, length, static_cast<int64_t>(chunk.size())), 1, {});
    if (!atb::journal::Mover::MoveUnjournaled(file, steps, {chunk.data()}).ok()) return 1;
    close(fd);
  } else if (mode == "floats" && argc == 4) {
    Table root;
    for (int i = 1; i <= std::atoi(argv[3]); ++i) {
      root.entries.push_back(FloatEntry(static_cast<uint32_t>(i), static_cast<float>(i)));
    }
    WriteFile(argv[2], EncodeFile(root));
  } else if (mode == "entries" && argc == 4) {
    const int refs = std::atoi(argv[3]);
    Table root;
    for (int i = 0; i < refs; ++i) {
      const std::string n = std::to_string(i);
      root.entries.push_back(RefEntry(
          static_cast<uint32_t>(i),
          {{FloatEntry(0x09CEA8A9, static_cast<float>(i) / 8), FloatEntry(0x13B8FCB6, 40),
            FloatEntry(0x3801F697, 25.5f), BoolEntry(0x58068A28, 1),
            TextEntry(0x20000001, "unit " + n), FloatEntry(0x2AB4D94B, 3),
            WideEntry(0x20000002, u"wide"), BoolEntry(0x6F000000, 0), NameEntry("ref" + n)}}));
    }
    WriteFile(argv[2], EncodeFile(root));
  } else if (mode == "folder" && argc == 4) {
    const std::string dir = argv[2];
    const int files = std::atoi(argv[3]);
    for (int a = 0; a < 100; ++a) mkdir((dir + "/d" + std::to_string(a)).c_str(), 0777);
    for (int f = 0; f < files; ++f) {
      Table ammo{{NameEntry("shells"), FloatEntry(0x665F4BD6, 0.25f), BoolEntry(0xCFC9679F, 0)}};
      Table root{{RefEntry(0x2000, {{FloatEntry(0x13B8FCB6, static_cast<float>(f)),
                                     RefEntry(0x40000000, ammo), NameEntry("unit")}}),
                  FloatEntry(0x09CEA8A9, 2.5f), TextEntry(0x20000001, "Unit " + std::to_string(f)),
                  WideEntry(0x20000002, u"Unit \u00e9"), BoolEntry(0x58068A28, 1)}};
      Bytes bytes = EncodeFile(root);
      if (f % 50 == 7) bytes[52 + 4 + 8] = 0x7F;  // the first entry's Off: a damaged root
      WriteFile(dir + "/d" + std::to_string(f % 100) + "/f" + std::to_string(f) + ".atb", bytes);
    }
  } else if (mode == "mods" && argc == 5) {
    const std::string dir = argv[2];
    const int files = std::atoi(argv[3]), mods = std::atoi(argv[4]);
    mkdir((dir + "/base").c_str(), 0777);
    for (int a = 0; a < 10; ++a) mkdir((dir + "/base/d" + std::to_string(a)).c_str(), 0777);
    std::vector<std::string> patches(static_cast<std::size_t>(mods));
    for (int f = 0; f < files; ++f) {
      Table root;
      for (int k = 1; k <= mods; ++k)
        root.entries.push_back(FloatEntry(static_cast<uint32_t>(k), 1));
      const std::string name = "d" + std::to_string(f % 10) + "/f" + std::to_string(f) + ".atb";
      WriteFile(dir + "/base/" + name, EncodeFile(root));
      for (int k = 1; k <= mods; ++k) {
        patches[static_cast<std::size_t>(k - 1)] +=
            "file " + name + "\nset /" + std::to_string(k) + ": float 1 -> float 2\nend 1 change\n";
      }
    }
    for (int k = 1; k <= mods; ++k) {
      WriteFile(
          dir + "/mod" + std::to_string(k) + ".patch",
          patches[static_cast<std::size_t>(k - 1)] + "end " + std::to_string(files) + " files\n");
    }
  } else if (mode == "chain" && argc == 4) {
    const int64_t depth = std::atoll(argv[3]);
    int64_t level = -1;
    WriteStreamed(argv[2], [&](Bytes* out) {
      if (level == -1) {
        *out += Header(52 + 16 * depth + 4);
      } else if (level < depth) {
        *out += U32(1) + U32(static_cast<uint32_t>(level % 7)) + U32(100) + U32(0);
      } else if (level == depth) {
        *out += U32(0);
      } else {
        return false;
      }
      ++level;
      return true;
    });
  } else if (mode == "chainjson" && argc == 4) {
    const int64_t depth = std::atoll(argv[3]);
    int64_t level = -1;
    WriteStreamed(argv[2], [&](Bytes* out) {
      if (level == -1) {
        *out += R"({"root": )";
      } else if (level < depth) {
        *out += R"({"entries": [{"key": )" + std::to_string(level % 7) +
                R"(, "type": "ref", "table": )";
      } else if (level == depth) {
        *out += R"({"entries": []})";
      } else if (level <= 2 * depth) {
        *out += "}]}";
      } else if (level == 2 * depth + 1) {
        *out += "}\n";
      } else {
        return false;
      }
      ++level;
      return true;
    });
  } else if (mode == "refs" && argc == 4) {
    const int64_t n = std::atoll(argv[3]);
    int64_t i = -1;
    WriteStreamed(argv[2], [&](Bytes* out) {
      if (i == -1) {
        *out += Header(52 + 4 + 16 * n) + U32(static_cast<uint32_t>(n));
      } else if (i < n) {
        *out += U32(static_cast<uint32_t>(i)) + U32(100) + U32(static_cast<uint32_t>(4 * i));
      } else if (i < 2 * n) {
        *out += U32(0);
      } else {
        return false;
      }
      ++i;
      return true;
    });
  } else if (mode == "dirs" && argc == 4) {
    // Created one level at a time from the one above, so that no path grows with the depth.
    int at = open(argv[2], O_RDONLY | O_DIRECTORY);
    for (int d = std::atoi(argv[3]); at != -1 && d > 0; --d) {
      if (mkdirat(at, "d", 0777) != 0) return 1;
      const int next = openat(at, "d", O_RDONLY | O_DIRECTORY);
      close(at);
      at = next;
    }
    const int fd = at == -1 ? -1 : openat(at, "deep.atb", O_CREAT | O_WRONLY, 0644);
    if (fd == -1) return 1;
    close(fd);
    close(at);
  } else {
    std::fprintf(stderr, "usage: see the comment at the top of make_bench_data.cc\n");
    return 2;
  }
  return 0;
}
