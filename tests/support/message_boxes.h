#pragma once
// Answers modal message boxes for window tests: header-only, for tests that link Qt Widgets.
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTest>
#include <QTimer>

// While it lives, answers every modal message box: records it, clicks `answer` (or Ok).
struct Boxes {
  struct Box {
    QString title, text;
    QMessageBox::Icon icon;
    bool window_shown;  // the window the box belongs to
  };
  explicit Boxes(QMessageBox::StandardButton answer = QMessageBox::Ok) : answer(answer) { Arm(); }
  void Arm() {
    QTimer::singleShot(10, &context, [this] { Poll(); });
  }
  void Poll() {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      seen.push_back(
          {box->windowTitle(), box->text(), box->icon(), box->parentWidget()->isVisible()});
      QAbstractButton* button = box->button(answer);
      QTest::mouseClick(button ? button : box->button(QMessageBox::Ok), Qt::LeftButton);
    }
    Arm();
  }
  QMessageBox::StandardButton answer;
  std::vector<Box> seen;
  QObject context;
};
