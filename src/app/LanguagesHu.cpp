// SPDX-License-Identifier: GPL-3.0-or-later
// Hungarian texts of the main window: the captions in kCaptionControls order, then the
// status and error texts of message slots 0..16. UTF-8; leading and trailing blanks belong to
// the texts.
#include "app/Languages.h"

namespace ll::app {

extern const LanguageTexts kHungarianTexts;
const LanguageTexts kHungarianTexts{
    '6',
    {{
        "Fajl",  // bbOpen
        "Mentés",  // bbUpload
        "Kilép",  // Button1
        "Olvas",  // Button2
        "Open",  // Button3
        "Nyelv",  // RadioGroup1
        "Port",  // GroupBox1
        "Program verzió",  // GroupBox2
        "Választ",  // GroupBox3
        "Programozás",  // TabSheet1
        "Műkodési paraméterek",  // TabSheet2
        "(1) Rendszer vezérlés ",  // GroupBox5
        "Néma",  // RadioButton4
        "Hangos",  // RadioButton5
        "(2) Ujraélesedés ",  // GroupBox6
        "Nem",  // RadioButton6
        "30 másodperc",  // RadioButton7
        "(3) Kz. Bezárás ",  // GroupBox7
        "Nem",  // RadioButton8
        "7sek(2500RPM)",  // RadioButton9
        " Funkcó ",  // GroupBox17
        "FI",  // RadioButton22
        "FA",  // RadioButton23
        "(4) FI Funkció ",  // GroupBox8
        "Nincs",  // RadioButton10
        "Igen",  // RadioButton11
        "(5) Késleltetés FI",  // GroupBox10
        "30sec(autorizáció 1xPA)",  // RadioButton12
        "90sec(autorizáció PA)",  // RadioButton13
        "(6) Sáv I ",  // GroupBox11
        "Nincs",  // RadioButton14
        "InfoGPS",  // RadioButton15
        "(7) Smart KEY ",  // GroupBox12
        "Nincs",  // RadioButton16
        "Igen",  // RadioButton17
        "(8) Ablakemelés ",  // GroupBox14
        "Nincs",  // RadioButton20
        "Igen",  // RadioButton21
        "(9) Sáv II ",  // GroupBox13
        "Duda",  // RadioButton18
        "BAG Gomb",  // RadioButton19
        "(10) Vészvillogók FI",  // GroupBox16
        "FS1 (riasztáskor)",  // CheckBox2
        "FS2 (szekv. aktiv./deaktiv.)",  // CheckBox1
        "FS3 (állandó riasztáskor)",  // CheckBox3
        " Választ ",  // GroupBox4
        "Olvasás",  // BitBtn2
        "Mentés",  // BitBtn1
        "Olvasás",  // BitBtn4
        "Mentés",  // BitBtn3
        " PIN kód ",  // GroupBox9
        "CAN program ",  // GroupBox15
        "CAN program ",  // GroupBox19
        "CAN program list",  // GroupBox18
    }},
    {{
        "Kilép",  // MsgCancelled
        "Bootloader nemválaszol",  // MsgNoBootloader
        "Olvasási Hiba",  // MsgFileReadError
        "OK",  // MsgOk
        "Port megnyitási hiba",  // MsgPortOpenError
        "Komunikációs hiba",  // MsgCommError
        "Keresés...",  // MsgSearching
        "FLASH mentés...",  // MsgFlashWriting
        "FLASH Írás Hiba",  // MsgFlashWriteError
        "Hiánzó FLASH adatok",  // MsgNoFlashData
        "EEPROM Mentés...",  // MsgEepromWriting
        "EEPROM mentési hiba",  // MsgEepromWriteError
        "Nincs EEPROM adat",  // MsgNoEepromData
        "Kész",  // MsgDone
        "Fajl nincs kiválasztva",  // MsgNoFileSelected
        "Program verzió",  // MsgProgramVersion
        "Reading EEPROM...",  // MsgEepromReading
    }},
};

}  // namespace ll::app
