// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window: the programming page, the working-parameters page and the developer strip of
// fixed switches. It owns the serial port component, the reply ticker, the file-open dialog and
// the program-wide state, and it is the host the device operations report to.

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>

#include "app/Widgets.h"
#include "app/help.h"
#include "device/DeviceHost.h"
#include "device/Operations.h"
#include "device/ProgramState.h"
#include "serial/SerialPort.h"

namespace ll::app {

inline constexpr int kClientWidth = 457;
inline constexpr int kClientHeight = 344;
inline constexpr int kTabWidth = 226;
inline constexpr int kPortBaud = 9600;
inline constexpr int kPortCount = 12;  // COM1..COM12
inline constexpr char kStartLanguage = '1';

// The file-open dialog's settings. Filter is "description|pattern" pairs joined by '|'.
struct FileOpenDialog {
  QString Filter = "Plik HEX (*.hex)|*.hex";
  QString DefaultExt = "*.hex";
  // The folder the dialog opens in: that of the last file chosen in this run (empty: Qt's choice).
  QString Directory;
  // Shows the dialog and returns the chosen path, or an empty text when the user cancelled.
  // Tests replace it; by default it is a QFileDialog.
  std::function<QString(const QString& filter, const QString& defaultExt)> hook;

  QString Execute(QWidget* parent) const;
  static QString QtFilter(const QString& filter);  // "Plik HEX (*.hex)|*.hex" -> name filter
};

class TfrmMain : public QWidget, public ll::device::DeviceHost {
  Q_OBJECT
 public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  // ---- Program-wide state (one instance for the run) ----
  ll::device::ProgramState state;

  // ---- Non-visual components ----
  ll::serial::TSerialPort ComPort;
  QTimer TimeoutTicker;
  FileOpenDialog odOpen;
  // Opens a web address for LOGOClick; the default asks the desktop. Tests replace it.
  std::function<bool(const QUrl&)> urlOpener;

  // ---- Handlers ----
  void FormCreate();
  void FormDestroy();
  void ClearClick();
  void bbOpenClick();
  void bbUploadClick();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void BitBtn1Click();
  void BitBtn2Click();
  void TimeoutTickerTimer();
  void LOGOClick();
  void RadioGroup1Click();
  void RadioButton22Click();
  void RadioButton23Click();
  void CheckBox2Click();
  void CheckBox3Click();
  void SpinButton1UpClick();
  void SpinButton1DownClick();
  void zmiana_jezyka(char code);
  void zmiana_logo(char code);

  // The program-list window: created hidden once the main window's first picture is painted, or
  // on first use if that comes sooner (as Form1() is).
  void CreateProgramListWindow();
  TForm1* Form1() const;

  // The window's face for a screen of `ratio` device pixels per pixel, every caption fitted to it
  // again; the window follows the scale of the screen it is on.
  void FollowScale(qreal ratio);

  // Caption of a control by object name (button text, group title, tab text); empty if unknown.
  QString Caption(const QString& objectName) const;

  // ---- DeviceHost ----
  void Log(const std::string& line) override;
  void ClearLog() override;
  void SetText(ll::device::Field field, const std::string& text) override;
  void Memo1Add(const std::string& line) override;
  void SetMin(ll::device::Bar bar, int value) override;
  void SetMax(ll::device::Bar bar, int value) override;
  void SetPosition(ll::device::Bar bar, int value) override;
  int Min(ll::device::Bar bar) const override;
  int Max(ll::device::Bar bar) const;
  int Position(ll::device::Bar bar) const override;
  int PortIndex() const override;
  bool IsChecked(ll::device::Switch s) const override;
  void StartTicker() override;
  void StopTicker() override;
  void ProcessMessages() override;
  void WaitForMessages() override;
  void Pause(int milliseconds) override;
  void ApplyConfigPage(const ll::device::ConfigPage& page) override;
  ll::device::ConfigPage ReadConfigPage() const override;
  void SetConfigWriteEnabled(bool enabled) override;

  // ---- Controls (object names as in the design) ----
  QFrame* Panel1;
  PageControl* PageControl1;
  QWidget* TabSheet1;
  QWidget* TabSheet2;

  // Programming page
  QPlainTextEdit* meLog;
  QGroupBox* GroupBox3;
  QPushButton* bbOpen;
  QFrame* Panel2;
  QPushButton* bbUpload;
  QPushButton* Button1;
  QGroupBox* GroupBox1;
  QComboBox* cbPort;
  QGroupBox* GroupBox2;
  QPushButton* Button2;
  QLineEdit* Edit2;
  ClassicProgressBar* ProgressBar;
  QGroupBox* GroupBox19;
  QLineEdit* MaskEdit2;
  SpinButton* SpinButton2;
  QPushButton* BitBtn4;
  QPushButton* BitBtn3;
  QGroupBox* GroupBox18;
  QPushButton* Button3;
  QFrame* Panel3;
  ClickableLabel* Norvane_image;
  ClickableLabel* pelko_image;
  ClickableLabel* Brisca_image;
  ClickableLabel* dorvan_image;
  ClickableLabel* lumbra_image;
  QLabel* ruskel_Image;
  ClickableGroupBox* RadioGroup1;
  QRadioButton* lang1;
  QRadioButton* lang2;
  QRadioButton* lang3;
  QRadioButton* lang5;
  QRadioButton* lang6;
  QRadioButton* lang7;

  // Working-parameters page
  QGroupBox *GroupBox5, *GroupBox6, *GroupBox7, *GroupBox17, *GroupBox8, *GroupBox10;
  QGroupBox *GroupBox11, *GroupBox12, *GroupBox14, *GroupBox13, *GroupBox16;
  QRadioButton *RadioButton4, *RadioButton5, *RadioButton6, *RadioButton7, *RadioButton8,
      *RadioButton9, *RadioButton22, *RadioButton23, *RadioButton10, *RadioButton11,
      *RadioButton12, *RadioButton13, *RadioButton14, *RadioButton15, *RadioButton16,
      *RadioButton17, *RadioButton20, *RadioButton21, *RadioButton18, *RadioButton19;
  QCheckBox *CheckBox2, *CheckBox1, *CheckBox3;
  QLineEdit* Edit3;
  ClassicProgressBar* ProgressBar1;
  QGroupBox* GroupBox4;
  QPushButton* BitBtn2;
  QFrame* Bevel1;
  QPushButton* BitBtn1;
  QGroupBox* GroupBox9;
  PinEdit* PIN;
  QGroupBox* GroupBox15;
  QLineEdit* MaskEdit1;
  SpinButton* SpinButton1;

  // Developer strip
  QCheckBox *DecodeON, *EEPROM, *All_memory, *DeviceID, *PICencoding, *Encoding_OFF, *Flash_size;
  QCheckBox *brisca, *dorvan_EN;
  QRadioButton *lang4, *lang8, *lang9;
  QComboBox* logo1;
  QPushButton* Clear;
  QToolButton* LOGO;
  QPushButton* Button4;
  QLineEdit* Edit1;
  QPlainTextEdit* Memo1;

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildProgrammingPage();
  void BuildParametersPage();
  void BuildDeveloperStrip();
  void ConnectHandlers();
  // Posted by the port's worker threads when bytes arrive or a notification waits.
  static QEvent::Type WakeEventType();
  void ExclusiveGroup(std::initializer_list<QRadioButton*> buttons);
  void SetCaption(const char* objectName, const QString& text);
  // Captions too wide for their control at the window's font get a condensed, smaller one.
  void FitCaptions();
  void ReplaceFirstLetter(QGroupBox* box, QChar from, QChar to);
  void ShowCanProgramNumber();
  ll::device::DeviceContext Context() { return {ComPort, state, *this}; }
  ClassicProgressBar* BarOf(ll::device::Bar bar) const;
  // Connects a signal to a handler that runs under the application's error report. On() is for
  // everything that may start device work or open a modal dialog: the click does nothing while an
  // operation waits (the operation guard decides). OnDuringOperation() is for the few controls
  // that must work inside such a wait ("Anuluj", the ticker, the non-modal windows, the page).
  template <typename Sender, typename Signal>
  void On(Sender* sender, Signal signal, void (TfrmMain::*handler)());
  template <typename Sender, typename Signal>
  void OnDuringOperation(Sender* sender, Signal signal, void (TfrmMain::*handler)());
  // A close asked for while an operation waited, carried out once the operation has ended.
  void CloseIfAsked();

  mutable std::unique_ptr<TForm1> form1_;
  bool centred_ = false;
  bool portsLookedUp_ = false;
  bool closeAfterOperation_ = false;
};

}  // namespace ll::app
