// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/PortErrors.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace ll::serial {
namespace {

// Sorted by |code|; looked up by binary search on the absolute value.
constexpr ErrorTextRow kErrorTextTable[] = {
    {0, "OK"},
    // Runtime file and device errors.
    {-2, "File not found"},
    {-3, "Path not found"},
    {-4, "Too many open files"},
    {-5, "File access denied"},
    {-6, "Invalid file handle"},
    {-8, "Insufficient memory"},
    {-12, "Invalid file access code"},
    {-15, "Invalid drive number"},
    {-16, "Cannot remove current directory"},
    {-17, "Cannot rename across drives"},
    {-18, "No more files"},
    {-100, "Disk read error"},
    {-101, "Disk write error"},
    {-102, "File not assigned"},
    {-103, "File not open"},
    {-104, "File not open for input"},
    {-105, "File not open for output"},
    {-106, "Invalid input"},
    {-150, "Disk is write-protected"},
    {-152, "Drive not ready"},
    {-154, "CRC error in data"},
    {-156, "Disk seek error"},
    {-157, "Unknown media type"},
    {-158, "Sector not found"},
    {-159, "Printer out of paper"},
    {-160, "Device write error"},
    {-161, "Device read error"},
    {-162, "General failure"},
    // General.
    {-1001, "Bad handle passed to com function"},
    {-1002, "Bad argument passed to function"},
    {-1003, "Got quit message"},
    {-1004, "Terminal buffer greater than 65521"},
    {-1005, "ComPort component not assigned"},
    {-1006, "Internal error creating window class"},
    {-1007, "Modem component not assigned"},
    {-1008, "Phonebook component not assigned"},
    {-1009, "Component not compatible with WinSock"},
    // Opening the port.
    {-2001, "ie_BadId - Specified comport doesn't exist"},
    {-2002, "ie_Baudrate - unsupported baud rate"},
    {-2003, "ie_Bytesize - invalid byte size"},
    {-2004, "ie_Default - error in default parameters"},
    {-2005, "ie_Hardware - Specified comport in use"},
    {-2006, "ie_Memory - unable to allocate queues"},
    {-2007, "ie_NOpen - device not open"},
    {-2008, "ie_Open - device already open"},
    {-2009, "No more handles, can't open port"},
    {-2010, "No timers available"},
    {-2011, "The ComNumber property of the serial port has not been set"},
    {-2012, "Comport was not opened by Tapi"},
    // Serial I/O.
    {-3001, "No device layer specified"},
    {-3002, "Function not supported by driver"},
    {-3003, "EnableCommNotification failed"},
    {-3004, "Failed to put entire block"},
    {-3005, "Failed to get entire block"},
    {-3006, "Output buffer too small for block"},
    {-3007, "Buffer is empty"},
    {-3008, "Tracing not enabled"},
    {-3009, "Logging not enabled"},
    {-3010, "Base address not set"},
    // Modem (never raised by the serial port; listed for their classes).
    {-4001, "Modem not started"},
    {-4002, "Modem is busy"},
    {-4003, "Modem is not dialing"},
    {-4004, "Modem is not responding"},
    {-4005, "Modem rejected command"},
    {-4006, "Modem status mismatch"},
    {-4007, "Already dialing"},
    {-4008, "Not dialing"},
    // Triggers.
    {-5001, "No more trigger slots"},
    {-5002, "Data trigger too long"},
    {-5003, "Bad trigger handle"},
    // A worker thread could not allocate an I/O block.
    {-13868, "Insufficient memory to allocate I/O buffer."},
    // Log entry type names.
    {15001, "Dispatch"},
    {15002, "Trigger"},
    {15003, "Error"},
    {15004, "Thread"},
    {15005, "TrigAllc"},
    {15006, "TrigDisp"},
    {15007, "TrgHdAlc"},
    {15008, "TrgHdDsp"},
    {15009, "TrDatChg"},
    // Log entry subtype names.
    {15101, "ReadCom"},
    {15102, "WriteCom"},
    {15103, "Line status"},
    {15104, "Modem status"},
    {15105, "Avail"},
    {15106, "Timer"},
    {15107, "Data"},
    {15108, "Status"},
    {15117, "Window"},
    // Modem-status bit names, lowest bit first.
    {15601, "DCTS "},
    {15602, "DDSR "},
    {15603, "TERI "},
    {15604, "DDCD "},
    {15605, "CTS "},
    {15606, "DSR "},
    {15607, "RI "},
    {15608, "DCD "},
};

constexpr int32_t Abs(int32_t v) { return v < 0 ? -v : v; }

constexpr bool TableIsSorted() {
  for (std::size_t i = 1; i < std::size(kErrorTextTable); ++i) {
    if (Abs(kErrorTextTable[i - 1].code) >= Abs(kErrorTextTable[i].code)) return false;
  }
  return true;
}
static_assert(TableIsSorted(), "ErrorTextTable must be strictly sorted by |code| for the binary search");

}  // namespace

const char* ErrorText(int32_t code) {
  const int64_t key = code < 0 ? -int64_t{code} : int64_t{code};
  std::size_t lo = 0, hi = std::size(kErrorTextTable);
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const int64_t v = Abs(kErrorTextTable[mid].code);
    if (v == key) return kErrorTextTable[mid].text;
    if (v < key) lo = mid + 1; else hi = mid;
  }
  return nullptr;
}

std::size_t ErrorTextRowCount() { return std::size(kErrorTextTable); }
const ErrorTextRow& ErrorTextRowAt(std::size_t index) { return kErrorTextTable[index]; }

std::string CleanOsText(std::string_view raw) {
  std::string out;
  for (const char ch : raw) {
    const char c = static_cast<unsigned char>(ch) < 32 || ch == 127 ? ' ' : ch;
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out.push_back(c);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

namespace {

std::string MessageFor(int32_t code, std::string_view osText) {
  if (const char* t = ErrorText(code)) return t;
  if (!osText.empty()) return std::string(osText);
  return OsErrorText(Abs(code));
}

template <class E>
std::exception_ptr Make(int32_t code) {
  return std::make_exception_ptr(E(MessageFor(code, {}), code));
}

}  // namespace

std::exception_ptr MakeErrorException(int32_t code, std::string_view osText) {
  switch (code) {
    case ecBadArgument: return Make<EBadArgument>(code);
    case ecGotQuitMsg: return Make<EGotQuitMsg>(code);
    case ecBufferTooBig: return Make<EBufferTooBig>(code);
    case ecPortNotAssigned: return Make<EPortNotAssigned>(code);
    case ecInternal: return Make<EInternal>(code);
    case ecModemNotAssigned: return Make<EModemNotAssigned>(code);
    case ecPhonebookNotAssigned: return Make<EPhonebookNotAssigned>(code);
    case ecCannotUseWithWinSock: return Make<ECannotUseWithWinSock>(code);
    case ecBadId: return Make<EBadId>(code);
    case ecBaudRate: return Make<EBaudRate>(code);
    case ecByteSize: return Make<EByteSize>(code);
    case ecDefault: return Make<EDefault>(code);
    case ecHardware: return Make<EHardware>(code);
    case ecMemory: return Make<EMemory>(code);
    case ecCommNotOpen: return Make<ECommNotOpen>(code);
    case ecAlreadyOpen: return Make<EAlreadyOpen>(code);
    case ecNoHandles: return Make<ENoHandles>(code);
    case ecNoTimers: return Make<ENoTimers>(code);
    case ecNoPortSelected: return Make<ENoPortSelected>(code);
    case ecNotOpenedByTapi: return Make<ENotOpenedByTapi>(code);
    case ecNullApi: return Make<ENullApi>(code);
    case ecRegisterHandlerFailed: return Make<ERegisterHandlerFailed>(code);
    case ecPutBlockFail: return Make<EPutBlockFail>(code);
    case ecGetBlockFail: return Make<EGetBlockFail>(code);
    case ecOutputBufferTooSmall: return Make<EOutputBufferTooSmall>(code);
    case ecBufferIsEmpty: return Make<EBufferIsEmpty>(code);
    case ecTracingNotEnabled: return Make<ETracingNotEnabled>(code);
    case ecLoggingNotEnabled: return Make<ELoggingNotEnabled>(code);
    case ecBaseAddressNotSet: return Make<EBaseAddressNotSet>(code);
    case -4001: return Make<EModemNotStarted>(code);
    case -4002: return Make<EModemBusy>(code);
    case -4003: return Make<EModemNotDialing>(code);
    case -4004: return Make<EModemNotResponding>(code);
    case -4005: return Make<EModemRejectedCommand>(code);
    case -4006: return Make<EModemStatusMismatch>(code);
    case -4007: return Make<EAlreadyDialing>(code);
    case -4008: return Make<ENotDialing>(code);
    case ecNoMoreTriggers: return Make<ENoMoreTriggers>(code);
    case ecTriggerTooLong: return Make<ETriggerTooLong>(code);
    case ecBadTriggerHandle: return Make<EBadTriggerHandle>(code);
    case -13980: return Make<ERasLoadFail>(code);
    default: break;
  }
  if (code == ecOutOfMemory) return std::make_exception_ptr(RuntimeOutOfMemory());
  if (code <= -2 && code >= -162) {
    // The operating system's own text, when the caller has it, says more than the table's
    // generic file-error row.
    std::string msg = osText.empty() ? MessageFor(code, {}) : std::string(osText);
    return std::make_exception_ptr(RuntimeIoError(std::move(msg), -code));
  }
  return std::make_exception_ptr(EPortError(std::string(kGenericErrorMessage), 0));
}

int32_t CheckErrorCode(int32_t code, std::string_view osText) {
  if (code >= 0) return code;
  std::rethrow_exception(MakeErrorException(code, osText));
}

}  // namespace ll::serial
