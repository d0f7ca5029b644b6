#pragma once
// The port list "COM1".."COM12". Its texts are only numbers; each item's tooltip and accessible
// description say which device the number means on this machine right now, looked up again
// whenever the list is opened (adapters come and go while the window is up).

#include <QComboBox>

namespace ll::app {

class PortList : public QComboBox {
 public:
  explicit PortList(QWidget* parent);
  void ShowDevices();

 protected:
  void showPopup() override;
};

}  // namespace ll::app
