// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PortList.h"

#include <QSignalBlocker>
#include <algorithm>
#include <vector>

#include "serial/PortNames.h"

namespace ll::app {

PortList::PortList(QWidget* parent) : QComboBox(parent) {
  connect(this, &QComboBox::currentIndexChanged, this,
          [this](int index) { setToolTip(itemData(index, Qt::ToolTipRole).toString()); });
}

int PortList::ChosenNumber() const {
  const QVariant number = currentData(kNumberRole);
  return number.isValid() ? number.toInt() : currentIndex() + 1;
}

void PortList::ShowDevices() {
  const int chosen = ChosenNumber();
  std::vector<serial::PortInfo> ports = serial::ListPorts();
  // A chosen port above COM12 that went away stays in the list while it is chosen, as absent:
  // the choice never changes behind the user's back.
  if (chosen > serial::kListedPortNumbers &&
      std::none_of(ports.begin(), ports.end(), [&](const serial::PortInfo& p) {
        return p.number == chosen;
      })) {
    serial::PortInfo gone = serial::DescribePort(static_cast<std::uint16_t>(chosen));
    ports.insert(std::find_if(ports.begin(), ports.end(),
                              [&](const serial::PortInfo& p) { return p.number > chosen; }),
                 std::move(gone));
  }
  {
    const QSignalBlocker quiet(this);
    while (count() > static_cast<int>(ports.size())) removeItem(count() - 1);
    for (std::size_t i = 0; i < ports.size(); ++i) {
      const int row = static_cast<int>(i);
      const QString text = QString("COM%1").arg(ports[i].number);
      if (row < count()) {
        setItemText(row, text);
      } else {
        addItem(text);
      }
      const QString summary = QString::fromStdString(serial::PortSummary(ports[i]));
      setItemData(row, static_cast<int>(ports[i].number), kNumberRole);
      setItemData(row, summary, Qt::ToolTipRole);
      setItemData(row, summary, Qt::AccessibleDescriptionRole);
      if (ports[i].number == chosen) setCurrentIndex(row);
    }
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
