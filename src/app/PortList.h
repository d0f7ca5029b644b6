// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The port list: "COM1".."COM12", then every port present above COM12 ("COM15", "COM27"). Its
// texts are only numbers; each item's tooltip and accessible description say which device the
// number means on this machine right now. All of it is looked up again, in one look at the
// system's ports, whenever the list is opened (adapters come and go while the window is up).

#include <QComboBox>
#include <functional>
#include <string>

namespace ll::app {

class PortList : public QComboBox {
  Q_OBJECT
 public:
  // Every item's port number: an item's place says nothing above COM12.
  static constexpr int kNumberRole = Qt::UserRole + 1;

  explicit PortList(QWidget* parent);
  void ShowDevices();
  // The chosen port's number (1 for COM1).
  int ChosenNumber() const;
  // Where the notices of the port look-up go (the window's log); until one is set they wait.
  void SetNoticeSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }
  void TellNotices();

 protected:
  void showPopup() override;

 private:
  std::function<void(const std::string&)> sink_;
};

}  // namespace ll::app
