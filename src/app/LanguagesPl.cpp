// SPDX-License-Identifier: GPL-3.0-or-later
// Polish texts of the main window: the captions in kCaptionControls order, then the
// status and error texts of message slots 0..16. UTF-8; leading and trailing blanks belong to
// the texts.
#include "app/Languages.h"

namespace ll::app {

extern const LanguageTexts kPolishTexts;
const LanguageTexts kPolishTexts{
    '0',
    {{
        "Otwórz plik",  // bbOpen
        "Zapisz",  // bbUpload
        "Anuluj",  // Button1
        "Odczytaj",  // Button2
        "Otwórz",  // Button3
        "Język",  // RadioGroup1
        "Port",  // GroupBox1
        "Wersja programu",  // GroupBox2
        "Polecenia",  // GroupBox3
        "Programowanie",  // TabSheet1
        "Parametry pracy",  // TabSheet2
        "(1) Obsługa systemu ",  // GroupBox5
        "Cicha",  // RadioButton4
        "Głośna",  // RadioButton5
        "(2) Samouzbrojenie ",  // GroupBox6
        "Brak",  // RadioButton6
        "30 sekund",  // RadioButton7
        "(3) Zamykanie zamka ",  // GroupBox7
        "Brak",  // RadioButton8
        "7sek(2500RPM)",  // RadioButton9
        " Tryb pracy ",  // GroupBox17
        "FI",  // RadioButton22
        "FA",  // RadioButton23
        "(4) Funkcja FI ",  // GroupBox8
        "Brak",  // RadioButton10
        "Jest",  // RadioButton11
        "(5) Opóźnienie FI",  // GroupBox10
        "30sek(autoryzacja 1xPA)",  // RadioButton12
        "90sek(autoryzacja PIN)",  // RadioButton13
        "(6) Kanał I ",  // GroupBox11
        "Brak",  // RadioButton14
        "InfoGPS",  // RadioButton15
        "(7) Smart KEY ",  // GroupBox12
        "Brak",  // RadioButton16
        "Jest",  // RadioButton17
        "(8) Domykanie szyb ",  // GroupBox14
        "Brak",  // RadioButton20
        "Jest",  // RadioButton21
        "(9) Kanał II ",  // GroupBox13
        "Klakson",  // RadioButton18
        "Przycisk BAG",  // RadioButton19
        "(10) Światła awaryjne ",  // GroupBox16
        "FS1 (sekwen. w alarmow.)",  // CheckBox2
        "FS2 (sekwen. uzbr./rozbr.) ",  // CheckBox1
        "FS3 (stałe w alarmowaniu)",  // CheckBox3
        " Polecenia ",  // GroupBox4
        "Odczyt",  // BitBtn2
        "Zapis",  // BitBtn1
        "Odczyt",  // BitBtn4
        "Zapis",  // BitBtn3
        " Kod PIN ",  // GroupBox9
        "Nr programu CAN",  // GroupBox15
        "Nr programu CAN",  // GroupBox19
        "Lista programów CAN",  // GroupBox18
    }},
    {{
        "Anulowano",  // MsgCancelled
        "Brak bootloadera",  // MsgNoBootloader
        "Błąd odczytu pliku!",  // MsgFileReadError
        "OK",  // MsgOk
        "Błąd otwarcia portu",  // MsgPortOpenError
        "Błąd komunikacji!",  // MsgCommError
        "Wyszukuje...",  // MsgSearching
        "Zapis FLASH...",  // MsgFlashWriting
        "Błąd zapisu pamięci FLASH ",  // MsgFlashWriteError
        "Brak danych FLASH",  // MsgNoFlashData
        "Zapis EEPROM...",  // MsgEepromWriting
        "Błąd zapisu pamięci EEPROM",  // MsgEepromWriteError
        "Brak danych EEPROM",  // MsgNoEepromData
        "Gotowe",  // MsgDone
        "Nie wybrano pliku",  // MsgNoFileSelected
        "Wersja programu",  // MsgProgramVersion
        "Odczyt EEPROM...",  // MsgEepromReading
    }},
};

}  // namespace ll::app
