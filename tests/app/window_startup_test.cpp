// SPDX-License-Identifier: GPL-3.0-or-later
// The main window right after start-up, its fixed frame, the hidden developer strip, the file
// choice and the error report.

#include <QAccessible>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QDialog>
#include <QDialogButtonBox>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "app/PortPrompt.h"
#include "serial/LinuxPortNumbering.h"

#include "WindowFixture.h"

namespace {

using ll::device::Switch;
using ll::test::WindowTest;

TEST_F(WindowTest, StartsWithEnglishCaptionsBrandFiveAndDesignStates) {
  auto& w = win();
  EXPECT_EQ(w.bbOpen->text(), "Open file");
  EXPECT_EQ(w.Button3->text(), "Open");
  EXPECT_EQ(w.windowTitle(), "LINK LOADER");
  EXPECT_EQ(ll::app::ApplicationTitle(), "LINK LOADER");
  EXPECT_EQ(app().State().LanguageCode, '1');
  EXPECT_EQ(app().Message(ll::device::MsgCancelled), "Cancel");
  EXPECT_TRUE(app().State().MessageTable[ll::device::MsgBrandWebAddress].empty());
  EXPECT_EQ(w.PageControl1->currentIndex(), 0);
  EXPECT_TRUE(w.lang2->isChecked());
  EXPECT_TRUE(w.lang9->isChecked());
  EXPECT_FALSE(w.lang4->isChecked());
  EXPECT_EQ(w.logo1->currentIndex(), 1);
  EXPECT_EQ(w.logo1->currentText(), "NS");

  // Buttons that wait for a file or a configuration read.
  const QWidget* const waiting[] = {w.bbUpload, w.Button3, w.BitBtn1, w.BitBtn3};
  for (const QWidget* off : waiting)
    EXPECT_FALSE(off->isEnabled()) << off->objectName().toStdString();
  const QWidget* const ready[] = {w.bbOpen, w.Button1, w.Button2, w.BitBtn2, w.BitBtn4};
  for (const QWidget* on : ready) EXPECT_TRUE(on->isEnabled()) << on->objectName().toStdString();

  ASSERT_EQ(w.cbPort->count(), 12);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(w.cbPort->itemText(i), QString("COM%1").arg(i + 1));
  EXPECT_EQ(w.cbPort->currentText(), "COM1");
  EXPECT_FALSE(w.cbPort->isEditable());

  // Configuration page at its design defaults.
  for (QRadioButton* first : {w.RadioButton4, w.RadioButton6, w.RadioButton8, w.RadioButton22,
                              w.RadioButton10, w.RadioButton12, w.RadioButton14, w.RadioButton16,
                              w.RadioButton20, w.RadioButton18})
    EXPECT_TRUE(first->isChecked()) << first->objectName().toStdString();
  for (QCheckBox* fs : {w.CheckBox1, w.CheckBox2, w.CheckBox3})
    EXPECT_FALSE(fs->isChecked()) << fs->objectName().toStdString();
  EXPECT_EQ(w.MaskEdit1->text(), "11");
  EXPECT_EQ(w.MaskEdit2->text(), "11");
  EXPECT_EQ(w.PIN->DisplayedText(), "2222");
  EXPECT_EQ(app().State().CanProgramNumber, 11);
  EXPECT_TRUE(w.meLog->toPlainText().isEmpty());
  EXPECT_TRUE(w.Edit2->text().isEmpty());
  EXPECT_TRUE(w.Edit3->text().isEmpty());
  EXPECT_EQ(w.Edit1->text(), "Edit1");
  EXPECT_EQ(w.ProgressBar->Position(), 0);
  EXPECT_EQ(w.ProgressBar1->Position(), 0);

  // Developer switches: the first three on.
  for (Switch on : {Switch::DecodeON, Switch::EEPROM, Switch::All_memory})
    EXPECT_TRUE(w.IsChecked(on)) << static_cast<int>(on);
  for (Switch off : {Switch::DeviceID, Switch::PICencoding, Switch::Flash_size})
    EXPECT_FALSE(w.IsChecked(off)) << static_cast<int>(off);

  // Non-visual parts.
  EXPECT_FALSE(w.TimeoutTicker.isActive());
  EXPECT_EQ(w.TimeoutTicker.interval(), 50);
  EXPECT_FALSE(w.ComPort.Open());
  EXPECT_EQ(w.ComPort.Baud(), 9600);
  EXPECT_EQ(w.odOpen.Filter, "Plik HEX (*.hex)|*.hex");
  EXPECT_EQ(w.odOpen.DefaultExt, "*.hex");
  ASSERT_NE(w.Form1(), nullptr);
  EXPECT_FALSE(w.Form1()->isVisible());
  EXPECT_EQ(w.Form1()->windowTitle(), "Pomoc");
}

TEST_F(WindowTest, LayoutFollowsTheDesignGeometry) {
  auto& w = win();
  struct Row {
    const char* name;
    QRect geometry;
  };
  const Row rows[] = {
      {"meLog", {4, 8, 194, 89}},         {"GroupBox3", {204, 3, 105, 154}},
      {"bbOpen", {10, 22, 85, 25}},       {"bbUpload", {10, 76, 85, 25}},
      {"Button1", {10, 116, 85, 25}},     {"GroupBox1", {4, 100, 81, 56}},
      {"GroupBox2", {88, 100, 112, 57}},  {"Button2", {12, 22, 85, 25}},
      {"Edit2", {3, 162, 305, 19}},       {"ProgressBar", {3, 188, 305, 21}},
      {"GroupBox19", {3, 215, 305, 99}},  {"MaskEdit2", {17, 36, 33, 32}},
      {"SpinButton2", {56, 36, 20, 32}},  {"BitBtn4", {100, 23, 65, 29}},
      {"BitBtn3", {100, 58, 65, 29}},     {"GroupBox18", {313, 3, 134, 154}},
      {"Button3", {24, 22, 81, 25}},      {"RadioGroup1", {314, 163, 80, 151}},
      {"lang2", {324, 181, 41, 17}},      {"lang7", {324, 280, 41, 17}},
      {"GroupBox10", {0, 240, 169, 73}},  {"GroupBox16", {176, 192, 169, 73}},
      {"Edit3", {176, 272, 273, 19}},     {"ProgressBar1", {176, 296, 273, 17}},
      {"GroupBox4", {352, 0, 97, 113}},   {"GroupBox9", {352, 120, 97, 65}},
      {"PIN", {22, 20, 50, 32}},          {"MaskEdit1", {20, 24, 33, 32}},
      {"SpinButton1", {56, 24, 20, 32}},  {"Panel1", {0, 0, 657, 601}},
      {"PageControl1", {0, 0, 460, 361}}, {"Memo1", {0, 464, 289, 128}},
  };
  for (const Row& r : rows) {
    QWidget* c = app().Find(r.name);
    ASSERT_NE(c, nullptr) << r.name;
    EXPECT_EQ(c->geometry(), r.geometry) << r.name;
  }
  // The six language buttons are siblings on the programming page, top to bottom EN PL DE CZ SK HU.
  QStringList order;
  QList<QRadioButton*> langs = {w.lang1, w.lang2, w.lang3, w.lang5, w.lang6, w.lang7};
  std::sort(langs.begin(), langs.end(), [](auto* a, auto* b) { return a->y() < b->y(); });
  for (auto* b : langs) {
    EXPECT_EQ(b->parentWidget(), w.TabSheet1);
    order << b->text();
  }
  EXPECT_EQ(order.join(' '), "EN PL DE CZ SK HU");
  for (int tab : {0, 1}) EXPECT_EQ(w.PageControl1->tabBar()->tabRect(tab).width(), 226) << tab;
}

TEST_F(WindowTest, EveryControlOfBothPagesLiesInsideTheClientArea) {
  auto& w = win();
  for (int page = 0; page < 2; ++page) {
    app().SelectPage(page);
    QWidget* sheet = w.PageControl1->widget(page);
    for (QWidget* c : sheet->findChildren<QWidget*>()) {
      if (c->objectName().isEmpty() || c->objectName().startsWith("qt_") || !c->isVisibleTo(&w))
        continue;
      const QRect onWindow(c->mapTo(&w, QPoint(0, 0)), c->size());
      EXPECT_TRUE(w.rect().contains(onWindow))
          << c->objectName().toStdString() << " at " << onWindow.x() << "," << onWindow.y() << " "
          << onWindow.width() << "x" << onWindow.height();
    }
  }
}

TEST_F(WindowTest, WindowCannotBeResizedOrMaximised) {
  auto& w = win();
  EXPECT_EQ(w.size(), QSize(457, 344));
  EXPECT_EQ(w.minimumSize(), QSize(457, 344));
  EXPECT_EQ(w.maximumSize(), QSize(457, 344));
  EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
  w.resize(800, 600);
  QCoreApplication::processEvents();
  EXPECT_EQ(w.size(), QSize(457, 344));
  w.showMaximized();
  app().WaitFor([&] { return !w.isMaximized(); }, std::chrono::seconds(10));
  EXPECT_FALSE(w.isMaximized());
  EXPECT_EQ(w.size(), QSize(457, 344));
}

TEST_F(WindowTest, DeveloperStripIsNeitherVisibleNorReachable) {
  auto& w = win();
  const QRect client = w.rect();
  const QList<QWidget*> strip = app().StripControls();
  for (const QWidget* c : strip) {
    const QRect onWindow(c->mapTo(&w, QPoint(0, 0)), c->size());
    const bool shown = c->isVisibleTo(&w) && onWindow.intersects(client);
    EXPECT_FALSE(shown) << c->objectName().toStdString() << " can be seen";
  }
  // Every point of the client area belongs to something other than the strip.
  for (int y = 0; y < client.height(); y += 4)
    for (int x = 0; x < client.width(); x += 4) {
      QWidget* hit = w.childAt(x, y);
      for (const QWidget* c : strip)
        ASSERT_FALSE(hit && (hit == c || c->isAncestorOf(hit)))
            << c->objectName().toStdString() << " reachable at " << x << "," << y;
    }
}

TEST_F(WindowTest, EveryControlIsNamedForAssistiveTechnology) {
  auto& w = win();
  int checked = 0;
  for (QWidget* c : w.findChildren<QWidget*>()) {
    if (c->objectName().isEmpty() || c->objectName().startsWith("qt_")) continue;
    if (qobject_cast<QTabBar*>(c->parentWidget())) continue;  // the tab row's own scroll arrows
    EXPECT_EQ(c->accessibleDescription().toStdString(), c->objectName().toStdString());
    EXPECT_FALSE(c->accessibleName().trimmed().isEmpty()) << c->objectName().toStdString();
    ++checked;
  }
  // Both pages, the language buttons, the logos and the developer strip.
  EXPECT_GE(checked, 100);
  EXPECT_EQ(w.bbOpen->accessibleName(), "Open file");
  EXPECT_EQ(w.GroupBox3->accessibleName(), "Command");
  EXPECT_EQ(w.meLog->accessibleName(), "Log");
  EXPECT_EQ(w.cbPort->accessibleName(), "Serial port");
  // The accessible name follows the language.
  app().Click("lang1");
  EXPECT_EQ(w.bbOpen->accessibleName(), "Otwórz plik");
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w.bbOpen);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->text(QAccessible::Name), "Otwórz plik");
}

// What a screen reader is offered matches what a person sees: the strip's controls (and what
// they hold, a memo's scroll bar) are neither showing nor actionable, yet keep their names; the
// visible language buttons are showing and can be pressed.
TEST_F(WindowTest, AssistiveTechnologyIsNotOfferedTheStrip) {
  auto& w = win();
  QList<QWidget*> hidden = app().StripControls();
  hidden << w.Memo1->verticalScrollBar();
  for (const QWidget* c : hidden) {
    SCOPED_TRACE(c->objectName().toStdString());
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(const_cast<QWidget*>(c));
    ASSERT_NE(iface, nullptr);
    EXPECT_TRUE(iface->state().invisible);
    EXPECT_TRUE(iface->state().offscreen);
    EXPECT_FALSE(iface->state().focusable);
    if (QAccessibleActionInterface* actions = iface->actionInterface()) {
      EXPECT_TRUE(actions->actionNames().isEmpty());
    }
    if (!c->accessibleName().isEmpty()) {
      EXPECT_EQ(iface->text(QAccessible::Name), c->accessibleName());
    }
  }
  // "Toggle" on RU, asked for anyway, leaves the language alone.
  QAccessibleInterface* ru = QAccessible::queryAccessibleInterface(w.lang4);
  ASSERT_NE(ru->actionInterface(), nullptr);
  ru->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  ru->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  QCoreApplication::processEvents();
  EXPECT_FALSE(w.lang4->isChecked());
  EXPECT_EQ(w.state.LanguageCode, '1');
  EXPECT_EQ(ru->text(QAccessible::Name), "RU");

  QAccessibleInterface* de = QAccessible::queryAccessibleInterface(w.lang3);
  ASSERT_NE(de, nullptr);
  EXPECT_FALSE(de->state().invisible);
  EXPECT_FALSE(de->state().offscreen);
  EXPECT_EQ(de->text(QAccessible::Name), w.lang3->accessibleName());
  ASSERT_NE(de->actionInterface(), nullptr);
  EXPECT_FALSE(de->actionInterface()->actionNames().isEmpty());
  de->actionInterface()->doAction(QAccessibleActionInterface::pressAction());  // an animated click
  EXPECT_TRUE(app().WaitFor([&] { return w.state.LanguageCode == '2'; }));
}

// A screen reader announces a top-level window by its accessible name; a fixed name would hide
// the title ("LINK LOADER", "CAN program list") that a sighted user reads.
TEST_F(WindowTest, TopLevelWindowsAreAnnouncedByTheirTitles) {
  QWidget* windows[] = {&win(), win().Form1()};
  for (QWidget* window : windows) {
    ASSERT_NE(window, nullptr);
    window->setWindowTitle(window->windowTitle() + " now");  // the name follows a title change
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(window);
    ASSERT_NE(iface, nullptr);
    EXPECT_FALSE(window->windowTitle().isEmpty());
    EXPECT_EQ(iface->text(QAccessible::Name), window->windowTitle())
        << window->objectName().toStdString();
  }
}

// The list's texts stay "COM1".."COM12"; each item tells which device it means, looked up again
// when the list opens (the adapter below is plugged in after the window came up).
TEST_F(WindowTest, PortItemsTellTheirDevices) {
  namespace fs = std::filesystem;
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  auto write = [](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  };
  write(root / "sys/class/tty/ttyS0/type", "4");
  write(root / "sys/class/tty/ttyS1/type", "0");
  write(root / "sys/class/tty/ttyS14/type", "4");  // above COM12: listed while it is there
  write(root / "sys/class/tty/ttyS40/type", "0");
  const std::string savedConfigHome = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
  ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  // A damaged remembered-ports file: set aside, and said once in the log.
  write(root / "config/LinkLoader/ports.json", "{\"ports\": ");
  ::setenv("LINKLOADER_COM2", "/dev/null", 1);
  ::setenv("LINKLOADER_COM27", "/dev/zero", 1);
  ::setenv("LINKLOADER_COM30", (root / "nothing").c_str(), 1);
  ll::serial::SetPortSystemRoot(root.string());

  const fs::path usb = root / "sys/devices/usb1/1-1";
  write(usb / "idVendor", "0403");
  write(usb / "manufacturer", "FTDI");
  write(usb / "product", "FT232R USB UART");
  fs::create_directories(usb / "1-1:1.0/ttyUSB0");
  fs::create_directories(root / "sys/class/tty/ttyUSB0");
  fs::create_symlink("../../../devices/usb1/1-1/1-1:1.0/ttyUSB0",
                     root / "sys/class/tty/ttyUSB0/device");

  QComboBox* list = win().cbPort;
  QTest::mouseClick(list, Qt::LeftButton);
  list->hidePopup();
  const struct {
    int index;
    QString description;
  } rows[] = {
      {0, "COM1: /dev/ttyS0 (16550A UART)"},
      {1, "COM2: /dev/null"},
      {2, "COM3: /dev/ttyUSB0 (FTDI FT232R USB UART)"},
      {4, "COM5: no port"},
      {11, "COM12: no port"},
      {12, "COM15: /dev/ttyS14 (16550A UART)"},
      {13, "COM27: /dev/zero"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(list->itemText(row.index), row.description.section(':', 0, 0));
    EXPECT_EQ(list->itemData(row.index, Qt::ToolTipRole).toString(), row.description);
    EXPECT_EQ(list->itemData(row.index, Qt::AccessibleDescriptionRole).toString(),
              row.description);
  }
  EXPECT_EQ(list->count(), 14);
  EXPECT_EQ(list->currentIndex(), 0);
  EXPECT_EQ(list->toolTip(), "COM1: /dev/ttyS0 (16550A UART)");
  // Chosen, an item above COM12 is its own number, and stays chosen while it is away.
  list->setCurrentIndex(13);
  EXPECT_EQ(win().PortIndex(), 26);
  ::unsetenv("LINKLOADER_COM27");
  QTest::mouseClick(list, Qt::LeftButton);
  list->hidePopup();
  EXPECT_EQ(list->currentText(), "COM27");
  EXPECT_EQ(win().PortIndex(), 26);
  list->setCurrentIndex(0);
  const std::string file = (root / "config/LinkLoader/ports.json").string();
  EXPECT_EQ(app().LogLines(),
            QStringList{QString::fromStdString("The remembered COM numbers in " + file +
                                               " could not be read; the file was kept as " +
                                               file + ".damaged; USB adapters are numbered afresh")});

  ll::serial::SetPortSystemRoot("");
  ::unsetenv("LINKLOADER_COM2");
  ::unsetenv("LINKLOADER_COM30");
  ::setenv("XDG_CONFIG_HOME", savedConfigHome.c_str(), 1);
}

TEST_F(WindowTest, OpenFileUsesTheFilterOfTheDecodeSwitchAndRecordsTheChoice) {
  auto& w = win();
  QTemporaryDir dir;
  const QString path = dir.filePath("module-v2.hexfw");
  w.meLog->appendPlainText("old line");

  app().SetFileDialogResult({});  // Cancel
  app().Click("bbOpen");
  EXPECT_EQ(app().LastDialogFilter(), "Plik HEXFW (*.hexfw)|*.hexfw");
  EXPECT_EQ(app().LastDialogDefaultExt(), "*.hexfw");
  EXPECT_FALSE(w.bbUpload->isEnabled());
  EXPECT_TRUE(app().State().SelectedFileName.empty());
  EXPECT_EQ(app().LogLines(), QStringList{"old line"});

  app().ChooseFile(path);
  EXPECT_EQ(app().State().SelectedFileName, path.toStdString());
  EXPECT_TRUE(w.bbUpload->isEnabled());
  EXPECT_TRUE(w.Button3->isEnabled());
  EXPECT_TRUE(app().LogLines().isEmpty());
  EXPECT_EQ(app().Edit2(), "module-v2.hexfw");

  // A later Cancel keeps the earlier choice.
  app().SetSwitch(Switch::DecodeON, false);
  app().SetFileDialogResult({});
  app().Click("bbOpen");
  EXPECT_EQ(app().LastDialogFilter(), "Plik HEX (*.hex)|*.hex");
  EXPECT_EQ(app().LastDialogDefaultExt(), "*.hex");
  EXPECT_EQ(app().State().SelectedFileName, path.toStdString());
  EXPECT_EQ(app().Edit2(), "module-v2.hexfw");
}

TEST(FileOpenDialogFilter, TurnsDescriptionPatternPairsIntoNameFilters) {
  using ll::app::FileOpenDialog;
  EXPECT_EQ(FileOpenDialog::QtFilter("Plik HEX (*.hex)|*.hex"), "Plik HEX (*.hex)");
  EXPECT_EQ(FileOpenDialog::QtFilter("Firmware|*.hexfw|All (*)|*"), "Firmware (*.hexfw);;All (*)");
  EXPECT_EQ(FileOpenDialog::QtFilter(""), "");
}

TEST_F(WindowTest, AnExceptionFromAHandlerReachesTheErrorReportAndTheProgramGoesOn) {
  app().SetFileDialogHook([](const QString&, const QString&) -> QString {
    throw std::runtime_error("dialog exploded");
  });
  app().Click("bbOpen");
  ASSERT_EQ(app().ErrorReports().size(), 1u);
  EXPECT_EQ(app().ErrorReports()[0], "dialog exploded");
  // Still usable.
  app().Click("lang1");
  EXPECT_EQ(win().bbOpen->text(), "Otwórz plik");
}

TEST_F(WindowTest, HostFieldsAndLogReceiveTheTextsOfTheOperations) {
  auto& w = win();
  w.Log("Waiting for bootloader...");
  w.Log("Zażółć");
  EXPECT_EQ(app().LogLines(), (QStringList{"Waiting for bootloader...", "Zażółć"}));
  w.SetText(ll::device::Field::Edit1, "Opening port Com3");
  w.SetText(ll::device::Field::Edit3, "OK");
  EXPECT_EQ(app().Edit1(), "Opening port Com3");
  EXPECT_EQ(app().Edit3(), "OK");
  w.Memo1Add("0000: FF FF");
  w.ClearLog();
  EXPECT_TRUE(app().LogLines().isEmpty());
  w.ClearClick();  // the hidden "Clear" empties the listing memo only
  EXPECT_TRUE(app().Memo1Lines().isEmpty());
  w.Log("kept");
  w.ClearClick();
  EXPECT_EQ(app().LogLines(), QStringList{"kept"});
  w.cbPort->setCurrentIndex(4);
  EXPECT_EQ(w.PortIndex(), 4);
  app().SetSwitch(Switch::PICencoding, true);
  EXPECT_TRUE(w.IsChecked(Switch::PICencoding));
  w.SetConfigWriteEnabled(true);
  EXPECT_TRUE(w.BitBtn1->isEnabled());
  EXPECT_TRUE(w.BitBtn3->isEnabled());
  w.SetConfigWriteEnabled(false);
  EXPECT_FALSE(w.BitBtn1->isEnabled());
  EXPECT_FALSE(w.BitBtn3->isEnabled());
}

TEST(SelectPortDialog, OffersThePresentPortsAndReturnsTheChosenNumber) {
  ::setenv("LINKLOADER_COM2", "/dev/null", 1);  // a character device that always exists
  ::setenv("LINKLOADER_COM7", "/dev/null", 1);
  ::setenv("LINKLOADER_COM5", "/nonexistent/tty", 1);
  const std::vector<std::uint16_t> ports = ll::app::PresentPorts();
  EXPECT_NE(std::find(ports.begin(), ports.end(), 2), ports.end());
  EXPECT_NE(std::find(ports.begin(), ports.end(), 7), ports.end());
  EXPECT_EQ(std::find(ports.begin(), ports.end(), 5), ports.end());
  EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end()));

  // Answer the modal dialog as a user would: pick the entry of COM7, then OK.
  QStringList labels;
  QString title;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    title = dialog->windowTitle();
    for (QLabel* l : dialog->findChildren<QLabel*>()) labels << l->text();
    auto* list = dialog->findChild<QComboBox*>("PortList");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->currentIndex(), 0);
    list->setCurrentIndex(list->findText("COM7"));
    auto* box = dialog->findChild<QDialogButtonBox*>();
    QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
  });
  EXPECT_EQ(ll::app::PromptForPortNumber(nullptr), 7);
  EXPECT_EQ(title, "Select Port");
  EXPECT_EQ(labels, (QStringList{"The configured serial port is not valid.",
                                 "Please choose another port."}));

  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
  });
  EXPECT_EQ(ll::app::PromptForPortNumber(nullptr), 0);
  for (const char* v : {"LINKLOADER_COM2", "LINKLOADER_COM7", "LINKLOADER_COM5"}) ::unsetenv(v);
}

}  // namespace
