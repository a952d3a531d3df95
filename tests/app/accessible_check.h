// What assistive technology reads of a dialog, through the accessibility
// interface rather than the widgets.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QString>
#include <QWidget>

inline QString AccessibleName(QWidget* widget) {
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
  return face != nullptr ? face->text(QAccessible::Name) : QString();
}

// The result (1083) and card information (1084) fields of `dialog`, whatever
// each dialog names them, read as what they show; the result is not empty.
inline void ExpectResultsReadAsShown(QWidget& dialog) {
  int results = 0;
  for (const char* name : {"result", "resultLabel", "cardInfo", "infoLabel", "cardInfoLabel"}) {
    QLabel* field = dialog.findChild<QLabel*>(QLatin1String(name));
    if (field == nullptr) continue;
    SCOPED_TRACE(name);
    EXPECT_EQ(AccessibleName(field), field->text());
    if (QLatin1String(name).startsWith(QLatin1String("result"))) {
      ++results;
      EXPECT_FALSE(field->text().isEmpty());
    }
  }
  EXPECT_EQ(results, 1) << dialog.objectName().toStdString();
}

// The toggle action a screen reader offers on a check box.
inline void ToggleAccessibly(QAbstractButton* button) {
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(button);
  ASSERT_NE(face, nullptr);
  ASSERT_NE(face->actionInterface(), nullptr);
  face->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
}
