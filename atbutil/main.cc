// atbutil: reads, checks and rebuilds attribute files without the dialogue.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "atbutil/commands.h"
#include "atbutil/open_file.h"
#include "change/open.h"
#include "change/wait.h"
#include "platform/signals.h"
#include "platform/version.h"

namespace {

// CLI11 answers an unknown word with "A subcommand is required"; a user needs to hear which word.
bool IsUnknownSubcommand(const CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return false;
  return app.get_subcommands([&](const CLI::App* sub) { return sub->check_name(argv[1]); }).empty();
}

int Main(int argc, char** argv) {
  CLI::App app{
      "Reads, checks, rebuilds and changes attribute files (.atb) without the dialogue "
      "of atb.",
      "atbutil"};
  app.set_version_flag("--version", std::string("atbutil ") + atb::kVersion);
  app.require_subcommand(1);
  bool noSync = false;
  app.add_flag("--no-sync", noSync,
               "Do not flush changes to the disk in order (as ATB_SYNC=0): a power loss may then "
               "damage a file being changed");
  double waitSeconds = -1;
  app.add_option("--wait", waitSeconds,
                 "Give up waiting for another process that holds the file once it has made no "
                 "progress for this many seconds (default 30, or ATB_WAIT)")
      ->check(CLI::Range(0.0, 1e9));
  app.footer(
      "Exit status: 0 done; 1 a damaged or refused file, a refused change, or a path that "
      "matches no single entry; 2 bad usage, an input that cannot be read or an output that "
      "cannot be written, a full disk, a file size limit, memory that runs out, or a stalled "
      "lock.");

  std::string file, path, json, out, namesFile;
  bool asJson = false;
  std::vector<std::string> files;

  CLI::App* dump = app.add_subcommand("dump", "Print the whole tree: one line per entry, or JSON");
  dump->add_flag("--json", asJson, "JSON that build turns back into the same bytes");
  dump->add_option("--names", namesFile,
                   "A file of attribute names, one per line, to show keys by");
  dump->add_option("FILE", file, "The attribute file")->required();

  CLI::App* textconv = app.add_subcommand(
      "textconv", "dump for git diff: never fails on a damaged, short or foreign file");
  textconv->add_option("--names", namesFile,
                       "A file of attribute names, one per line, to show keys by");
  textconv->add_option("FILE", file, "The file")->required();

  CLI::App* check = app.add_subcommand("check", "Check that every table of every file is sound");
  check
      ->add_option("FILE", files,
                   "Attribute files, and folders: every *.atb below them, symlinks not followed")
      ->required();

  CLI::App* get = app.add_subcommand("get", "Print one value, as dump prints it");
  get->add_option("FILE", file, "The attribute file")->required();
  get->add_option("PATH", path, "The entry, as dump names it (or by label, key, #N or name)")
      ->required();

  std::vector<std::string> pairs;
  std::string key, side;
  CLI::App* set = app.add_subcommand("set", "Change values; all of them or none");
  set->add_option("FILE", file, "The attribute file")->required();
  // Everything after FILE is PATH VALUE pairs, read as they stand: a value such as -inf is a
  // value, not an option.
  set->prefix_command();
  set->footer(
      "After FILE: PATH VALUE [PATH VALUE]..., entries and their new values as dump "
      "prints them.");

  CLI::App* add = app.add_subcommand("add", "Add entries of any type; all of them or none");
  add->add_option("FILE", file, "The attribute file")->required();
  add->prefix_command();
  add->footer(
      "After FILE: PATH TYPE VALUE [PATH TYPE VALUE]..., where PATH is the table's path and the "
      "new entry's key (a label, a name or a number), TYPE is float, bool, text, localized or "
      "table, and VALUE is written as dump prints it (for a table: its name as a quoted text, "
      "or empty).");

  CLI::App* remove = app.add_subcommand("remove", "Take entries out; all of them or none");
  remove->add_option("FILE", file, "The attribute file")->required();
  remove->prefix_command();
  remove->footer(
      "After FILE: PATH [PATH]..., the entries to take out (a reference with its whole table), "
      "each named as in the file before the command.");

  CLI::App* extract = app.add_subcommand("extract", "Write an entry's bytes to a file");
  extract->add_option("FILE", file, "The attribute file")->required();
  extract->add_option("PATH", path, "The entry")->required();
  extract->add_option("OUT", out, "The file to write; replaced only once complete")->required();

  CLI::App* insert = app.add_subcommand("insert", "Add a reference whose table is a side file");
  insert->add_option("FILE", file, "The attribute file")->required();
  insert->add_option("TABLE_PATH", path, "The table to add to: a reference's path, or /")
      ->required();
  insert->add_option("KEY", key, "The new entry's key: a number, a label or a name")->required();
  insert->add_option("SIDE", side, "The file holding the new nested table")->required();

  bool discard = false;
  std::string journal;
  CLI::App* recover =
      app.add_subcommand("recover", "Finish a change that a dying process left half made");
  auto* discardFlag = recover->add_flag(
      "--discard", discard,
      "Take away instead a change that cannot be finished: a journal that belongs to no change "
      "of the file as it is, or the file's mark with a journal that is gone, damaged or no "
      "longer fits; says what it recorded and what is lost");
  recover
      ->add_option("--journal", journal,
                   "Finish the change from this journal, wherever it lies now (the file renamed "
                   "or copied away from its own)")
      ->excludes(discardFlag);
  recover->add_option("FILE", file, "The attribute file")->required();

  CLI::App* build = app.add_subcommand("build", "Write an attribute file from its JSON form");
  build->add_option("JSON", json, "The JSON form, or - for standard input")->required();
  build
      ->add_option("OUT", out,
                   "The file to write, replaced only once complete; or - for standard output")
      ->required();

  std::string other, third;
  CLI::App* diff = app.add_subcommand("diff", "Print the patch that turns A into B");
  diff->add_option("--names", namesFile,
                   "A file of attribute names, one per line, to name keys by");
  diff->add_option("A", file, "The attribute file to start from")->required();
  diff->add_option("B", other, "The attribute file to end at")->required();
  diff->footer("Exit status: 0 the same, 1 different (the patch printed), 2 trouble.");

  bool checkOnly = false;
  CLI::App* apply = app.add_subcommand("apply", "Apply patches in order, as one change");
  apply->add_flag("--check", checkOnly, "Only say whether the patches apply; write nothing");
  apply->add_option("FILE", file, "The attribute file")->required();
  apply->add_option("PATCH", files, "Patches, applied in order; - reads one from standard input")
      ->required();
  apply->footer("Exit status: 0 applied, 1 refused (nothing written), 2 trouble.");

  CLI::App* merge = app.add_subcommand(
      "merge", "Merge the changes from BASE to THEIRS into OURS (git's merge driver)");
  merge->add_option("BASE", file, "The common ancestor")->required();
  merge->add_option("OURS", other, "Our version, which receives the merge")->required();
  merge->add_option("THEIRS", third, "Their version")->required();
  std::string mergedName;
  merge->add_option("NAME", mergedName,
                    "The file's name in messages (git's %P), when OURS is a temporary file");
  merge->footer("Exit status: 0 merged, 1 conflicts (OURS left as it was), 2 trouble.");

  if (IsUnknownSubcommand(app, argc, argv)) {
    std::fprintf(stderr, "atbutil: unknown subcommand \"%s\"\n", argv[1]);
    std::fprintf(stderr, "Run atbutil --help for usage.\n");
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    // Help that never reached its reader is a failure like any other lost output.
    errno = 0;
    const int status = app.exit(e);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      return atb::Report(atb::Status::FromErrno(errno).In("cannot write the output"), stderr);
    }
    return status;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "atbutil: %s\n", e.what());
    std::fprintf(stderr, "Run atbutil --help for usage.\n");
    return 2;
  }

  if (!atb::IgnoreFileSizeSignal()) std::perror("atbutil: SIGXFSZ cannot be ignored");
  atb::TakeDurabilityFromEnvironment();
  if (noSync) atb::SetDurableChanges(false);
  atb::TakeWaitFromEnvironment();
  atb::WaitPolicy wait = atb::CurrentWaitPolicy();
  if (waitSeconds >= 0) wait.stallMs = static_cast<int64_t>(waitSeconds * 1000);
  wait.say = [](const std::string& file, const std::string& message) {
    atb::Say(stderr, file, message);
  };
  atb::SetWaitPolicy(wait);
  atb::KeyNames names;
  if (!namesFile.empty()) {
    const atb::Status s = names.AddNamesFile(namesFile);
    if (!s.ok()) return atb::Report(s, stderr);
  }
  if (*dump) return atb::DumpCommand(file, asJson, names, stdout, stderr);
  if (*textconv) return atb::TextconvCommand(file, names, stdout, stderr);
  if (*check) return atb::CheckCommand(files, names, stdout, stderr);
  if (*get) return atb::GetCommand(file, path, names, stdout, stderr);
  if (*recover) return atb::RecoverCommand(file, discard, journal, stderr);
  if (*set) {
    pairs = set->remaining();
    if (!pairs.empty() && pairs[0] == "--") pairs.erase(pairs.begin());
    return atb::SetCommand(file, pairs, names, stderr);
  }
  if (*add || *remove) {
    pairs = (*add ? add : remove)->remaining();
    if (!pairs.empty() && pairs[0] == "--") pairs.erase(pairs.begin());
    return *add ? atb::AddCommand(file, pairs, names, stderr)
                : atb::RemoveCommand(file, pairs, names, stderr);
  }
  if (*extract) return atb::ExtractCommand(file, path, out, names, stderr);
  if (*insert) return atb::InsertCommand(file, path, key, side, names, stderr);
  if (*build) return atb::BuildCommand(json, out, names, stdout, stderr);
  if (*diff) return atb::DiffCommand(file, other, names, stdout, stderr);
  if (*apply) return atb::ApplyCommand(file, files, checkOnly, names, stdin, stderr);
  if (*merge) return atb::MergeCommand(file, other, third, mergedName, names, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Memory so short that not even the command line can be read is said, not an abort.
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("atbutil: not enough memory\n", stderr);
    return 2;
  }
}
