// English texts of the main window: the captions in kCaptionControls order, then the
// status and error texts of message slots 0..16. UTF-8; leading and trailing blanks belong to
// the texts.
#include "app/Languages.h"
#include "device/EnglishMessages.h"

namespace ll::app {

extern const LanguageTexts kEnglishTexts;
const LanguageTexts kEnglishTexts{
    '1',
    {{
        "Open file",  // bbOpen
        "Write",  // bbUpload
        "Cancel",  // Button1
        "Read",  // Button2
        "Open",  // Button3
        "Language",  // RadioGroup1
        "Port",  // GroupBox1
        "Program version",  // GroupBox2
        "Command",  // GroupBox3
        "Programming",  // TabSheet1
        "Operation parameters",  // TabSheet2
        "(1) System service ",  // GroupBox5
        "Sound off",  // RadioButton4
        "Sound on",  // RadioButton5
        "(2) Automatic arming ",  // GroupBox6
        "Off ",  // RadioButton6
        "30 seconds",  // RadioButton7
        "(3) Locking ",  // GroupBox7
        "Off",  // RadioButton8
        "7 seconds",  // RadioButton9
        " Operating mode ",  // GroupBox17
        "FI",  // RadioButton22
        "FA",  // RadioButton23
        "(4) FI mode ",  // GroupBox8
        "Off",  // RadioButton10
        "On",  // RadioButton11
        "(5) FI delay ",  // GroupBox10
        "30sec(authorisation 1xPA)",  // RadioButton12
        "90sec(authorisation PIN)",  // RadioButton13
        "(6) Channel I ",  // GroupBox11
        "Off",  // RadioButton14
        "GPSinfo",  // RadioButton15
        "(7) Smart KEY ",  // GroupBox12
        "Off",  // RadioButton16
        "On",  // RadioButton17
        "(8) Closing windows ",  // GroupBox14
        "Off",  // RadioButton20
        "On",  // RadioButton21
        "(9) Channel II ",  // GroupBox13
        "Horn",  // RadioButton18
        "Trunk button",  // RadioButton19
        "(10) Emergency lighting ",  // GroupBox16
        "FS1 (alarm sequence)",  // CheckBox2
        "FS2 (arming/disarming)",  // CheckBox1
        "FS3 (const. during alarm)",  // CheckBox3
        " Commands ",  // GroupBox4
        "Reading",  // BitBtn2
        "Saving",  // BitBtn1
        "Reading",  // BitBtn4
        "Saving",  // BitBtn3
        " PIN code ",  // GroupBox9
        "CAN program ",  // GroupBox15
        "CAN program ",  // GroupBox19
        "CAN program list",  // GroupBox18
    }},
    // The same texts the headless hosts use.
    ll::device::kEnglishMessages,
};

}  // namespace ll::app
