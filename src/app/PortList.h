// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The port list "COM1".."COM12". Its texts are only numbers; each item's tooltip and accessible
// description say which device the number means on this machine right now, looked up again
// whenever the list is opened (adapters come and go while the window is up).

#include <QComboBox>
#include <functional>
#include <string>

namespace ll::app {

class PortList : public QComboBox {
  Q_OBJECT
 public:
  explicit PortList(QWidget* parent);
  void ShowDevices();
  // Where the notices of the port look-up go (the window's log); until one is set they wait.
  void SetNoticeSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }
  void TellNotices();

 protected:
  void showPopup() override;

 private:
  std::function<void(const std::string&)> sink_;
};

}  // namespace ll::app
