// SPDX-License-Identifier: GPL-3.0-or-later
// Czech texts of the main window: the captions in kCaptionControls order, then the
// status and error texts of message slots 0..16. UTF-8; leading and trailing blanks belong to
// the texts.
#include "app/Languages.h"

namespace ll::app {

extern const LanguageTexts kCzechTexts;
const LanguageTexts kCzechTexts{
    '5',
    {{
        "Otevřít soubor",  // bbOpen
        "Uložit",  // bbUpload
        "Zrušit",  // Button1
        "Načíst",  // Button2
        "Open",  // Button3
        "Jazyk",  // RadioGroup1
        "Port",  // GroupBox1
        "Programová verze",  // GroupBox2
        "Volby",  // GroupBox3
        "Programování",  // TabSheet1
        "Pracovní parametry",  // TabSheet2
        "(1) Obsluha systému ",  // GroupBox5
        "Tichá",  // RadioButton4
        "Hlasitá",  // RadioButton5
        "(2) Reaktivace ",  // GroupBox6
        "Ne",  // RadioButton6
        "30 vteřin",  // RadioButton7
        "(3) Uzamknutí CZ ",  // GroupBox7
        "Ne",  // RadioButton8
        "7sek(2500RPM)",  // RadioButton9
        " Zadání funkce ",  // GroupBox17
        "FI",  // RadioButton22
        "FA",  // RadioButton23
        "(4) Funkce FI ",  // GroupBox8
        "Ne",  // RadioButton10
        "Ano",  // RadioButton11
        "(5) Zpoždění FI",  // GroupBox10
        "30sec(autorizace 1xPA)",  // RadioButton12
        "90sec(autorizace PA)",  // RadioButton13
        "(6) Kanál I ",  // GroupBox11
        "Ne",  // RadioButton14
        "InfoGPS",  // RadioButton15
        "(7) Smart KEY ",  // GroupBox12
        "Ne",  // RadioButton16
        "Ano",  // RadioButton17
        "(8) Dojezd oken ",  // GroupBox14
        "Ne",  // RadioButton20
        "Ano",  // RadioButton21
        "(9) Kanál II ",  // GroupBox13
        "Klakson",  // RadioButton18
        "Tlačítko BAG",  // RadioButton19
        "(10) Nouzová světla ",  // GroupBox16
        "FS1 (sekv. při alarmu)",  // CheckBox2
        "FS2 (sekv. aktiv./deaktiv.) ",  // CheckBox1
        "FS3 (stále při alarmu)",  // CheckBox3
        " Volby ",  // GroupBox4
        "Načíst",  // BitBtn2
        "Uložit",  // BitBtn1
        "Načíst",  // BitBtn4
        "Uložit",  // BitBtn3
        " PIN kód ",  // GroupBox9
        "Č. programu CAN",  // GroupBox15
        "Č. programu CAN",  // GroupBox19
        "CAN program list",  // GroupBox18
    }},
    {{
        "Zrušit",  // MsgCancelled
        "Bootloader bez odpovědi",  // MsgNoBootloader
        "Chyba načítání souboru",  // MsgFileReadError
        "OK",  // MsgOk
        "Chyba otevření portu",  // MsgPortOpenError
        "Chyba v komunikaci",  // MsgCommError
        "Vyhledává...",  // MsgSearching
        "FLASH uložit...",  // MsgFlashWriting
        "Chyba ukládání paměti FLASH ",  // MsgFlashWriteError
        "Chybějící údaje FLASH",  // MsgNoFlashData
        "Uložit EEPROM...",  // MsgEepromWriting
        "Chyba ukládání paměti EEPROM",  // MsgEepromWriteError
        "Chybějící údaje EEPROM",  // MsgNoEepromData
        "Ukončení",  // MsgDone
        "Soubor nebyl vybrán",  // MsgNoFileSelected
        "Programová verze",  // MsgProgramVersion
        "Reading EEPROM...",  // MsgEepromReading
    }},
};

}  // namespace ll::app
