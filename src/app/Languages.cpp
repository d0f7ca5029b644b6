// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Languages.h"

namespace ll::app {

extern const LanguageTexts kPolishTexts;
extern const LanguageTexts kEnglishTexts;
extern const LanguageTexts kGermanTexts;
extern const LanguageTexts kRussianTexts;
extern const LanguageTexts kSlovakTexts;
extern const LanguageTexts kCzechTexts;
extern const LanguageTexts kHungarianTexts;

const std::array<const char*, kCaptionCount> kCaptionControls{{
    "bbOpen",        "bbUpload",      "Button1",       "Button2",       "Button3",
    "RadioGroup1",   "GroupBox1",     "GroupBox2",     "GroupBox3",     "TabSheet1",
    "TabSheet2",     "GroupBox5",     "RadioButton4",  "RadioButton5",  "GroupBox6",
    "RadioButton6",  "RadioButton7",  "GroupBox7",     "RadioButton8",  "RadioButton9",
    "GroupBox17",    "RadioButton22", "RadioButton23", "GroupBox8",     "RadioButton10",
    "RadioButton11", "GroupBox10",    "RadioButton12", "RadioButton13", "GroupBox11",
    "RadioButton14", "RadioButton15", "GroupBox12",    "RadioButton16", "RadioButton17",
    "GroupBox14",    "RadioButton20", "RadioButton21", "GroupBox13",    "RadioButton18",
    "RadioButton19", "GroupBox16",    "CheckBox2",     "CheckBox1",     "CheckBox3",
    "GroupBox4",     "BitBtn2",       "BitBtn1",       "BitBtn4",       "BitBtn3",
    "GroupBox9",     "GroupBox15",    "GroupBox19",    "GroupBox18",
}};

const LanguageTexts* LanguageTextsFor(char code) {
  switch (code) {
    case '0': return &kPolishTexts;
    case '1': return &kEnglishTexts;
    case '2': return &kGermanTexts;
    case '3': return &kRussianTexts;
    case '4': return &kSlovakTexts;
    case '5': return &kCzechTexts;
    case '6': return &kHungarianTexts;
    default: return nullptr;
  }
}

}  // namespace ll::app
