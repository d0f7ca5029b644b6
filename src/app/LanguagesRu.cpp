// SPDX-License-Identifier: GPL-3.0-or-later
// Russian texts of the main window: the captions in kCaptionControls order, then the
// status and error texts of message slots 0..16. UTF-8; leading and trailing blanks belong to
// the texts.
#include "app/Languages.h"

namespace ll::app {

extern const LanguageTexts kRussianTexts;
const LanguageTexts kRussianTexts{
    '3',
    {{
        "Открыть файл",  // bbOpen
        "Записать",  // bbUpload
        "Отмена",  // Button1
        "Читать",  // Button2
        "Open",  // Button3
        "Язык",  // RadioGroup1
        "Port",  // GroupBox1
        "Версия ПО",  // GroupBox2
        "Команды",  // GroupBox3
        "Программирование",  // TabSheet1
        "Рабочие параметры",  // TabSheet2
        "(1) Обслуживание системы ",  // GroupBox5
        "Тихо",  // RadioButton4
        "Громко",  // RadioButton5
        "(2) Автопостановка ",  // GroupBox6
        "Нет",  // RadioButton6
        "30 секунд",  // RadioButton7
        "(3) Запирание замка ",  // GroupBox7
        "Нет",  // RadioButton8
        "7сек(2500RPM)",  // RadioButton9
        " Режим работы ",  // GroupBox17
        "FI",  // RadioButton22
        "FA",  // RadioButton23
        "(4) Функция FI ",  // GroupBox8
        "Нет",  // RadioButton10
        "Есть",  // RadioButton11
        "(5) Задержка FI ",  // GroupBox10
        "30сек(авторизация 1xPA)",  // RadioButton12
        "90сек(авторизация PIN)",  // RadioButton13
        "(6) Канал I ",  // GroupBox11
        "Нет",  // RadioButton14
        "GPS-инфо",  // RadioButton15
        "(7) Smart KEY ",  // GroupBox12
        "Нет",  // RadioButton16
        "Есть",  // RadioButton17
        "(8) Закрытие окон ",  // GroupBox14
        "Нет",  // RadioButton20
        "Есть",  // RadioButton21
        "(9) Канал II ",  // GroupBox13
        "Клаксон",  // RadioButton18
        "Кнопка BAG",  // RadioButton19
        "(10) Аварийные огни ",  // GroupBox16
        "FS1 (серия при тревоге)",  // CheckBox2
        "FS2 (охрана/снятие)",  // CheckBox1
        "FS3 (пост. при тревоге)",  // CheckBox3
        " Команды ",  // GroupBox4
        "Чтение",  // BitBtn2
        "Запись",  // BitBtn1
        "Чтение",  // BitBtn4
        "Запись",  // BitBtn3
        " PIN-код ",  // GroupBox9
        "Программа CAN ",  // GroupBox15
        "Программа CAN ",  // GroupBox19
        "CAN program list",  // GroupBox18
    }},
    {{
        "Отменено",  // MsgCancelled
        "Загрузчик не отвечает",  // MsgNoBootloader
        "Ошибка чтения файла",  // MsgFileReadError
        "OK",  // MsgOk
        "Ошибка открытия порта",  // MsgPortOpenError
        "Ошибка передачи данных",  // MsgCommError
        "Ожидание загрузчика...",  // MsgSearching
        "Запись FLASH...",  // MsgFlashWriting
        "Ошибка записи FLASH",  // MsgFlashWriteError
        "Нет кода для записи",  // MsgNoFlashData
        "Запись EEPROM...",  // MsgEepromWriting
        "Ошибка записи EEPROM",  // MsgEepromWriteError
        "Нет данных EEPROM для записи",  // MsgNoEepromData
        "Готово",  // MsgDone
        "Файл не выбран",  // MsgNoFileSelected
        "Версия программы",  // MsgProgramVersion
        "Reading EEPROM...",  // MsgEepromReading
    }},
};

}  // namespace ll::app
