// SPDX-License-Identifier: GPL-3.0-or-later
// linkloader-hexfw: converts firmware files between plain Intel HEX and the line-encoded .hexfw
// form, and shows what the upload would load from a file. It refuses what would not come back
// the same, or is plainly the wrong kind of file, and writes its outputs whole or not at all.

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "Arguments.h"
#include "ToolInput.h"
#include "ToolOutput.h"
#include "firmware/Cp1250.h"
#include "firmware/FileNames.h"
#include "firmware/HexLoader.h"
#include "firmware/Images.h"
#include "firmware/LineDecoder.h"
#include "firmware/ProgramList.h"
#include "firmware/TextFile.h"

#ifndef LL_PROGRAM_VERSION
#define LL_PROGRAM_VERSION "unknown"
#endif

using namespace ll::firmware;
using ll::tools::kExitOk;
using ll::tools::kExitFile;
using ll::tools::kExitUsage;

namespace {

constexpr const char* kProgram = "linkloader-hexfw";
constexpr std::string_view kLineEnd = "\r\n";  // the files are exchanged with Windows machines
constexpr const char* kStdinName = "standard input";

// Bytes that the loader's text-file reading takes as a line end or the end of the file.
constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kEndOfFileMarker = 0x1A;

// The command-line programs share one table; this one uses 0, 1 and 2 of it.
const std::string kExitCodes = ll::tools::ExitCodesHelp();

// --json: the result goes to standard output as one object at the end; messages stay on
// standard error for people.
bool jsonResult = false;


// The result object; kExitFile when standard output cannot take it (a script would otherwise
// read nothing and see success).
int PrintJson(const nlohmann::ordered_json& result) {
  std::string error;
  // A file's bytes may not be UTF-8: they are escaped, never refused or dropped.
  if (!ll::tools::WriteStdout(ll::tools::JsonLine(result), error)) {
    ll::tools::Complain(kProgram, error);
    return kExitFile;
  }
  return kExitOk;
}

int FailWith(int exitCode, const std::string& text) {
  ll::tools::Complain(kProgram, text);
  if (jsonResult) {
    PrintJson({{"ok", false}, {"error", ll::tools::ErrorWord(exitCode)}, {"message", text}});
  }
  return exitCode;
}

int Fail(const std::string& message) {
  return FailWith(kExitFile, ll::tools::Escaped(message));
}

// Prints a multi-line report: the first line as the message, the others indented as they are.
int FailWithList(const std::string& first, const std::vector<std::string>& lines) {
  std::string text = ll::tools::Escaped(first);
  for (const std::string& line : lines) text += "\n  " + ll::tools::Escaped(line);
  return FailWith(kExitFile, text);
}

// An input named "-" is standard input, read once into a private file so that it can be
// loaded more than once (as plain and as encoded, to say what it looks like).
class Input {
 public:
  bool Open(const std::string& arg, std::string& error) {
    if (arg != "-") {
      path_ = arg;
      shown_ = arg;
      return true;
    }
    shown_ = kStdinName;
    if (!copy_.Make(error)) return false;
    path_ = copy_.Path();
    return true;
  }
  const std::string& Path() const { return path_; }
  const std::string& Shown() const { return shown_; }

 private:
  ll::tools::StandardInputCopy copy_;
  std::string path_, shown_;
};

// "FILE: line 7: ..." for a refused line; open and read failures already name the file.
std::string LoadMessage(const Input& in, const LoadResult& loaded) {
  if (loaded.failure == LoadFailure::BadLine) return in.Shown() + ": " + loaded.message;
  if (in.Path() != in.Shown()) return kStdinName + std::string(": ") + loaded.message;
  return loaded.message;
}

bool SameFile(const std::string& a, const std::string& b) {
  return a != "-" && b != "-" && ll::tools::SameFile(a, b);
}

// What a character of a line is, for a message: the character itself and its byte.
std::string Describe(char c) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(c));
  if (c == kCr) return std::string("CR (") + hex + ")";
  if (c == kLf) return std::string("LF (") + hex + ")";
  if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return hex;
  return "'" + Cp1250ToUtf8(std::string_view(&c, 1)) + "' (" + hex + ")";
}

std::optional<std::size_t> ForbiddenAt(std::string_view stored) {
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == kCr || stored[i] == kLf || stored[i] == kEndOfFileMarker) return i;
  }
  return std::nullopt;
}

// Every line of a file, as the loader's text-file reading splits it.
bool ReadLines(const Input& in, std::vector<std::string>& lines, std::string& error) {
  TextFileReader reader;
  if (!reader.Open(in.Path())) {
    error = "cannot open " + in.Shown() + ": " + reader.OpenError();
    return false;
  }
  try {
    while (!reader.Eof()) lines.push_back(reader.ReadLine());
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

int Write(const std::string& out, std::string data) {
  std::string error;
  if (!ll::tools::WriteOutput(out, std::move(data), error)) return Fail(error);
  return kExitOk;
}

int Encode(const std::string& inArg, const std::string& out) {
  if (SameFile(inArg, out)) return Fail(inArg + " and " + out + " are the same file");
  Input in;
  std::string error;
  if (!in.Open(inArg, error)) return Fail(error);
  // The plain file must load exactly as an upload would load its encoded form.
  Images images;
  const LoadResult plain = LoadFirmwareFile(in.Path(), false, images);
  if (!plain.ok) {
    if (plain.failure == LoadFailure::BadLine && LoadFirmwareFile(in.Path(), true, images).ok) {
      return Fail(in.Shown() + " is already line-encoded (did you mean decode?); nothing written");
    }
    return Fail(LoadMessage(in, plain) + "; not a plain firmware file, nothing written");
  }
  std::vector<std::string> lines;
  if (!ReadLines(in, lines, error)) return Fail(error);

  std::string data;
  std::vector<std::string> refused;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto number = static_cast<std::int32_t>(i + 1);
    const std::string stored = DecodeFirmwareLine(lines[i], LineKey(number), true);
    if (const auto at = ForbiddenAt(stored)) {
      refused.push_back("line " + std::to_string(number) + ", column " +
                        std::to_string(*at + 1) + ": " + Describe(lines[i][*at]) +
                        " would be stored as " + Describe(stored[*at]));
    }
    data += stored;
    data += kLineEnd;
    data += kLineEnd;  // the ignored second line of the pair
  }
  if (!refused.empty()) {
    return FailWithList(in.Shown() + ": " + std::to_string(refused.size()) +
                            " line(s) cannot be encoded: their stored form would hold a byte "
                            "that ends a line when read back; nothing written",
                        refused);
  }
  return Write(out, std::move(data));
}

int Decode(const std::string& inArg, const std::string& out) {
  if (SameFile(inArg, out)) return Fail(inArg + " and " + out + " are the same file");
  Input in;
  std::string error;
  if (!in.Open(inArg, error)) return Fail(error);
  Images images;
  const LoadResult encoded = LoadFirmwareFile(in.Path(), true, images);
  if (!encoded.ok) {
    if (encoded.failure == LoadFailure::BadLine && LoadFirmwareFile(in.Path(), false, images).ok) {
      return Fail(in.Shown() + " is plain Intel HEX, not line-encoded (did you mean encode?); "
                               "nothing written");
    }
    return Fail(LoadMessage(in, encoded) + "; not a line-encoded firmware file, nothing written");
  }
  std::vector<std::string> lines;
  if (!ReadLines(in, lines, error)) return Fail(error);

  std::string data;
  std::vector<std::string> refused;
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    const auto number = static_cast<std::int32_t>(i / 2 + 1);
    const std::string plain = DecodeFirmwareLine(lines[i], LineKey(number), false);
    if (const auto at = ForbiddenAt(plain)) {
      refused.push_back("line " + std::to_string(i + 1) + ", column " + std::to_string(*at + 1) +
                        ": decodes to " + Describe(plain[*at]));
    }
    data += plain;
    data += kLineEnd;
  }
  if (!refused.empty()) {
    return FailWithList(in.Shown() + ": " + std::to_string(refused.size()) +
                            " line(s) decode to a byte that would split the line; nothing written",
                        refused);
  }
  return Write(out, std::move(data));
}

std::string TopText(std::int32_t top, int digits) {
  if (top < 0) return "-1 (none)";
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%0*X", digits, static_cast<unsigned>(top));
  return std::to_string(top) + " (" + hex + ")";
}

template <std::size_t N>
std::string Bytes(const std::array<std::uint8_t, N>& image) {
  return {reinterpret_cast<const char*>(image.data()), image.size()};
}

int PrintOut(const std::string& text) {
  std::string error;
  if (!ll::tools::WriteStdout(text, error)) return Fail(error);
  return kExitOk;
}

int Dump(const std::string& fileArg, bool plain, const std::string& outDir) {
  Input in;
  std::string error;
  if (!in.Open(fileArg, error)) return Fail(error);
  Images images;
  const LoadResult loaded = LoadFirmwareFile(in.Path(), !plain, images);
  const std::string summary = "FlashTop: " + TopText(images.FlashTop, 4) + "\n" +
                              "EepromTop: " + TopText(images.EepromTop, 2) + "\n" +
                              "Result: " + LineResultName(loaded.result) + " at line " +
                              std::to_string(loaded.lineNumber) + "\n";
  if (!loaded.ok) {
    if (loaded.failure == LoadFailure::BadLine && !jsonResult) PrintOut(summary);
    return Fail(LoadMessage(in, loaded));
  }

  const std::filesystem::path folder = PathFromUtf8(outDir);
  std::error_code ec;
  const bool created = !std::filesystem::exists(folder, ec);
  std::filesystem::create_directories(folder, ec);
  if (ec) return Fail("cannot create " + outDir + ": " + ec.message());
  // All three images or none: a partial set would mix with an earlier dump's files.
  ll::tools::OutputSet set;
  const std::string dir = outDir.back() == '/' ? outDir : outDir + "/";
  if (!set.Stage(dir + "flash.bin", Bytes(images.FlashImage), error) ||
      !set.Stage(dir + "eeprom.bin", Bytes(images.EepromImage), error) ||
      !set.Stage(dir + "config.bin", Bytes(images.ConfigWordImage), error) || !set.Commit(error)) {
    if (created) std::filesystem::remove(folder, ec);
    return Fail(error);
  }
  if (jsonResult) {
    return PrintJson({{"ok", true},
               {"flash_top", images.FlashTop},
               {"eeprom_top", images.EepromTop},
               {"result", LineResultName(loaded.result)},
               {"line", loaded.lineNumber},
               {"files", {dir + "flash.bin", dir + "eeprom.bin", dir + "config.bin"}}});
  }
  return PrintOut(summary);
}

int Programs(const std::string& fileArg, bool plain, bool raw) {
  Input in;
  std::string error;
  if (!in.Open(fileArg, error)) return Fail(error);
  // Only a firmware file names vehicle programs: any other file is an error, not an empty list.
  Images images;
  if (const LoadResult loaded = LoadFirmwareFile(in.Path(), !plain, images); !loaded.ok) {
    return Fail(LoadMessage(in, loaded));
  }
  const ProgramListResult list = ReadProgramList(in.Path(), !plain);
  if (!list.ok) return Fail(in.Path() == in.Shown() ? list.message : kStdinName + (": " + list.message));
  if (jsonResult) {
    nlohmann::ordered_json names = nlohmann::ordered_json::array();
    for (const auto& line : list.lines) names.push_back(raw ? line : Cp1250ToUtf8(line));
    return PrintJson({{"ok", true}, {"programs", names}});
  }
  std::string out;
  for (const auto& line : list.lines) {
    // --raw is for programs that read the bytes; for people, control bytes are shown escaped.
    out += raw ? line : ll::tools::Escaped(Cp1250ToUtf8(line));
    out += '\n';
  }
  return PrintOut(out);
}

}  // namespace

int main(int argc, char** argv) {
  ll::tools::UseUtf8CommandLine(argc, argv);
  CLI::App app{"Converts LinkLoader firmware files and shows what an upload would load.",
               kProgram};
  app.set_version_flag("--version", std::string(kProgram) + " " + LL_PROGRAM_VERSION);
  app.footer("FILE, IN and OUT may be '-' for standard input or output.\n" + kExitCodes);
  app.require_subcommand(1);

  std::string in, out, outDir;
  bool plain = false, raw = false;
  auto* encode = app.add_subcommand("encode", "plain Intel HEX -> line-encoded (.hexfw)");
  const std::string encodeHelp =
      "Each line is scrambled with the key of its number and followed by an empty line; lines\n"
      "end with CR LF. IN must load as plain firmware. A line whose stored form would hold CR,\n"
      "LF or 0x1A is refused; every such line is named with its column and character.\n";
  encode->add_option("IN", in, "plain Intel HEX file")->required();
  encode->add_option("OUT", out, "line-encoded file to write")->required();
  auto* decode = app.add_subcommand("decode", "line-encoded -> plain Intel HEX");
  const std::string decodeHelp =
      "Lines end with CR LF. IN must load as a line-encoded file; a line that decodes to CR,\n"
      "LF or 0x1A is refused.\n";
  decode->add_option("IN", in, "line-encoded file")->required();
  decode->add_option("OUT", out, "plain file to write")->required();
  auto* dump = app.add_subcommand("dump", "the images an upload would load from FILE");
  const std::string dumpHelp =
      "Loads FILE exactly as the upload does and writes DIR/flash.bin (32768 bytes),\n"
      "eeprom.bin (256) and config.bin (16), all three or none. Prints FlashTop and EepromTop\n"
      "(the highest last address of a record inside each memory, -1 for none) and the\n"
      "loader's result.\n";
  dump->add_option("FILE", in, "firmware file")->required();
  dump->add_flag("--plain", plain, "FILE is plain Intel HEX (default: line-encoded)");
  dump->add_option("--out", outDir, "folder for the images")->type_name("DIR")->required();
  auto* programs = app.add_subcommand("programs", "the vehicle programs a file names");
  const std::string programsHelp =
      "Prints the vehicle-program comment lines (';' removed) as the program list shows them,\n"
      "Windows-1250 converted to UTF-8, control bytes shown as \\xHH.\n";
  programs->add_option("FILE", in, "firmware file")->required();
  programs->add_flag("--plain", plain, "FILE is plain Intel HEX (default: line-encoded)");
  programs->add_flag("--raw", raw, "print the file's bytes unchanged");
  for (auto* command : {dump, programs}) {
    command->add_flag("--json", jsonResult,
                      "one JSON object on standard output at the end: \"ok\", and \"error\" "
                      "(\"file\" or \"usage\") with \"message\" on failure");
  }
  encode->footer(encodeHelp + kExitCodes);
  decode->footer(decodeHelp + kExitCodes);
  dump->footer(dumpHelp + kExitCodes);
  programs->footer(programsHelp + kExitCodes);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return FailWith(kExitUsage, std::string(e.what()) + " (see --help)");
  }
  if (*encode) return Encode(in, out);
  if (*decode) return Decode(in, out);
  if (*dump) {
    if (outDir.empty()) {
      return FailWith(kExitUsage, "--out needs a folder (see --help)");
    }
    return Dump(in, plain, outDir);
  }
  return Programs(in, plain, raw);
}
