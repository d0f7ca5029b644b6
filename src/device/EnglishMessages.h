// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The status and error texts in English, slot by slot (MsgSlot 0..16), for hosts that run the
// operations without a language choice: the command line, the device tests and the benchmarks.
// They are the texts the window shows with English chosen.

#include <array>

#include "device/ProgramState.h"

namespace ll::device {

inline constexpr std::array<const char*, MsgEepromReading + 1> kEnglishMessages = {
    "Cancel",                     // MsgCancelled
    "Bootloader no response",     // MsgNoBootloader
    "Error loading file",         // MsgFileReadError
    "OK",                         // MsgOk
    "Error opening port",         // MsgPortOpenError
    "Error data transmission",    // MsgCommError
    "Waiting for bootloader...",  // MsgSearching
    "FLASH writing...",           // MsgFlashWriting
    "FLASH writing error",        // MsgFlashWriteError
    "No code to program",         // MsgNoFlashData
    "EEPROM writing...",          // MsgEepromWriting
    "EEPROM writing error",       // MsgEepromWriteError
    "No data EEPROM to program",  // MsgNoEepromData
    "Finished",                   // MsgDone
    "No file selected",           // MsgNoFileSelected
    "Program version",            // MsgProgramVersion
    "Reading EEPROM...",          // MsgEepromReading
};

// Fills the message table with the English texts and sets the English language code.
inline void UseEnglishMessages(ProgramState& state) {
  for (std::size_t i = 0; i < kEnglishMessages.size(); ++i) state.MessageTable[i] = kEnglishMessages[i];
  state.LanguageCode = '1';
}

}  // namespace ll::device
