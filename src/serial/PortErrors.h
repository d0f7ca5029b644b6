// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Error codes, their texts and the exceptions of the serial layer.
//
// Inside the serial layer every operation returns a signed 32-bit code: 0 or above is success,
// a negative value is an error number. TSerialPort turns negative codes into the exceptions
// below at its boundary (CheckErrorCode).

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

namespace ll::serial {

// ---- Error codes the serial layer produces ------------------------------------------------
inline constexpr int32_t ecOK = 0;

// Runtime file and device errors (the serial threads use the last three).
inline constexpr int32_t ecFileNotFound = -2;
inline constexpr int32_t ecPathNotFound = -3;
inline constexpr int32_t ecAccessDenied = -5;
inline constexpr int32_t ecOutOfMemory = -8;
inline constexpr int32_t ecDeviceWrite = -160;
inline constexpr int32_t ecDeviceRead = -161;
inline constexpr int32_t ecGeneralFailure = -162;

inline constexpr int32_t ecBadHandle = -1001;
inline constexpr int32_t ecBadArgument = -1002;
inline constexpr int32_t ecGotQuitMsg = -1003;
inline constexpr int32_t ecBufferTooBig = -1004;
inline constexpr int32_t ecPortNotAssigned = -1005;
inline constexpr int32_t ecInternal = -1006;
inline constexpr int32_t ecModemNotAssigned = -1007;
inline constexpr int32_t ecPhonebookNotAssigned = -1008;
inline constexpr int32_t ecCannotUseWithWinSock = -1009;

inline constexpr int32_t ecBadId = -2001;
inline constexpr int32_t ecBaudRate = -2002;
inline constexpr int32_t ecByteSize = -2003;
inline constexpr int32_t ecDefault = -2004;
inline constexpr int32_t ecHardware = -2005;
inline constexpr int32_t ecMemory = -2006;
inline constexpr int32_t ecCommNotOpen = -2007;
inline constexpr int32_t ecAlreadyOpen = -2008;
inline constexpr int32_t ecNoHandles = -2009;
inline constexpr int32_t ecNoTimers = -2010;
inline constexpr int32_t ecNoPortSelected = -2011;
inline constexpr int32_t ecNotOpenedByTapi = -2012;

inline constexpr int32_t ecNullApi = -3001;
inline constexpr int32_t ecNotSupported = -3002;
inline constexpr int32_t ecRegisterHandlerFailed = -3003;
inline constexpr int32_t ecPutBlockFail = -3004;
inline constexpr int32_t ecGetBlockFail = -3005;
inline constexpr int32_t ecOutputBufferTooSmall = -3006;
inline constexpr int32_t ecBufferIsEmpty = -3007;
inline constexpr int32_t ecTracingNotEnabled = -3008;
inline constexpr int32_t ecLoggingNotEnabled = -3009;
inline constexpr int32_t ecBaseAddressNotSet = -3010;

inline constexpr int32_t ecNoMoreTriggers = -5001;
inline constexpr int32_t ecTriggerTooLong = -5002;
inline constexpr int32_t ecBadTriggerHandle = -5003;

// A worker thread could not allocate a block.
inline constexpr int32_t ecThreadNoMemory = -13868;

// Rows that name log entry types (15001 + type), subtypes (15100 + subtype) and modem-status bits.
inline constexpr int32_t ecLogTypeBase = 15000;
inline constexpr int32_t ecLogSubTypeBase = 15100;
inline constexpr int32_t ecModemBitNameBase = 15600;

// ---- ErrorTextTable ------------------------------------------------------------------------
struct ErrorTextRow {
  int32_t code;
  const char* text;
};

// The text of `code` (searched on |code|, so -2001 and 2001 find the same row), or nullptr when
// the table has no row for it.
const char* ErrorText(int32_t code);
// Number of rows and row access, for checks of the table itself.
std::size_t ErrorTextRowCount();
const ErrorTextRow& ErrorTextRowAt(std::size_t index);

// The operating system's message for an error number, control characters replaced by a blank and
// double blanks reduced to one. Defined by the back end of the operating system (errno values on
// Linux, system error codes on Windows).
std::string OsErrorText(int error);
// A system message made fit for one line: control characters become blanks, runs of blanks one,
// no blank at either end.
std::string CleanOsText(std::string_view raw);

// Message used for codes that have no class of their own.
inline constexpr std::string_view kGenericErrorMessage = "Serial port error";

// ---- Exceptions ------------------------------------------------------------------------------
class EPortError : public std::exception {
 public:
  EPortError(std::string message, int32_t code) : message_(std::move(message)), code_(code) {}
  const char* what() const noexcept override { return message_.c_str(); }
  int32_t ErrorCode() const { return code_; }

 private:
  std::string message_;
  int32_t code_;
};

#define LL_PORT_ERROR_CLASS(Name, Base)                                                     \
  class Name : public Base {                                                         \
   public:                                                                           \
    Name(std::string message, int32_t code) : Base(std::move(message), code) {}       \
  };

// Families.
LL_PORT_ERROR_CLASS(EGeneral, EPortError)
LL_PORT_ERROR_CLASS(EOpenComm, EPortError)
LL_PORT_ERROR_CLASS(ESerialIO, EPortError)
LL_PORT_ERROR_CLASS(EModem, EPortError)
LL_PORT_ERROR_CLASS(ETrigger, EPortError)
LL_PORT_ERROR_CLASS(EProtocol, EPortError)
LL_PORT_ERROR_CLASS(EINI, EPortError)
LL_PORT_ERROR_CLASS(EFax, EPortError)
LL_PORT_ERROR_CLASS(ETapi, EPortError)
LL_PORT_ERROR_CLASS(ERas, EPortError)

LL_PORT_ERROR_CLASS(EBadArgument, EGeneral)
LL_PORT_ERROR_CLASS(EGotQuitMsg, EGeneral)
LL_PORT_ERROR_CLASS(EBufferTooBig, EGeneral)
LL_PORT_ERROR_CLASS(EPortNotAssigned, EGeneral)
LL_PORT_ERROR_CLASS(EInternal, EGeneral)
LL_PORT_ERROR_CLASS(EModemNotAssigned, EGeneral)
LL_PORT_ERROR_CLASS(EPhonebookNotAssigned, EGeneral)
LL_PORT_ERROR_CLASS(ECannotUseWithWinSock, EGeneral)

LL_PORT_ERROR_CLASS(EBadId, EOpenComm)
LL_PORT_ERROR_CLASS(EBaudRate, EOpenComm)
LL_PORT_ERROR_CLASS(EByteSize, EOpenComm)
LL_PORT_ERROR_CLASS(EDefault, EOpenComm)
LL_PORT_ERROR_CLASS(EHardware, EOpenComm)
LL_PORT_ERROR_CLASS(EMemory, EOpenComm)
LL_PORT_ERROR_CLASS(ECommNotOpen, EOpenComm)
LL_PORT_ERROR_CLASS(EAlreadyOpen, EOpenComm)
LL_PORT_ERROR_CLASS(ENoHandles, EOpenComm)
LL_PORT_ERROR_CLASS(ENoTimers, EOpenComm)
LL_PORT_ERROR_CLASS(ENoPortSelected, EOpenComm)
LL_PORT_ERROR_CLASS(ENotOpenedByTapi, EOpenComm)

LL_PORT_ERROR_CLASS(ENullApi, ESerialIO)
LL_PORT_ERROR_CLASS(ERegisterHandlerFailed, ESerialIO)
LL_PORT_ERROR_CLASS(EPutBlockFail, ESerialIO)
LL_PORT_ERROR_CLASS(EGetBlockFail, ESerialIO)
LL_PORT_ERROR_CLASS(EOutputBufferTooSmall, ESerialIO)
LL_PORT_ERROR_CLASS(EBufferIsEmpty, ESerialIO)
LL_PORT_ERROR_CLASS(ETracingNotEnabled, ESerialIO)
LL_PORT_ERROR_CLASS(ELoggingNotEnabled, ESerialIO)
LL_PORT_ERROR_CLASS(EBaseAddressNotSet, ESerialIO)

LL_PORT_ERROR_CLASS(EModemNotStarted, EModem)
LL_PORT_ERROR_CLASS(EModemBusy, EModem)
LL_PORT_ERROR_CLASS(EModemNotDialing, EModem)
LL_PORT_ERROR_CLASS(EModemNotResponding, EModem)
LL_PORT_ERROR_CLASS(EModemRejectedCommand, EModem)
LL_PORT_ERROR_CLASS(EModemStatusMismatch, EModem)
LL_PORT_ERROR_CLASS(EAlreadyDialing, EModem)
LL_PORT_ERROR_CLASS(ENotDialing, EModem)

LL_PORT_ERROR_CLASS(ENoMoreTriggers, ETrigger)
LL_PORT_ERROR_CLASS(ETriggerTooLong, ETrigger)
LL_PORT_ERROR_CLASS(EBadTriggerHandle, ETrigger)

LL_PORT_ERROR_CLASS(ERasLoadFail, ERas)

#undef LL_PORT_ERROR_CLASS

// The language runtime's input/output error: a file or device operation failed. ErrorCode() is
// the positive error number (|code|).
class RuntimeIoError : public std::exception {
 public:
  RuntimeIoError(std::string message, int32_t errorNumber)
      : message_(std::move(message)), errorNumber_(errorNumber) {}
  const char* what() const noexcept override { return message_.c_str(); }
  int32_t ErrorCode() const { return errorNumber_; }

 private:
  std::string message_;
  int32_t errorNumber_;
};

// The runtime's out-of-memory error.
class RuntimeOutOfMemory : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "Out of memory"; }
};

// Builds the exception for a negative code (see CheckErrorCode). `osText`, when not empty, is the
// operating system's own text for the failure, used instead of the table for codes that have no
// class of their own.
std::exception_ptr MakeErrorException(int32_t code, std::string_view osText = {});

// Returns `code` when it is 0 or above; otherwise throws the exception for it.
int32_t CheckErrorCode(int32_t code, std::string_view osText = {});

}  // namespace ll::serial
