// The interface dialog, driven as a user would: keys and clicks on the modal dialog.
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

const std::string kSerialExample = "Example: Windows: COM1 Linux: /dev/ttyUSB0";
const std::string kNetworkExample = "Example: 192.168.1.50:5000";

// Runs `user` on the dialog once it is shown modally, then presses OK or Cancel.
void Answer(const std::function<void(QDialog&)>& user, QDialogButtonBox::StandardButton button) {
  QTimer::singleShot(0, [user, button] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
    user(*dialog);
    auto* box = dialog->findChild<QDialogButtonBox*>("buttonBox");
    QTest::mouseClick(box->button(button), Qt::LeftButton);
  });
}

// Alt+key on the dialog: the button takes the focus and clicks itself shortly after.
void Mnemonic(QDialog& dialog, Qt::Key key, const char* button) {
  QTest::keyClick(dialog.windowHandle(), key, Qt::AltModifier);
  auto* radio = dialog.findChild<QRadioButton*>(button);
  EXPECT_TRUE(QTest::qWaitFor([radio] { return radio->isChecked(); }, 5000)) << button;
}

std::string Placeholder(QDialog& dialog) {
  return dialog.findChild<QLineEdit*>("inputInterfaceText")->placeholderText().toStdString();
}

struct Case {
  const char* name;
  std::function<void(QDialog&)> user;
  QDialogButtonBox::StandardButton button;
  int type;
  std::string text;
};

TEST(SerialPortDialog, RecordsTheChoiceOnlyWhenAccepted) {
  auto type = [](QDialog& d, const char* keys) { QTest::keyClicks(d.focusWidget(), keys); };
  const Case cases[] = {
      {"untouched", [](QDialog&) {}, QDialogButtonBox::Ok, 1, ""},
      {"network with text",
       [&](QDialog& d) {
         Mnemonic(d, Qt::Key_N, "radioNetwork");
         EXPECT_EQ(Placeholder(d), kNetworkExample);
         QTest::mouseClick(d.findChild<QLineEdit*>("inputInterfaceText"), Qt::LeftButton);
         type(d, " 10.0.0.2:5000 ");
       },
       QDialogButtonBox::Ok, 2, " 10.0.0.2:5000 "},
      {"network and back to serial",
       [&](QDialog& d) {
         EXPECT_EQ(Placeholder(d), kSerialExample);
         type(d, "/dev/ttyUSB0");
         Mnemonic(d, Qt::Key_N, "radioNetwork");
         EXPECT_EQ(Placeholder(d), kNetworkExample);
         Mnemonic(d, Qt::Key_S, "radioSerial");
         EXPECT_EQ(Placeholder(d), kSerialExample);
       },
       QDialogButtonBox::Ok, 1, "/dev/ttyUSB0"},
      {"cancel after typing",
       [&](QDialog& d) {
         Mnemonic(d, Qt::Key_N, "radioNetwork");
         QTest::mouseClick(d.findChild<QLineEdit*>("inputInterfaceText"), Qt::LeftButton);
         type(d, "host:1");
       },
       QDialogButtonBox::Cancel, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SerialPortDialog dialog(nullptr);
    Answer(c.user, c.button);
    EXPECT_EQ(dialog.exec(), c.button == QDialogButtonBox::Ok ? QDialog::Accepted
                                                              : QDialog::Rejected);
    EXPECT_EQ(dialog.GetInterfaceType(), c.type);
    EXPECT_EQ(dialog.GetInterfaceString(), c.text);
  }
}

TEST(SerialPortDialog, FixedSizeWindowTitledInterfaceSelection) {
  SerialPortDialog dialog(nullptr);
  EXPECT_EQ(dialog.windowTitle(), "Interface Selection");
  EXPECT_EQ(dialog.minimumSize(), QSize(469, 90));
  EXPECT_EQ(dialog.maximumSize(), QSize(469, 90));
}

TEST(GuiGetInterface, ReturnsTheDialogsChoiceOrCancelled) {
  Answer([](QDialog& d) { QTest::keyClicks(d.focusWidget(), "/dev/ttyS3"); },
         QDialogButtonBox::Ok);
  GuiInterfaceSelection accepted = GuiGetInterface();
  EXPECT_FALSE(accepted.cancelled);
  EXPECT_EQ(accepted.type, 1);
  EXPECT_EQ(accepted.text, "/dev/ttyS3");

  Answer([](QDialog& d) { QTest::keyClicks(d.focusWidget(), "x"); }, QDialogButtonBox::Cancel);
  GuiInterfaceSelection cancelled = GuiGetInterface();
  EXPECT_TRUE(cancelled.cancelled);
  EXPECT_EQ(cancelled.type, 0);
  EXPECT_EQ(cancelled.text, "");
}

}  // namespace
