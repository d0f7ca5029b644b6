// SPDX-License-Identifier: GPL-3.0-or-later
// Slovak texts of the main window: the captions in kCaptionControls order, then the
// status and error texts of message slots 0..16. UTF-8; leading and trailing blanks belong to
// the texts.
#include "app/Languages.h"

namespace ll::app {

extern const LanguageTexts kSlovakTexts;
const LanguageTexts kSlovakTexts{
    '4',
    {{
        "Orvoriť súbor",  // bbOpen
        "Uložiť",  // bbUpload
        "Zrušiť",  // Button1
        "Načítať",  // Button2
        "Open",  // Button3
        "Jazyk",  // RadioGroup1
        "Port",  // GroupBox1
        "Programová verzia",  // GroupBox2
        "Voľby",  // GroupBox3
        "Programovanie",  // TabSheet1
        "Pracovné parametre",  // TabSheet2
        "(1) Obsluha systému ",  // GroupBox5
        "Tichá",  // RadioButton4
        "Hlasná",  // RadioButton5
        "(2) Reaktivácia ",  // GroupBox6
        "Nie",  // RadioButton6
        "30 sekúnd",  // RadioButton7
        "(3) Uzamknutie CZ ",  // GroupBox7
        "Nie",  // RadioButton8
        "7sek(2500RPM)",  // RadioButton9
        " Zadanie funkie ",  // GroupBox17
        "FI",  // RadioButton22
        "FA",  // RadioButton23
        "(4) Funkcia FI ",  // GroupBox8
        "Nie",  // RadioButton10
        "Áno",  // RadioButton11
        "(5) Oneskorenie FI",  // GroupBox10
        "30sek(autorizácia 1xPA)",  // RadioButton12
        "90sek(autorizácia PA)",  // RadioButton13
        "(6) Kanál I ",  // GroupBox11
        "Nie",  // RadioButton14
        "InfoGPS",  // RadioButton15
        "(7) Smart KEY ",  // GroupBox12
        "Nie",  // RadioButton16
        "Áno",  // RadioButton17
        "(8) Dojazd okien ",  // GroupBox14
        "Nie",  // RadioButton20
        "Áno",  // RadioButton21
        "(9) Kanál II ",  // GroupBox13
        "Klaksón",  // RadioButton18
        "Tlačítko BAG",  // RadioButton19
        "(10) Núdzové svetlá ",  // GroupBox16
        "FS1 (sekv. pri alarme)",  // CheckBox2
        "FS2 (sekv. aktiv./deaktiv.) ",  // CheckBox1
        "FS3 (stále pri alarme)",  // CheckBox3
        " Voľby ",  // GroupBox4
        "Načítať",  // BitBtn2
        "Uložiť",  // BitBtn1
        "Načítať",  // BitBtn4
        "Uložiť",  // BitBtn3
        " PIN kód ",  // GroupBox9
        "Č. programu CAN",  // GroupBox15
        "Č. programu CAN",  // GroupBox19
        "CAN program list",  // GroupBox18
    }},
    {{
        "Zrušiť",  // MsgCancelled
        "Bootloader bez odpovede",  // MsgNoBootloader
        "Chyba načítania súboru",  // MsgFileReadError
        "OK",  // MsgOk
        "Chyba otvorenia portu",  // MsgPortOpenError
        "Chyba v komunikácii",  // MsgCommError
        "Vyhľadáva...",  // MsgSearching
        "FLASH uložiť...",  // MsgFlashWriting
        "Chyba ukladania pamäti FLASH",  // MsgFlashWriteError
        "Chýbajúce údaje FLASH",  // MsgNoFlashData
        "Uložiť EEPROM...",  // MsgEepromWriting
        "Chyba ukladania pamäti EEPROM",  // MsgEepromWriteError
        "Chýbajúce údaje EEPROM",  // MsgNoEepromData
        "Ukončené",  // MsgDone
        "Súbor nebol vybran",  // MsgNoFileSelected
        "Programová verzia",  // MsgProgramVersion
        "Reading EEPROM...",  // MsgEepromReading
    }},
};

}  // namespace ll::app
