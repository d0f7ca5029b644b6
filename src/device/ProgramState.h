// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program-wide state that the device operations share with the window. One instance lives for
// the whole run, owned by the main window's unit; everything else receives it by reference.

#include <array>
#include <cstdint>
#include <string>

#include "firmware/Images.h"

namespace ll::device {

// Slots of the message table: status and error texts of the current language (0..16) and the
// brand's web address (17). Texts are UTF-8.
enum MsgSlot : int {
  MsgCancelled = 0,
  MsgNoBootloader = 1,
  MsgFileReadError = 2,
  MsgOk = 3,
  MsgPortOpenError = 4,
  MsgCommError = 5,
  MsgSearching = 6,
  MsgFlashWriting = 7,
  MsgFlashWriteError = 8,
  MsgNoFlashData = 9,
  MsgEepromWriting = 10,
  MsgEepromWriteError = 11,
  MsgNoEepromData = 12,
  MsgDone = 13,
  MsgNoFileSelected = 14,
  MsgProgramVersion = 15,
  MsgEepromReading = 16,
  MsgBrandWebAddress = 17,
};
inline constexpr int kMessageSlots = 18;

struct ProgramState {
  std::array<std::string, kMessageSlots> MessageTable{};
  char LanguageCode = '0';
  std::string SelectedFileName;  // path as the file dialog gave it (UTF-8)

  firmware::Images images;  // FlashImage, EepromImage, ConfigWordImage and their tops

  std::uint8_t WireKey = 0xD3;
  std::int32_t TimeoutCounter = 0;
  std::uint8_t CanProgramNumber = 11;

  bool operationRunning = false;  // a device operation is inside its click handler

  // True only while images.EepromImage is known to equal the module's EEPROM: after a completed
  // configuration read or write, or an upload that wrote every EEPROM block. Whatever refills the
  // image clears it first, so a configuration write can never send a half-filled image.
  bool eepromImageIsModule = false;

  // The module's EEPROM as the last completed configuration read or write left it, while
  // moduleEepromKnown: what a write of an edited or restored image replaces, which the safety
  // net keeps before that write sends anything.
  std::array<std::uint8_t, firmware::kEepromSize> moduleEeprom{};
  bool moduleEepromKnown = false;
};

}  // namespace ll::device
