// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Accessibility.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QWidget>

namespace ll::app {
namespace {

bool OutsideClientArea(const QWidget* w) {
  const QWidget* top = w->window();
  if (!top || top == w) return false;
  const QRect place(w->mapTo(top, QPoint(0, 0)), w->size());
  return !top->rect().intersects(place);
}

QAccessible::Role RoleOf(const QWidget* w) {
  if (qobject_cast<const QCheckBox*>(w)) return QAccessible::CheckBox;
  if (qobject_cast<const QRadioButton*>(w)) return QAccessible::RadioButton;
  if (qobject_cast<const QAbstractButton*>(w)) return QAccessible::Button;
  if (qobject_cast<const QComboBox*>(w)) return QAccessible::ComboBox;
  if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QPlainTextEdit*>(w))
    return QAccessible::EditableText;
  return QAccessible::Client;
}

// A control nobody can see: named as before, never showing, never focusable, no actions.
class OutsideControl : public QAccessibleWidget {
 public:
  explicit OutsideControl(QWidget* w) : QAccessibleWidget(w, RoleOf(w)) {}

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.invisible = true;
    s.offscreen = true;
    s.focusable = false;
    s.focused = false;
    return s;
  }
  QStringList actionNames() const override { return {}; }
  void doAction(const QString&) override {}
  QStringList keyBindingsForAction(const QString&) const override { return {}; }
};

}  // namespace

void DescribeHiddenControlsAsHidden(QWidget& window) {
  for (QWidget* w : window.findChildren<QWidget*>()) {
    if (w->isWindow() || !OutsideClientArea(w)) continue;
    QAccessible::registerAccessibleInterface(new OutsideControl(w));
  }
}

}  // namespace ll::app
