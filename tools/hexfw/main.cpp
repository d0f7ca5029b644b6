// linkloader-hexfw: converts firmware files between plain Intel HEX and the line-encoded .hexfw
// form, and shows what the upload would load from a file.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AtomicFile.h"
#include "firmware/Cp1250.h"
#include "firmware/HexLoader.h"
#include "firmware/Images.h"
#include "firmware/LineDecoder.h"
#include "firmware/ProgramList.h"
#include "firmware/TextFile.h"

namespace fs = std::filesystem;
using namespace ll::firmware;

namespace {

constexpr std::string_view kProgram = "linkloader-hexfw";
constexpr std::string_view kLineEnd = "\r\n";  // the files are exchanged with Windows machines
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Bytes that the text-file reading of the loader would take as a line end or the file's end.
constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kEndOfFileMarker = 0x1A;

constexpr std::string_view kUsage =
    "Usage:\n"
    "  linkloader-hexfw encode IN.hex OUT.hexfw\n"
    "  linkloader-hexfw decode IN.hexfw OUT.hex\n"
    "  linkloader-hexfw dump FILE [--plain] --out DIR\n"
    "  linkloader-hexfw programs FILE [--plain] [--raw]\n"
    "  linkloader-hexfw [COMMAND] --help\n";

constexpr std::string_view kEncodeHelp =
    "linkloader-hexfw encode IN.hex OUT.hexfw\n"
    "  Writes the line-encoded form of a plain Intel HEX file: every line is scrambled with the\n"
    "  key of its line number and followed by an empty second line. Lines end with CR LF.\n"
    "  Refuses (and writes nothing) when a stored line would contain CR, LF or 0x1A, because the\n"
    "  loader could not read such a line back.\n";
constexpr std::string_view kDecodeHelp =
    "linkloader-hexfw decode IN.hexfw OUT.hex\n"
    "  Writes the plain Intel HEX text of a line-encoded file; the second line of each pair is\n"
    "  dropped. Lines end with CR LF.\n";
constexpr std::string_view kDumpHelp =
    "linkloader-hexfw dump FILE [--plain] --out DIR\n"
    "  Loads FILE exactly as the upload does (line-encoded unless --plain) and writes\n"
    "  DIR/flash.bin (32768 bytes), DIR/eeprom.bin (256) and DIR/config.bin (16); bytes the file\n"
    "  does not set are 0xFF. Prints FlashTop, EepromTop and the loader's result. A file that\n"
    "  does not load ends with a message naming the line and exit status 1; nothing is written.\n";
constexpr std::string_view kProgramsHelp =
    "linkloader-hexfw programs FILE [--plain] [--raw]\n"
    "  Prints the vehicle-program comment lines of FILE (lines starting with ';', the first ';'\n"
    "  removed), read as the program list shows them (line-encoded unless --plain). The texts\n"
    "  are Windows-1250 and printed as UTF-8; --raw prints the file's bytes unchanged.\n";

int Fail(const std::string& message) {
  std::cerr << kProgram << ": " << message << '\n';
  return kExitFailed;
}

int Usage(const std::string& message) {
  std::cerr << kProgram << ": " << message << '\n' << kUsage;
  return kExitUsage;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

std::optional<std::string> ForbiddenByte(std::string_view stored) {
  for (const char c : stored) {
    if (c == kCr) return "CR (0x0D)";
    if (c == kLf) return "LF (0x0A)";
    if (c == kEndOfFileMarker) return "0x1A";
  }
  return std::nullopt;
}

int Encode(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::cout << kEncodeHelp, kExitOk;
  if (args.size() != 2) return Usage("encode needs IN.hex and OUT.hexfw");
  TextFileReader in;
  if (!in.Open(args[0])) return Fail("cannot open " + args[0] + ": " + in.OpenError());
  std::string out;
  try {
    std::int32_t number = 0;
    while (!in.Eof()) {
      const std::string line = in.ReadLine();
      ++number;
      const std::string stored = DecodeFirmwareLine(line, LineKey(number), true);
      if (const auto bad = ForbiddenByte(stored)) {
        return Fail(args[0] + ": line " + std::to_string(number) + ": its encoded form would hold " +
                    *bad + ", which ends a line when read back; nothing written");
      }
      out += stored;
      out += kLineEnd;
      out += kLineEnd;  // the ignored second line of the pair
    }
  } catch (const std::exception& error) {
    return Fail(error.what());
  }
  std::string error;
  if (!WriteFileAtomically(args[1], out, error)) return Fail(error);
  return kExitOk;
}

int Decode(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::cout << kDecodeHelp, kExitOk;
  if (args.size() != 2) return Usage("decode needs IN.hexfw and OUT.hex");
  TextFileReader in;
  if (!in.Open(args[0])) return Fail("cannot open " + args[0] + ": " + in.OpenError());
  std::string out;
  try {
    std::int32_t number = 0;
    while (!in.Eof()) {
      ++number;
      out += DecodeFirmwareLine(in.ReadLine(), LineKey(number), false);
      out += kLineEnd;
      (void)in.ReadLine();
    }
  } catch (const std::exception& error) {
    return Fail(error.what());
  }
  std::string error;
  if (!WriteFileAtomically(args[1], out, error)) return Fail(error);
  return kExitOk;
}

struct FileArgs {
  std::string file;
  bool plain = false;
  bool raw = false;
  std::string outDir;
};

std::optional<FileArgs> ParseFileArgs(const std::vector<std::string>& args, bool allowOut,
                                      bool allowRaw, std::string& error) {
  FileArgs parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--plain") {
      parsed.plain = true;
    } else if (allowRaw && a == "--raw") {
      parsed.raw = true;
    } else if (allowOut && a == "--out") {
      if (i + 1 >= args.size()) {
        error = "--out needs a folder";
        return std::nullopt;
      }
      parsed.outDir = args[++i];
    } else if (a.size() > 1 && a.front() == '-') {
      error = "unknown option " + a;
      return std::nullopt;
    } else if (parsed.file.empty()) {
      parsed.file = a;
    } else {
      error = "more than one file given";
      return std::nullopt;
    }
  }
  if (parsed.file.empty()) {
    error = "no file given";
    return std::nullopt;
  }
  if (allowOut && parsed.outDir.empty()) {
    error = "dump needs --out DIR";
    return std::nullopt;
  }
  return parsed;
}

std::string TopText(std::int32_t top, int digits) {
  if (top < 0) return "-1 (none)";
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%0*X", digits, static_cast<unsigned>(top));
  return std::to_string(top) + " (" + hex + ")";
}

template <std::size_t N>
std::string_view Bytes(const std::array<std::uint8_t, N>& image) {
  return {reinterpret_cast<const char*>(image.data()), image.size()};
}

int Dump(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::cout << kDumpHelp, kExitOk;
  std::string error;
  const auto parsed = ParseFileArgs(args, true, false, error);
  if (!parsed) return Usage(error);

  Images images;
  const LoadResult loaded = LoadFirmwareFile(parsed->file, !parsed->plain, images);
  if (!loaded.ok) {
    if (loaded.failure == LoadFailure::BadLine) {
      std::cout << "FlashTop: " << TopText(images.FlashTop, 4) << '\n'
                << "EepromTop: " << TopText(images.EepromTop, 2) << '\n'
                << "Result: " << LineResultName(loaded.result) << " at line " << loaded.lineNumber
                << '\n';
    }
    return Fail(parsed->file + ": " + loaded.message);
  }

  const fs::path dir(parsed->outDir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return Fail("cannot create " + dir.string() + ": " + ec.message());
  if (!WriteFileAtomically(dir / "flash.bin", Bytes(images.FlashImage), error) ||
      !WriteFileAtomically(dir / "eeprom.bin", Bytes(images.EepromImage), error) ||
      !WriteFileAtomically(dir / "config.bin", Bytes(images.ConfigWordImage), error)) {
    return Fail(error);
  }
  std::cout << "FlashTop: " << TopText(images.FlashTop, 4) << '\n'
            << "EepromTop: " << TopText(images.EepromTop, 2) << '\n'
            << "Result: " << LineResultName(loaded.result) << " at line " << loaded.lineNumber
            << '\n';
  return kExitOk;
}

int Programs(const std::vector<std::string>& args) {
  if (WantsHelp(args)) return std::cout << kProgramsHelp, kExitOk;
  std::string error;
  const auto parsed = ParseFileArgs(args, false, true, error);
  if (!parsed) return Usage(error);
  const ProgramListResult list = ReadProgramList(parsed->file, !parsed->plain);
  if (!list.ok) return Fail(list.message);
  std::string out;
  for (const auto& line : list.lines) {
    out += parsed->raw ? line : Cp1250ToUtf8(line);
    out += '\n';
  }
  std::cout << out << std::flush;
  return std::cout ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command given");
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage << '\n'
              << kEncodeHelp << '\n'
              << kDecodeHelp << '\n'
              << kDumpHelp << '\n'
              << kProgramsHelp;
    return kExitOk;
  }
  if (command == "encode") return Encode(args);
  if (command == "decode") return Decode(args);
  if (command == "dump") return Dump(args);
  if (command == "programs") return Programs(args);
  return Usage("unknown command " + command);
}
