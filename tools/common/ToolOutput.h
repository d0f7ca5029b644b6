// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Conventions shared by LinkLoader's command-line programs: exit codes, how messages look, the
// --json result object, and writing output files without harming what is already there.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace ll::tools {

// The exit codes of every LinkLoader command-line program, as scripts expect them (usage is 2,
// as getopt and argparse have it; a signal N is 128 + N, as shells report it). Each failure also
// has a stable word for --json ("error").
enum ExitCode : int {
  kExitOk = 0,
  kExitFile = 1,          // a file could not be read, converted or written; nothing was sent
  kExitUsage = 2,         // unknown command or option, missing or wrong argument
  kExitPort = 3,          // the port could not be opened
  kExitNoBootloader = 4,  // no bootloader answered
  kExitTransfer = 5,      // the module refused a block, or the line failed
  kExitVerify = 6,        // what was read back differs from what was written
  kExitSignalBase = 128,  // ended by signal N: 128 + N
};
inline constexpr int kSigInt = 2;  // the same number on every system the programs run on
constexpr int ExitForSignal(int signal) { return kExitSignalBase + signal; }
inline constexpr int kExitCancelled = ExitForSignal(kSigInt);  // Ctrl-C: 130

const char* ErrorWord(int exitCode);  // "file", "usage", "port", "no_bootloader", ...

// The table above as both programs' --help shows it (README and manual pages say the same).
const char* ExitCodesHelp();

// Bytes of a file or device shown in a message: control bytes and DEL become \xHH, so a
// message can never move the cursor, clear the screen or split a log line.
std::string Escaped(std::string_view text);

// Bytes that should be UTF-8 text (a file name, a module's version text) as valid UTF-8: every
// byte of a sequence that is not UTF-8 becomes the four characters \xHH.
std::string ValidUtf8(std::string_view bytes);

// One JSON object as a line of valid UTF-8 JSON, whatever bytes its strings (and keys) hold.
std::string JsonLine(const nlohmann::ordered_json& object);

// "PROGRAM: message" on standard error, one line.
void Complain(std::string_view program, std::string_view message);

// The --json result: one object on standard output at the end of the run.
nlohmann::ordered_json ResultObject(int exitCode, const std::string& message);

// Writes everything to standard output and flushes; false (with errno's text in `error`) when
// the output is gone (a closed pipe, a full disk).
bool WriteStdout(std::string_view data, std::string& error);

// True when standard output can be seen to take nothing more (the reading end of its pipe
// closed), before anything is written; false when it may still take data or the system cannot
// tell.
bool StdoutGone();

// Reads standard input to its end, byte for byte; false (with the system's text in `error`) when
// it cannot be read.
bool ReadStdin(std::string& data, std::string& error);

// Who may read a file that the output creates (an existing file keeps its own permissions,
// less those of others where the data is secret).
enum class NewFileAccess {
  AsUmask,    // the user's umask decides
  OwnerOnly,  // private to the user, also when it replaces a file: the data is secret (an EEPROM
              // image holds the PIN)
};

// An output file written whole or not at all, without changing what the target is:
// - "-" is standard output;
// - a regular file (or a new one) is replaced atomically through a file beside it, keeping the
//   existing file's permissions (and owner, where allowed);
// - a symbolic link is followed: the file it points to is written, the link stays;
// - a device node or FIFO is opened and written directly, never replaced by a file;
// - a folder or socket is refused.
// Several files staged together are put in place together: all of them, or none (a failure
// while putting them in place restores the ones already replaced).
class OutputSet {
 public:
  OutputSet();
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Checks the target and stages the data; false with `error` set when the target is refused
  // or the staging fails. Nothing visible changes until Commit.
  bool Stage(const std::string& target, std::string data, std::string& error,
             NewFileAccess access = NewFileAccess::AsUmask);
  bool Commit(std::string& error);

 private:
  struct Entry;
  std::vector<std::unique_ptr<Entry>> entries_;
  void Discard();
};

// One file: Stage + Commit.
bool WriteOutput(const std::string& target, std::string data, std::string& error,
                 NewFileAccess access = NewFileAccess::AsUmask);

}  // namespace ll::tools
