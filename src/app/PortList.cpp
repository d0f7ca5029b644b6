// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PortList.h"

#include "serial/PortNames.h"

namespace ll::app {

PortList::PortList(QWidget* parent) : QComboBox(parent) {
  connect(this, &QComboBox::currentIndexChanged, this,
          [this](int index) { setToolTip(itemData(index, Qt::ToolTipRole).toString()); });
}

void PortList::ShowDevices() {
  for (int i = 0; i < count(); ++i) {
    const QString summary = QString::fromStdString(
        serial::PortSummary(serial::DescribePort(static_cast<std::uint16_t>(i + 1))));
    setItemData(i, summary, Qt::ToolTipRole);
    setItemData(i, summary, Qt::AccessibleDescriptionRole);
  }
  setToolTip(itemData(currentIndex(), Qt::ToolTipRole).toString());
  TellNotices();
}

void PortList::TellNotices() {
  if (!sink_) return;
  for (const std::string& notice : serial::TakePortNotices()) sink_(notice);
}

void PortList::showPopup() {
  ShowDevices();
  QComboBox::showPopup();
}

}  // namespace ll::app
