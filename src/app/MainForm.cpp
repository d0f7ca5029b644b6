// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MainForm.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QWindow>
#include <QShowEvent>
#include <algorithm>
#include <chrono>
#include <thread>

#include "app/Application.h"
#include "app/Art.h"
#include "app/Brands.h"
#include "app/CaptionFit.h"
#include "app/Languages.h"
#include "app/PortList.h"
#include "app/PortPrompt.h"
#include "device/Link.h"
#include "firmware/Cp1250.h"
#include "firmware/ProgramList.h"

namespace ll::app {

using ll::device::Bar;
using ll::device::Field;
using ll::device::Switch;

namespace {

constexpr int kNumberFieldPixelSize = 19;  // program-number and PIN fields
const QColor kActiveBorderColour(180, 180, 180);
const QColor kSilver(192, 192, 192);
const QColor kScrollBarColour(200, 200, 200);

QFont NumberFieldFont() {
  QFont f;
  f.setFamilies({"Trebuchet MS", "Nimbus Sans", "Liberation Sans", "DejaVu Sans", "Sans Serif"});
  f.setBold(true);
  f.setPixelSize(kNumberFieldPixelSize);
  return f;
}

template <typename W>
W* Place(W* w, const char* name, const QRect& geometry, const QString& accessibleName = {}) {
  w->setObjectName(name);
  w->setAccessibleDescription(name);
  if (!accessibleName.isEmpty()) w->setAccessibleName(accessibleName);
  w->setGeometry(geometry);
  return w;
}

void ColourField(QLineEdit* edit, const QColor& base, const QColor& text) {
  QPalette pal = edit->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    pal.setColor(group, QPalette::Base, base);
    pal.setColor(group, QPalette::Text, text);
  }
  edit->setPalette(pal);
}

// The design's default sizes for controls the layout gives only a position for.
constexpr int kCheckWidth = 97;
constexpr int kCheckHeight = 17;
constexpr int kOptionBoxWidth = 169;
constexpr int kOptionBoxHeight = 41;

}  // namespace

// ---- FileOpenDialog -------------------------------------------------------------------------

QString FileOpenDialog::QtFilter(const QString& filter) {
  const QStringList parts = filter.split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& description = parts[i];
    const QString& pattern = parts[i + 1];
    filters << (description.contains(u'(') ? description
                                            : description + " (" + pattern + ")");
  }
  return filters.join(";;");
}

QString FileOpenDialog::Execute(QWidget* parent) const {
  if (hook) return hook(Filter, DefaultExt);
  QFileDialog dialog(parent);
  dialog.setObjectName("odOpen");
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(QtFilter(Filter));
  QString suffix = DefaultExt;
  if (suffix.startsWith("*.")) suffix = suffix.mid(2);
  dialog.setDefaultSuffix(suffix);
  if (!Directory.isEmpty()) dialog.setDirectory(Directory);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

// ---- Construction ---------------------------------------------------------------------------

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) {
  // The state as the program loads: Polish texts and brand variant 0's address, until FormCreate.
  state.LanguageCode = '0';
  const LanguageTexts* polish = LanguageTextsFor('0');
  for (int i = 0; i < kLanguageMessageSlots; ++i) state.MessageTable[i] = polish->messages[i];
  state.MessageTable[ll::device::MsgBrandWebAddress] = BrandVariantFor('0')->webAddress;

  setObjectName("frmMain");
  setAccessibleDescription("frmMain");
  setWindowTitle("Velmaro - Bootloader");
  setWindowIcon(WindowIcon());
  // The scale of the screen the window opens on (the desktop's setting, QT_SCALE_FACTOR, the
  // system's DPI) decides the face.
  setFont(WindowFont(devicePixelRatioF()));
  // Single fixed border: minimise and the system menu only, no maximise, no resizing.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(kClientWidth, kClientHeight);

  Panel1 = Place(new QFrame(this), "Panel1", QRect(0, 0, 657, 601), "Main panel");
  Panel1->setFrameShape(QFrame::NoFrame);
  PageControl1 = Place(new PageControl(kTabWidth, Panel1), "PageControl1", QRect(0, 0, 460, 361),
                       "Pages");
  TabSheet1 = new QWidget;
  TabSheet1->setObjectName("TabSheet1");
  TabSheet1->setAccessibleDescription("TabSheet1");
  TabSheet2 = new QWidget;
  TabSheet2->setObjectName("TabSheet2");
  TabSheet2->setAccessibleDescription("TabSheet2");
  PageControl1->addTab(TabSheet1, QString());
  PageControl1->addTab(TabSheet2, QString());
  PageControl1->setCurrentIndex(0);

  BuildProgrammingPage();
  BuildParametersPage();
  BuildDeveloperStrip();
  // What the port look-up had to tell (a damaged or unwritable remembered-ports file) goes to
  // the log, once.
  if (auto* ports = qobject_cast<PortList*>(cbPort)) {
    ports->SetNoticeSink([this](const std::string& notice) { Log(notice); });
    ports->TellNotices();
  }

  TimeoutTicker.setObjectName("TimeoutTicker");
  TimeoutTicker.setInterval(device::kTick);
  TimeoutTicker.setSingleShot(false);

  ComPort.BeginLoading();
  ComPort.SetBaud(kPortBaud);
  ComPort.SetTraceName("PORT.TRC");
  ComPort.SetLogName("PORT.LOG");
  ComPort.SetLogHex(false);
  ComPort.EndLoading();
  // Received bytes and port notifications arrive on worker threads: wake the loop, and handle the
  // notifications on this thread once it runs.
  ComPort.SetWakeHook([this] { QCoreApplication::postEvent(this, new QEvent(WakeEventType())); });
  ComPort.SetPortPrompt([this] { return PromptForPortNumber(this); });
  ComPort.SetErrorReport([](const std::exception& e) { ReportUncaughtException(e.what()); });

  urlOpener = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

  ConnectHandlers();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  FormDestroy();
  // Stop the worker threads while the window is still whole: no wake-up may reach it afterwards.
  ComPort.SetWakeHook({});
  try {
    ComPort.SetOpen(false);
  } catch (const std::exception& e) {
    ReportUncaughtException(e.what());
  }
}

void TfrmMain::BuildProgrammingPage() {
  QWidget* page = TabSheet1;
  meLog = Place(new QPlainTextEdit(page), "meLog", QRect(4, 8, 194, 89), "Log");
  meLog->setReadOnly(true);
  meLog->setTabChangesFocus(false);

  GroupBox3 = Place(new QGroupBox(page), "GroupBox3", QRect(204, 3, 105, 154));
  bbOpen = Place(new QPushButton(GroupBox3), "bbOpen", QRect(10, 22, 85, 25));
  bbOpen->setIcon(GlyphIcon(Glyph::OpenFile));
  Panel2 = Place(new QFrame(GroupBox3), "Panel2", QRect(0, 60, 105, 2), "Separator");
  Panel2->setFrameShape(QFrame::HLine);
  Panel2->setFrameShadow(QFrame::Sunken);
  bbUpload = Place(new QPushButton(GroupBox3), "bbUpload", QRect(10, 76, 85, 25));
  bbUpload->setIcon(GlyphIcon(Glyph::Upload));
  bbUpload->setEnabled(false);
  Button1 = Place(new QPushButton(GroupBox3), "Button1", QRect(10, 116, 85, 25));

  GroupBox1 = Place(new QGroupBox(page), "GroupBox1", QRect(4, 100, 81, 56));
  auto* portList = new PortList(GroupBox1);
  cbPort = Place(portList, "cbPort", QRect(8, 24, 65, 21), "Serial port");
  cbPort->setEditable(false);
  for (int i = 1; i <= kPortCount; ++i) cbPort->addItem(QString("COM%1").arg(i));
  cbPort->setCurrentIndex(0);

  GroupBox2 = Place(new QGroupBox(page), "GroupBox2", QRect(88, 100, 112, 57));
  Button2 = Place(new QPushButton(GroupBox2), "Button2", QRect(12, 22, 85, 25));

  Edit2 = Place(new QLineEdit(page), "Edit2", QRect(3, 162, 305, 19), "Firmware file");
  Edit2->setReadOnly(true);
  Edit2->setFrame(false);
  ColourField(Edit2, kActiveBorderColour, Qt::blue);

  ProgressBar = Place(new ClassicProgressBar(page), "ProgressBar", QRect(3, 188, 305, 21),
                      "Programming progress");

  GroupBox19 = Place(new QGroupBox(page), "GroupBox19", QRect(3, 215, 305, 99));
  // No length limit here: it would only limit typing, and the field is read-only; the program
  // sets longer texts (a three-digit number) too.
  MaskEdit2 = Place(new QLineEdit(GroupBox19), "MaskEdit2", QRect(17, 36, 33, 32),
                    "CAN program number");
  MaskEdit2->setReadOnly(true);
  MaskEdit2->setFont(NumberFieldFont());
  MaskEdit2->setText("11");
  SpinButton2 = Place(new SpinButton(GroupBox19), "SpinButton2", QRect(56, 36, 20, 32),
                      "CAN program number up/down");
  BitBtn4 = Place(new QPushButton(GroupBox19), "BitBtn4", QRect(100, 23, 65, 29));
  BitBtn4->setIcon(GlyphIcon(Glyph::Read));
  BitBtn3 = Place(new QPushButton(GroupBox19), "BitBtn3", QRect(100, 58, 65, 29));
  BitBtn3->setIcon(GlyphIcon(Glyph::Write));
  BitBtn3->setEnabled(false);

  GroupBox18 = Place(new QGroupBox(page), "GroupBox18", QRect(313, 3, 134, 154));
  Button3 = Place(new QPushButton(GroupBox18), "Button3", QRect(24, 22, 81, 25));
  Button3->setEnabled(false);
  Panel3 = Place(new QFrame(GroupBox18), "Panel3", QRect(1, 60, 133, 2), "Separator");
  Panel3->setFrameShape(QFrame::HLine);
  Panel3->setFrameShadow(QFrame::Sunken);

  for (const BrandVariant& v : kBrandVariants) {
    QLabel* label = v.toolTip ? new ClickableLabel(GroupBox18) : new QLabel(GroupBox18);
    Place(label, v.imageName, v.geometry, "Brand logo");
    // The picture is drawn when its brand is first shown (zmiana_logo): one of the six ever is.
    // Wider pictures show their left columns; a smaller one (the icon) sits in the middle.
    label->setAlignment(v.pictureSize.width() > v.geometry.width() ? Qt::AlignLeft | Qt::AlignTop
                                                                   : Qt::AlignCenter);
    if (v.toolTip) {
      label->setCursor(Qt::PointingHandCursor);
      label->setToolTip(v.toolTip);
    }
    label->setVisible(v.designVisible);
  }
  Norvane_image = GroupBox18->findChild<ClickableLabel*>("Norvane_image");
  Brisca_image = GroupBox18->findChild<ClickableLabel*>("Brisca_image");
  dorvan_image = GroupBox18->findChild<ClickableLabel*>("dorvan_image");
  pelko_image = GroupBox18->findChild<ClickableLabel*>("pelko_image");
  lumbra_image = GroupBox18->findChild<ClickableLabel*>("lumbra_image");
  ruskel_Image = GroupBox18->findChild<QLabel*>("ruskel_Image");

  // The language buttons are siblings drawn over the frame, so they come after it.
  RadioGroup1 = Place(new ClickableGroupBox(page), "RadioGroup1", QRect(314, 163, 80, 151));
  auto lang = [&](const char* name, int top, const char* text) {
    auto* b = Place(new QRadioButton(text, page), name, QRect(324, top, 41, 17), text);
    return b;
  };
  lang2 = lang("lang2", 181, "EN");
  lang1 = lang("lang1", 200, "PL");
  lang3 = lang("lang3", 220, "DE");
  lang6 = lang("lang6", 240, "CZ");
  lang5 = lang("lang5", 260, "SK");
  lang7 = lang("lang7", 280, "HU");
  lang2->setChecked(true);
  ExclusiveGroup({lang1, lang2, lang3, lang5, lang6, lang7});

  SetCaption("GroupBox3", " Polecenia ");
  SetCaption("bbOpen", "Otworz plik");
  SetCaption("bbUpload", "Zapisz");
  SetCaption("Button1", "Anuluj");
  SetCaption("GroupBox1", " Port ");
  SetCaption("GroupBox2", "Wersja programu ");
  SetCaption("Button2", "Odczytaj");
  SetCaption("GroupBox19", "Nr programu CAN");
  SetCaption("BitBtn4", "Odczyt");
  SetCaption("BitBtn3", "Zapis");
  SetCaption("GroupBox18", "Lista programów CAN");
  SetCaption("Button3", "Pomoc");
  SetCaption("RadioGroup1", "Jezyk");
  SetCaption("TabSheet1", "Programowanie");
}

void TfrmMain::BuildParametersPage() {
  QWidget* page = TabSheet2;
  struct Pair {
    QGroupBox** box;
    const char* boxName;
    QPoint boxAt;
    int boxHeight;
    QRadioButton** first;
    const char* firstName;
    QPoint firstAt;
    QRadioButton** second;
    const char* secondName;
    QPoint secondAt;
  };
  const Pair pairs[] = {
      {&GroupBox5, "GroupBox5", {0, 0}, kOptionBoxHeight, &RadioButton4, "RadioButton4", {8, 16},
       &RadioButton5, "RadioButton5", {72, 16}},
      {&GroupBox6, "GroupBox6", {0, 48}, kOptionBoxHeight, &RadioButton6, "RadioButton6", {8, 16},
       &RadioButton7, "RadioButton7", {72, 16}},
      {&GroupBox7, "GroupBox7", {0, 96}, kOptionBoxHeight, &RadioButton8, "RadioButton8", {8, 16},
       &RadioButton9, "RadioButton9", {70, 16}},
      {&GroupBox17, "GroupBox17", {0, 144}, kOptionBoxHeight, &RadioButton22, "RadioButton22",
       {8, 16}, &RadioButton23, "RadioButton23", {96, 16}},
      {&GroupBox8, "GroupBox8", {0, 192}, kOptionBoxHeight, &RadioButton10, "RadioButton10",
       {8, 16}, &RadioButton11, "RadioButton11", {96, 16}},
      {&GroupBox10, "GroupBox10", {0, 240}, 73, &RadioButton12, "RadioButton12", {8, 24},
       &RadioButton13, "RadioButton13", {8, 48}},
      {&GroupBox11, "GroupBox11", {176, 0}, kOptionBoxHeight, &RadioButton14, "RadioButton14",
       {8, 16}, &RadioButton15, "RadioButton15", {80, 16}},
      {&GroupBox12, "GroupBox12", {176, 48}, kOptionBoxHeight, &RadioButton16, "RadioButton16",
       {8, 16}, &RadioButton17, "RadioButton17", {80, 16}},
      {&GroupBox14, "GroupBox14", {176, 96}, kOptionBoxHeight, &RadioButton20, "RadioButton20",
       {8, 16}, &RadioButton21, "RadioButton21", {80, 16}},
      {&GroupBox13, "GroupBox13", {176, 144}, kOptionBoxHeight, &RadioButton18, "RadioButton18",
       {8, 16}, &RadioButton19, "RadioButton19", {80, 16}},
  };
  for (const Pair& p : pairs) {
    *p.box = Place(new QGroupBox(page), p.boxName,
                   QRect(p.boxAt, QSize(kOptionBoxWidth, p.boxHeight)));
    const bool stacked = p.firstAt.x() == p.secondAt.x();
    const int firstWidth = stacked ? 158 : p.secondAt.x() - p.firstAt.x() - 2;
    const int secondWidth = stacked ? 158 : kOptionBoxWidth - p.secondAt.x() - 4;
    *p.first = Place(new QRadioButton(*p.box), p.firstName,
                     QRect(p.firstAt, QSize(firstWidth, kCheckHeight)));
    *p.second = Place(new QRadioButton(*p.box), p.secondName,
                      QRect(p.secondAt, QSize(secondWidth, kCheckHeight)));
    (*p.first)->setChecked(true);
    ExclusiveGroup({*p.first, *p.second});
  }

  GroupBox16 = Place(new QGroupBox(page), "GroupBox16", QRect(176, 192, 169, 73));
  CheckBox2 = Place(new QCheckBox(GroupBox16), "CheckBox2", QRect(8, 16, 158, 17));
  CheckBox1 = Place(new QCheckBox(GroupBox16), "CheckBox1", QRect(8, 32, 158, 17));
  CheckBox3 = Place(new QCheckBox(GroupBox16), "CheckBox3", QRect(8, 48, 158, 17));

  Edit3 = Place(new QLineEdit(page), "Edit3", QRect(176, 272, 273, 19), "Configuration status");
  Edit3->setReadOnly(true);
  Edit3->setFrame(false);
  ColourField(Edit3, kSilver, Qt::blue);
  ProgressBar1 = Place(new ClassicProgressBar(page), "ProgressBar1", QRect(176, 296, 273, 17),
                       "Configuration progress");

  GroupBox4 = Place(new QGroupBox(page), "GroupBox4", QRect(352, 0, 97, 113));
  BitBtn2 = Place(new QPushButton(GroupBox4), "BitBtn2", QRect(16, 20, 65, 29));
  BitBtn2->setIcon(GlyphIcon(Glyph::Read));
  Bevel1 = Place(new QFrame(GroupBox4), "Bevel1", QRect(0, 60, 97, 2), "Separator");
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Sunken);
  BitBtn1 = Place(new QPushButton(GroupBox4), "BitBtn1", QRect(16, 72, 65, 29));
  BitBtn1->setIcon(GlyphIcon(Glyph::Write));
  BitBtn1->setEnabled(false);

  GroupBox9 = Place(new QGroupBox(page), "GroupBox9", QRect(352, 120, 97, 65));
  PIN = Place(new PinEdit(GroupBox9), "PIN", QRect(22, 20, 50, 32), "PIN code");
  PIN->setFont(NumberFieldFont());

  GroupBox15 = Place(new QGroupBox(page), "GroupBox15", QRect(352, 192, 97, 73));
  MaskEdit1 = Place(new QLineEdit(GroupBox15), "MaskEdit1", QRect(20, 24, 33, 32),
                    "CAN program number");
  MaskEdit1->setReadOnly(true);
  MaskEdit1->setFont(NumberFieldFont());
  MaskEdit1->setText("11");
  SpinButton1 = Place(new SpinButton(GroupBox15), "SpinButton1", QRect(56, 24, 20, 32),
                      "CAN program number up/down");

  const std::pair<const char*, const char*> design[] = {
      {"TabSheet2", "Parametry pracy"},
      {"GroupBox5", "(1) Obsluga systemu "},
      {"RadioButton4", "Cicha"},
      {"RadioButton5", "Glosna"},
      {"GroupBox6", "(2) Samouzbrojenie "},
      {"RadioButton6", "Brak"},
      {"RadioButton7", "30 sekund"},
      {"GroupBox7", "(3) Zamykanie zamka "},
      {"RadioButton8", "Brak"},
      {"RadioButton9", "7sek(2500RPM)"},
      {"GroupBox17", "Tryb pracy "},
      {"RadioButton22", "FI"},
      {"RadioButton23", "FA"},
      {"GroupBox8", "(4) Funkcja FI "},
      {"RadioButton10", "Brak"},
      {"RadioButton11", "Jest"},
      {"GroupBox10", "(5) Opoznienie FI  "},
      {"RadioButton12", "30sek(autoryzacja 1xPA)"},
      {"RadioButton13", "90sek(autoryzacja PIN)"},
      {"GroupBox11", "(6) Kanal I "},
      {"RadioButton14", "Brak"},
      {"RadioButton15", "InfoGPS"},
      {"GroupBox12", "(7) Smart KEY "},
      {"RadioButton16", "Brak"},
      {"RadioButton17", "Jest"},
      {"GroupBox14", "(8) Domykanie szyb "},
      {"RadioButton20", "Brak"},
      {"RadioButton21", "Jest"},
      {"GroupBox13", "(9) Kanal II "},
      {"RadioButton18", "Klakson"},
      {"RadioButton19", "LiteON"},
      {"GroupBox16", "(10) Swiatla awaryjne "},
      {"CheckBox2", "FS1 (sekwen. w alarmow.)"},
      {"CheckBox1", "FS2 (sekwen. uzbr./rozbr.) "},
      {"CheckBox3", "FS3 (stale w alarmowaniu)"},
      {"GroupBox4", " Polecenia "},
      {"BitBtn2", "Odczyt"},
      {"BitBtn1", "Zapis"},
      {"GroupBox9", "Kod PIN"},
      {"GroupBox15", "Nr programu CAN"},
  };
  for (const auto& [name, text] : design) SetCaption(name, text);
}

void TfrmMain::BuildDeveloperStrip() {
  QWidget* strip = Panel1;
  auto check = [&](const char* name, int x, int y, const char* text, bool checked) {
    auto* c = Place(new QCheckBox(text, strip), name, QRect(x, y, kCheckWidth, kCheckHeight), text);
    c->setChecked(checked);
    return c;
  };
  DecodeON = check("DecodeON", 504, 9, "File Decode ON", true);
  EEPROM = check("EEPROM", 504, 25, "EEPROM write", true);
  All_memory = check("All_memory", 504, 41, "All memory write", true);
  DeviceID = check("DeviceID", 506, 64, "Device ID read", false);
  PICencoding = check("PICencoding", 506, 81, "RandomEncoding", false);
  Encoding_OFF = check("Encoding_OFF", 506, 104, "Encoding OFF", false);
  Flash_size = check("Flash_size", 506, 118, "Flash size", false);
  for (QCheckBox* hidden :
       {DecodeON, EEPROM, All_memory, DeviceID, PICencoding, Encoding_OFF, Flash_size})
    hidden->hide();
  brisca = check("brisca", 506, 164, "brisca", false);
  dorvan_EN = check("dorvan_EN", 506, 187, "dorvan_EN", false);

  auto radio = [&](const char* name, int x, int y, const char* text) {
    return Place(new QRadioButton(text, strip), name, QRect(x, y, kCheckWidth, kCheckHeight), text);
  };
  lang4 = radio("lang4", 504, 224, "RU");
  lang8 = radio("lang8", 504, 284, "lang8");
  lang9 = radio("lang9", 506, 307, "lang9");
  lang9->setChecked(true);
  ExclusiveGroup({lang4, lang8, lang9});

  logo1 = Place(new QComboBox(strip), "logo1", QRect(504, 247, 63, 21), "Brand list");
  logo1->setEditable(true);
  logo1->addItems({"NE", "NS", "DORVAN", "PELKO"});
  logo1->setEditText("NE");

  Clear = Place(new QPushButton("Clear", strip), "Clear", QRect(316, 384, 75, 25), "Clear");
  Clear->hide();
  LOGO = Place(new QToolButton(strip), "LOGO", QRect(397, 387, 23, 22), "LOGO");
  LOGO->setText("LOGO");
  LOGO->setAutoRaise(true);
  LOGO->hide();
  Button4 = Place(new QPushButton("Button4", strip), "Button4", QRect(322, 415, 75, 25),
                  "Button4");
  Button4->hide();

  Edit1 = Place(new QLineEdit("Edit1", strip), "Edit1", QRect(317, 446, 130, 21),
                "Device status");
  Edit1->setReadOnly(true);
  ColourField(Edit1, kScrollBarColour, palette().color(QPalette::WindowText));
  Memo1 = Place(new QPlainTextEdit(strip), "Memo1", QRect(0, 464, 289, 128), "Memory listing");
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  // The strip lies outside the fixed client area, but Tab and the arrow keys of a radio group
  // would still walk into it (and the arrows would check lang4). None of it, nor any part Qt
  // builds inside it (the combo's editor, the memo's viewport and scroll bars), may take focus.
  for (QWidget* control : std::initializer_list<QWidget*>{
           DecodeON, EEPROM, All_memory, DeviceID, PICencoding, Encoding_OFF, Flash_size, brisca,
           dorvan_EN, lang4, lang8, lang9, logo1, Clear, LOGO, Button4, Edit1, Memo1}) {
    control->setFocusPolicy(Qt::NoFocus);
    for (QWidget* part : control->findChildren<QWidget*>()) part->setFocusPolicy(Qt::NoFocus);
  }
}

void TfrmMain::ExclusiveGroup(std::initializer_list<QRadioButton*> buttons) {
  // Qt's automatic exclusivity searches the parent's whole subtree, and the strip's parent holds
  // every control of the window; an explicit group keeps each set of siblings to itself.
  auto* group = new QButtonGroup(this);
  group->setExclusive(true);
  for (QRadioButton* b : buttons) group->addButton(b);
}

template <typename Sender, typename Signal>
void TfrmMain::On(Sender* sender, Signal signal, void (TfrmMain::*handler)()) {
  connect(sender, signal, this, [this, handler] {
    if (ll::device::OperationGuard::Busy(state)) return;
    RunGuarded([&] { (this->*handler)(); });
    CloseIfAsked();
  });
}

template <typename Sender, typename Signal>
void TfrmMain::OnDuringOperation(Sender* sender, Signal signal, void (TfrmMain::*handler)()) {
  connect(sender, signal, this, [this, handler] { RunGuarded([&] { (this->*handler)(); }); });
}

void TfrmMain::ConnectHandlers() {
  On(bbOpen, &QPushButton::clicked, &TfrmMain::bbOpenClick);
  On(bbUpload, &QPushButton::clicked, &TfrmMain::bbUploadClick);
  OnDuringOperation(Button1, &QPushButton::clicked, &TfrmMain::Button1Click);
  On(Button2, &QPushButton::clicked, &TfrmMain::Button2Click);
  OnDuringOperation(Button3, &QPushButton::clicked, &TfrmMain::Button3Click);
  On(BitBtn2, &QPushButton::clicked, &TfrmMain::BitBtn2Click);
  On(BitBtn4, &QPushButton::clicked, &TfrmMain::BitBtn2Click);
  On(BitBtn1, &QPushButton::clicked, &TfrmMain::BitBtn1Click);
  On(BitBtn3, &QPushButton::clicked, &TfrmMain::BitBtn1Click);
  OnDuringOperation(Clear, &QPushButton::clicked, &TfrmMain::ClearClick);
  OnDuringOperation(LOGO, &QToolButton::clicked, &TfrmMain::LOGOClick);
  for (ClickableLabel* logo : {Norvane_image, pelko_image, Brisca_image, dorvan_image, lumbra_image})
    OnDuringOperation(logo, &ClickableLabel::clicked, &TfrmMain::LOGOClick);
  OnDuringOperation(&TimeoutTicker, &QTimer::timeout, &TfrmMain::TimeoutTickerTimer);
  OnDuringOperation(SpinButton1, &SpinButton::upClick, &TfrmMain::SpinButton1UpClick);
  OnDuringOperation(SpinButton2, &SpinButton::upClick, &TfrmMain::SpinButton1UpClick);
  OnDuringOperation(SpinButton1, &SpinButton::downClick, &TfrmMain::SpinButton1DownClick);
  OnDuringOperation(SpinButton2, &SpinButton::downClick, &TfrmMain::SpinButton1DownClick);
  OnDuringOperation(RadioGroup1, &ClickableGroupBox::frameClicked, &TfrmMain::RadioGroup1Click);

  // A radio button raises its click only when it becomes checked; a check box on every change.
  auto whenChecked = [this](QRadioButton* b, void (TfrmMain::*handler)()) {
    connect(b, &QRadioButton::toggled, this, [this, handler](bool checked) {
      if (checked) RunGuarded([&] { (this->*handler)(); });
    });
  };
  for (QRadioButton* b : {lang1, lang2, lang3, lang4, lang5, lang6, lang7, lang8, lang9})
    whenChecked(b, &TfrmMain::RadioGroup1Click);
  whenChecked(RadioButton22, &TfrmMain::RadioButton22Click);
  whenChecked(RadioButton23, &TfrmMain::RadioButton23Click);
  // The configuration read sets these boxes itself, inside its wait.
  OnDuringOperation(CheckBox2, &QCheckBox::toggled, &TfrmMain::CheckBox2Click);
  OnDuringOperation(CheckBox3, &QCheckBox::toggled, &TfrmMain::CheckBox3Click);
}

// ---- Closing and the keyboard ---------------------------------------------------------------

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (ll::device::OperationGuard::Busy(state)) {
    // The operation waits in a click further down this stack. Hiding the window now would leave
    // it writing the module unseen, holding the port. It ends as "Anuluj" ends it: the module is
    // told nothing more and the port closes; the window goes once it has (CloseIfAsked).
    event->ignore();
    closeAfterOperation_ = true;
    Button1Click();
    return;
  }
  // A read leaves the port open; the program that starts next must find it free.
  RunGuarded([this] { ComPort.SetOpen(false); });
  QWidget::closeEvent(event);
}

void TfrmMain::CloseIfAsked() {
  if (!closeAfterOperation_ || ll::device::OperationGuard::Busy(state)) return;
  closeAfterOperation_ = false;
  close();
}

void TfrmMain::keyPressEvent(QKeyEvent* event) {
  // Enter presses the focused button as Space does. A push button outside a dialog leaves Enter
  // to its parent, which is here.
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  auto* button = qobject_cast<QPushButton*>(focusWidget());
  if (enter && button && button->isEnabled() && button->isVisible() && !event->isAutoRepeat()) {
    button->click();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TfrmMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (centred_) return;
  centred_ = true;
  // Moved to a screen of another scale (a laptop's panel and an external monitor), the window
  // takes the face that scale needs.
  connect(windowHandle(), &QWindow::screenChanged, this,
          [this] { RunGuarded([this] { FollowScale(devicePixelRatioF()); }); });
  if (QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    const QSize frame = frameGeometry().size();
    move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
  }
}

QEvent::Type TfrmMain::WakeEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

bool TfrmMain::event(QEvent* event) {
  if (event->type() == WakeEventType()) {
    RunGuarded([this] { ComPort.ProcessNotifications(); });
    return true;
  }
  // Looking up the twelve ports' devices takes longer than building the whole window: it is done
  // once the window's first picture is on its way (not inside an operation's wait, which a click
  // may already have started), and again whenever the list opens. The hidden program-list window
  // is no part of that picture either.
  if (event->type() == QEvent::Paint && !portsLookedUp_) {
    portsLookedUp_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          CreateProgramListWindow();
          auto* ports = qobject_cast<PortList*>(cbPort);
          if (ports && !ll::device::OperationGuard::Busy(state))
            RunGuarded([ports] { ports->ShowDevices(); });
        },
        Qt::QueuedConnection);
  }
  return QWidget::event(event);
}

void TfrmMain::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // The border is fixed: a window manager that maximises anyway (a double click on the title bar)
  // is turned back to the normal state.
  if (event->type() == QEvent::WindowStateChange &&
      (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
    setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
  }
}

// ---- Captions -------------------------------------------------------------------------------

void TfrmMain::SetCaption(const char* objectName, const QString& text) {
  const QString name = QString::fromLatin1(objectName);
  const QString accessible = text.trimmed();
  if (name == "TabSheet1" || name == "TabSheet2") {
    const int index = name == "TabSheet1" ? 0 : 1;
    PageControl1->setTabText(index, text);
    PageControl1->widget(index)->setAccessibleName(accessible);
    return;
  }
  QWidget* w = findChild<QWidget*>(name);
  if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(text);
    button->setAccessibleName(accessible);
  } else if (auto* box = qobject_cast<QGroupBox*>(w)) {
    box->setTitle(text);
    box->setAccessibleName(accessible);
  }
}

QString TfrmMain::Caption(const QString& objectName) const {
  if (objectName == "TabSheet1") return PageControl1->tabText(0);
  if (objectName == "TabSheet2") return PageControl1->tabText(1);
  QWidget* w = findChild<QWidget*>(objectName);
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  if (auto* box = qobject_cast<QGroupBox*>(w)) return box->title();
  return {};
}

// ---- Start-up and the user-interface switches -----------------------------------------------

void TfrmMain::FormCreate() {
  logo1->setCurrentIndex(1);
  state.LanguageCode = kStartLanguage;
  zmiana_jezyka(state.LanguageCode);
  zmiana_logo(kBuiltBrand);
}

void TfrmMain::FormDestroy() {}

void TfrmMain::CreateProgramListWindow() { (void)Form1(); }

TForm1* TfrmMain::Form1() const {
  if (!form1_) form1_ = std::make_unique<TForm1>();
  return form1_.get();
}

void TfrmMain::zmiana_jezyka(char code) {
  const LanguageTexts* texts = LanguageTextsFor(code);
  if (!texts) return;
  for (int i = 0; i < kFirstParameterPageCaption; ++i)
    SetCaption(kCaptionControls[i], QString::fromUtf8(texts->captions[i]));
  for (int slot = 0; slot < kLanguageMessageSlots; ++slot)
    state.MessageTable[slot] = texts->messages[slot];
  for (int i = kFirstParameterPageCaption; i < kCaptionCount; ++i)
    SetCaption(kCaptionControls[i], QString::fromUtf8(texts->captions[i]));
  FitCaptions();
}

void TfrmMain::FollowScale(qreal ratio) {
  const QFont before = font();
  const QFont now = WindowFont(ratio);
  if (now == before) return;
  // The controls that were given the window's font take the new one.
  for (QWidget* c : findChildren<QWidget*>())
    if (c->testAttribute(Qt::WA_SetFont) && c->font() == before) c->setFont(QFont());
  setFont(now);
  FitCaptions();
}

void TfrmMain::FitCaptions() {
  for (const char* name : kCaptionControls) {
    const QString objectName = QString::fromLatin1(name);
    // The tabs measure their own width; every other caption has a fixed-size control.
    if (objectName.startsWith("TabSheet")) continue;
    FitCaption(findChild<QWidget*>(objectName), Caption(objectName));
  }
}

void TfrmMain::RadioGroup1Click() {
  // Tested in this order; a later checked button wins. lang4 sits in the developer strip's own
  // group, so it can be checked together with a visible button.
  const std::pair<QRadioButton*, char> order[] = {{lang1, '0'}, {lang2, '1'}, {lang3, '2'},
                                                  {lang4, '3'}, {lang5, '4'}, {lang6, '5'},
                                                  {lang7, '6'}};
  for (const auto& [button, code] : order)
    if (button->isChecked()) state.LanguageCode = code;
  meLog->clear();
  Edit3->clear();
  zmiana_jezyka(state.LanguageCode);
}

void TfrmMain::zmiana_logo(char code) {
  for (const char* name : kBrandHideOrder)
    if (QWidget* image = GroupBox18->findChild<QWidget*>(name)) image->hide();
  const BrandVariant* variant = BrandVariantFor(code);
  if (!variant) return;
  state.MessageTable[ll::device::MsgBrandWebAddress] = variant->webAddress;
  setWindowTitle(QString::fromUtf8(variant->title));
  SetApplicationTitle(QString::fromUtf8(variant->title));
  if (auto* image = GroupBox18->findChild<QLabel*>(variant->imageName)) {
    if (image->pixmap().isNull()) image->setPixmap(BrandPicture(code, devicePixelRatioF()));
    image->show();
  }
}

void TfrmMain::LOGOClick() {
  // A failure to open the address is not reported.
  const QString address =
      QString::fromStdString(state.MessageTable[ll::device::MsgBrandWebAddress]);
  if (urlOpener) (void)urlOpener(QUrl(address));
}

void TfrmMain::ClearClick() { Memo1->clear(); }

// ---- Firmware file and program list ---------------------------------------------------------

void TfrmMain::bbOpenClick() {
  if (DecodeON->isChecked()) {
    odOpen.Filter = "Plik HEXFW (*.hexfw)|*.hexfw";
    odOpen.DefaultExt = "*.hexfw";
  } else {
    odOpen.Filter = "Plik HEX (*.hex)|*.hex";
    odOpen.DefaultExt = "*.hex";
  }
  const QString path = odOpen.Execute(this);
  if (path.isEmpty()) return;
  odOpen.Directory = QFileInfo(path).absolutePath();
  state.SelectedFileName = path.toStdString();
  bbUpload->setEnabled(true);
  Button3->setEnabled(true);
  meLog->clear();
  Edit2->setText(QFileInfo(path).fileName());
}

void TfrmMain::Button3Click() {
  if (state.SelectedFileName.empty()) return;
  const ll::firmware::ProgramListResult list =
      ll::firmware::ReadProgramList(state.SelectedFileName, DecodeON->isChecked());
  if (!list.ok) {
    if (list.openFailed) {
      Log(state.MessageTable[ll::device::MsgFileReadError]);
      return;
    }
    // A read error after the file was opened goes to the general error report.
    throw std::runtime_error(list.message.empty() ? "File read error" : list.message);
  }
  QStringList lines;
  int width = ll::firmware::kProgramListMinWidth;
  for (const std::string& raw : list.lines) {
    lines << QString::fromStdString(ll::firmware::Cp1250ToUtf8(raw));
    width = std::max(width, static_cast<int>(raw.size()));  // one byte is one character
  }
  width = std::min(width, ll::firmware::kProgramListMaxWidth);
  const int count = std::clamp(static_cast<int>(list.lines.size()),
                               ll::firmware::kProgramListMinLines,
                               ll::firmware::kProgramListMaxLines);
  CreateProgramListWindow();
  form1_->ShowList(GroupBox18->title(), lines, width, count);
}

// ---- Configuration page ---------------------------------------------------------------------

void TfrmMain::ReplaceFirstLetter(QGroupBox* box, QChar from, QChar to) {
  QString caption = box->title();
  const qsizetype at = caption.indexOf(from, 0, Qt::CaseSensitive);
  if (at < 0) return;
  caption[at] = to;
  box->setTitle(caption);
  box->setAccessibleName(caption.trimmed());
}

void TfrmMain::RadioButton22Click() {
  ReplaceFirstLetter(GroupBox8, u'A', u'I');
  ReplaceFirstLetter(GroupBox10, u'A', u'I');
}

void TfrmMain::RadioButton23Click() {
  ReplaceFirstLetter(GroupBox8, u'I', u'A');
  ReplaceFirstLetter(GroupBox10, u'I', u'A');
}

void TfrmMain::CheckBox2Click() {
  if (CheckBox2->isChecked()) CheckBox3->setChecked(false);
}

void TfrmMain::CheckBox3Click() {
  if (CheckBox3->isChecked()) CheckBox2->setChecked(false);
}

void TfrmMain::ShowCanProgramNumber() {
  const QString text = QString::number(state.CanProgramNumber);
  MaskEdit1->setText(text);
  MaskEdit2->setText(text);
}

void TfrmMain::SpinButton1UpClick() {
  std::uint8_t n = state.CanProgramNumber;
  n = static_cast<std::uint8_t>(n + 1);
  if (n > 99) n = 99;
  if (n % 10 == 0) n = static_cast<std::uint8_t>(n + 1);
  state.CanProgramNumber = n;
  ShowCanProgramNumber();
}

void TfrmMain::SpinButton1DownClick() {
  std::uint8_t n = state.CanProgramNumber;
  n = static_cast<std::uint8_t>(n - 1);
  if (n < 11) n = 11;
  if (n % 10 == 0) n = static_cast<std::uint8_t>(n - 1);
  state.CanProgramNumber = n;
  ShowCanProgramNumber();
}

// ---- Device operations ----------------------------------------------------------------------

void TfrmMain::bbUploadClick() { auto ctx = Context(); ll::device::UploadFirmware(ctx); }
void TfrmMain::Button2Click() { auto ctx = Context(); ll::device::ReadVersion(ctx); }
void TfrmMain::BitBtn2Click() { auto ctx = Context(); ll::device::ReadConfiguration(ctx); }
void TfrmMain::BitBtn1Click() { auto ctx = Context(); ll::device::WriteConfiguration(ctx); }
void TfrmMain::Button1Click() { auto ctx = Context(); ll::device::Cancel(ctx); }
void TfrmMain::TimeoutTickerTimer() { auto ctx = Context(); ll::device::TimeoutTickerTimer(ctx); }

// ---- DeviceHost -----------------------------------------------------------------------------

void TfrmMain::Log(const std::string& line) { meLog->appendPlainText(QString::fromStdString(line)); }

void TfrmMain::ClearLog() { meLog->clear(); }

void TfrmMain::SetText(Field field, const std::string& text) {
  (field == Field::Edit1 ? Edit1 : Edit3)->setText(QString::fromStdString(text));
}

void TfrmMain::Memo1Add(const std::string& line) {
  Memo1->appendPlainText(QString::fromStdString(line));
}

ClassicProgressBar* TfrmMain::BarOf(Bar bar) const {
  return bar == Bar::Programming ? ProgressBar : ProgressBar1;
}

void TfrmMain::SetMin(Bar bar, int value) { BarOf(bar)->SetMin(value); }
void TfrmMain::SetMax(Bar bar, int value) { BarOf(bar)->SetMax(value); }
void TfrmMain::SetPosition(Bar bar, int value) { BarOf(bar)->SetPosition(value); }
int TfrmMain::Min(Bar bar) const { return BarOf(bar)->Min(); }
int TfrmMain::Max(Bar bar) const { return BarOf(bar)->Max(); }
int TfrmMain::Position(Bar bar) const { return BarOf(bar)->Position(); }

int TfrmMain::PortIndex() const {
  // Above COM12 the list holds only the ports present: an item's number, not its place.
  if (const auto* ports = qobject_cast<const PortList*>(cbPort)) return ports->ChosenNumber() - 1;
  return cbPort->currentIndex();
}

bool TfrmMain::IsChecked(Switch s) const {
  switch (s) {
    case Switch::DecodeON: return DecodeON->isChecked();
    case Switch::EEPROM: return EEPROM->isChecked();
    case Switch::All_memory: return All_memory->isChecked();
    case Switch::DeviceID: return DeviceID->isChecked();
    case Switch::PICencoding: return PICencoding->isChecked();
    case Switch::Flash_size: return Flash_size->isChecked();
  }
  return false;
}

void TfrmMain::StartTicker() {
  // Enabling a running timer leaves its phase alone, as with the classic timer component.
  if (!TimeoutTicker.isActive()) TimeoutTicker.start();
}

void TfrmMain::StopTicker() { TimeoutTicker.stop(); }

void TfrmMain::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  QCoreApplication::sendPostedEvents();
}

void TfrmMain::WaitForMessages() {
  // The plain Unix dispatcher sends posted events only at the start of processEvents, so a wake-up
  // posted while blocked would otherwise wait for the next event: send them right after the wait.
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  QCoreApplication::sendPostedEvents();
}

void TfrmMain::Pause(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void TfrmMain::ApplyConfigPage(const ll::device::ConfigPage& page) {
  // Options1 bits 0..7: the button that stands for the bit's value. Only option (1) has its
  // first button for bit = 1.
  QRadioButton* const bitSet[8] = {RadioButton4,  RadioButton7,  RadioButton9,  RadioButton11,
                                   RadioButton13, RadioButton15, RadioButton17, RadioButton21};
  QRadioButton* const bitClear[8] = {RadioButton5,  RadioButton6,  RadioButton8,  RadioButton10,
                                     RadioButton12, RadioButton14, RadioButton16, RadioButton20};
  for (int bit = 0; bit < 8; ++bit) (page.options1[bit] ? bitSet : bitClear)[bit]->setChecked(true);
  (page.channel2 ? RadioButton19 : RadioButton18)->setChecked(true);
  CheckBox2->setChecked(page.fs1);
  CheckBox1->setChecked(page.fs2);
  CheckBox3->setChecked(page.fs3);
  (page.modeFA ? RadioButton23 : RadioButton22)->setChecked(true);
  PIN->SetPinText(QString::fromStdString(page.pinText));
  const QString can = QString::fromStdString(page.canText);
  MaskEdit1->setText(can);
  MaskEdit2->setText(can);
}

ll::device::ConfigPage TfrmMain::ReadConfigPage() const {
  ll::device::ConfigPage page;
  page.options1 = {RadioButton4->isChecked(),  RadioButton7->isChecked(),
                   RadioButton9->isChecked(),  RadioButton11->isChecked(),
                   RadioButton13->isChecked(), RadioButton15->isChecked(),
                   RadioButton17->isChecked(), RadioButton21->isChecked()};
  page.channel2 = RadioButton19->isChecked();
  page.fs1 = CheckBox2->isChecked();
  page.fs2 = CheckBox1->isChecked();
  page.fs3 = CheckBox3->isChecked();
  page.modeFA = RadioButton23->isChecked();
  page.pinText = PIN->DisplayedText().toStdString();
  page.canText = MaskEdit1->text().toStdString();
  return page;
}

void TfrmMain::SetConfigWriteEnabled(bool enabled) {
  BitBtn1->setEnabled(enabled);
  BitBtn3->setEnabled(enabled);
}

}  // namespace ll::app
