// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PortPrompt.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <string>

#include "serial/PortNames.h"

namespace ll::app {

std::vector<std::uint16_t> PresentPorts() {
  std::vector<std::uint16_t> ports;
  for (int n = 1; n <= kHighestPromptPort; ++n) {
    if (PortDeviceExists(ll::serial::PortPath(static_cast<std::uint16_t>(n))))
      ports.push_back(static_cast<std::uint16_t>(n));
  }
  return ports;
}

std::uint16_t PromptForPortNumber(QWidget* parent) {
  QDialog dialog(parent);
  dialog.setObjectName("ComSelectForm");
  dialog.setWindowTitle("Select Port");
  dialog.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                        Qt::WindowCloseButtonHint);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel("The configured serial port is not valid.", &dialog));
  layout->addWidget(new QLabel("Please choose another port.", &dialog));
  auto* list = new QComboBox(&dialog);
  list->setObjectName("PortList");
  list->setAccessibleName("Port");
  for (std::uint16_t n : PresentPorts()) list->addItem(QString("COM%1").arg(n));
  if (list->count() > 0) list->setCurrentIndex(0);
  layout->addWidget(list);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setDefault(true);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  if (dialog.exec() != QDialog::Accepted || list->currentIndex() < 0) return 0;
  bool ok = false;
  const uint number = list->currentText().mid(3).toUInt(&ok);
  return ok && number <= 0xFFFF ? static_cast<std::uint16_t>(number) : 0;
}

}  // namespace ll::app
