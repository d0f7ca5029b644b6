// SPDX-License-Identifier: GPL-3.0-or-later
// German texts of the main window: the captions in kCaptionControls order, then the
// status and error texts of message slots 0..16. UTF-8; leading and trailing blanks belong to
// the texts.
#include "app/Languages.h"

namespace ll::app {

extern const LanguageTexts kGermanTexts;
const LanguageTexts kGermanTexts{
    '2',
    {{
        "Datei öffnen",  // bbOpen
        "Speichern",  // bbUpload
        "Verwerfen",  // Button1
        "Lesen",  // Button2
        "Open",  // Button3
        "Sprache",  // RadioGroup1
        "Port",  // GroupBox1
        "Programversion",  // GroupBox2
        "Befehle",  // GroupBox3
        "Programmierung",  // TabSheet1
        "Betriebsparameter",  // TabSheet2
        "(1) Systembedienung ",  // GroupBox5
        "Stumm",  // RadioButton4
        "Ton",  // RadioButton5
        "(2) Automatische Ladung ",  // GroupBox6
        "Keine",  // RadioButton6
        "30 Sekunden",  // RadioButton7
        "(3) Verriegelung ",  // GroupBox7
        "Keine",  // RadioButton8
        "7 Sekunden",  // RadioButton9
        " Betriebsmodus ",  // GroupBox17
        "FI",  // RadioButton22
        "FA",  // RadioButton23
        "(4) FI-Modus ",  // GroupBox8
        "Aus",  // RadioButton10
        "Ein",  // RadioButton11
        "(5) FI-Zeitverzug ",  // GroupBox10
        "30 Sek(Autorisierung 1xPA)",  // RadioButton12
        "90 Sek(Autorisierung PIN)",  // RadioButton13
        "(6) Kanal I ",  // GroupBox11
        "Nein",  // RadioButton14
        "GPS-Info",  // RadioButton15
        "(7) Smart KEY ",  // GroupBox12
        "Aus",  // RadioButton16
        "Ein",  // RadioButton17
        "(8) Fenster schließen ",  // GroupBox14
        "Nein",  // RadioButton20
        "Ja",  // RadioButton21
        "(9) Kanal II ",  // GroupBox13
        "Signalhorn",  // RadioButton18
        "BAG-Knopf",  // RadioButton19
        "(10) Notbeleuchtung ",  // GroupBox16
        "FS1 (Alarmsequenz)",  // CheckBox2
        "FS2 (Ladungs/Enlatungssequenz) ",  // CheckBox1
        "FS3 (fest bei Alarm)",  // CheckBox3
        " Befehle ",  // GroupBox4
        "Lesen",  // BitBtn2
        "Speichern",  // BitBtn1
        "Lesen",  // BitBtn4
        "Speichern",  // BitBtn3
        " PIN-Kode ",  // GroupBox9
        "CAN-Program ",  // GroupBox15
        "CAN-Program ",  // GroupBox19
        "CAN program list",  // GroupBox18
    }},
    {{
        "Verworfen",  // MsgCancelled
        "Kein Bootloader",  // MsgNoBootloader
        "Fehler Datei Lesen",  // MsgFileReadError
        "OK",  // MsgOk
        "Fehler Port Öffnen",  // MsgPortOpenError
        "Fehler Kommunikation",  // MsgCommError
        "Suchen...",  // MsgSearching
        "FLASH-Speicherung...",  // MsgFlashWriting
        "Fehler FLASH-Speicherung",  // MsgFlashWriteError
        "Keine FLASH-Daten",  // MsgNoFlashData
        "EEPROM-Speicherung...",  // MsgEepromWriting
        "Fehler EEPROM-Speicherung",  // MsgEepromWriteError
        "Keine EEPROM-Daten",  // MsgNoEepromData
        "Fertig",  // MsgDone
        "Keine Datei gewählt",  // MsgNoFileSelected
        "Programversion",  // MsgProgramVersion
        "Reading EEPROM...",  // MsgEepromReading
    }},
};

}  // namespace ll::app
