// The interface dialog, driven with keys and clicks while it runs modally.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "serial_port_dialog.h"
#include "startup.h"

namespace {

using Button = QDialogButtonBox::StandardButton;

// Once the dialog runs modally: Alt+N / Alt+S for each 'N' / 'S' in `keys` and text typed into
// the field for '+', each followed by a look at the placeholder; then OK or Cancel.
void Answer(const std::string& keys, const std::string& text, Button button) {
  QTimer::singleShot(0, [=] {
    auto* dialog = QApplication::activeModalWidget();
    ASSERT_TRUE(dialog && QTest::qWaitForWindowActive(dialog));
    auto* field = dialog->findChild<QLineEdit*>("inputInterfaceText");
    for (const char key : keys) {
      if (key == '+') {
        QTest::mouseClick(field, Qt::LeftButton);
        QTest::keyClicks(field, QString::fromStdString(text));
        continue;
      }
      const bool network = key == 'N';
      QTest::keyClick(dialog->windowHandle(), network ? Qt::Key_N : Qt::Key_S, Qt::AltModifier);
      auto* radio = dialog->findChild<QRadioButton*>(network ? "radioNetwork" : "radioSerial");
      EXPECT_TRUE(QTest::qWaitFor([radio] { return radio->isChecked(); }, 5000)) << key;
      EXPECT_EQ(field->placeholderText().toStdString(),
                network ? "Example: 192.168.1.50:5000"
                        : "Example: Windows: COM1 Linux: /dev/ttyUSB0");
    }
    QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->button(button), Qt::LeftButton);
  });
}

TEST(SerialPortDialog, RecordsTheChoiceOnlyWhenAccepted) {
  struct Case {
    std::string keys;
    std::string text;
    Button button;
    int type;
    std::string recorded;
  };
  const Case cases[] = {
      {"", "", QDialogButtonBox::Ok, 1, ""},
      {"N+", " 10.0.0.2:5000 ", QDialogButtonBox::Ok, 2, " 10.0.0.2:5000 "},
      {"+NS", "/dev/ttyUSB0", QDialogButtonBox::Ok, 1, "/dev/ttyUSB0"},
      {"N+", "host:1", QDialogButtonBox::Cancel, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys + " " + c.text);
    SerialPortDialog dialog(nullptr);
    Answer(c.keys, c.text, c.button);
    EXPECT_EQ(dialog.exec(), c.button == QDialogButtonBox::Ok ? QDialog::Accepted
                                                              : QDialog::Rejected);
    EXPECT_EQ(dialog.GetInterfaceType(), c.type);
    EXPECT_EQ(dialog.GetInterfaceString(), c.recorded);
  }
}

TEST(GuiGetInterface, ReturnsTheAcceptedChoice) {
  Answer("N+", "127.0.0.1:5000", QDialogButtonBox::Ok);
  const GuiInterfaceSelection selection = GuiGetInterface();
  EXPECT_FALSE(selection.cancelled);
  EXPECT_EQ(selection.type, 2);
  EXPECT_EQ(selection.text, "127.0.0.1:5000");
}

}  // namespace
