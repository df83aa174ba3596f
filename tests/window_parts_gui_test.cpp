// The parameter model, the connection watchdog, the main window's form and the power switch,
// against the simulated devices.
#include <QAction>
#include <QLCDNumber>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

#include "on_off_widget.h"
#include "parameter_model.h"
#include "support/log_capture.h"
#include "support/window_fixture.h"
#include "target_status.h"
#include "ui_main_window.h"
#include "ui_on_off_widget.h"

namespace {

using namespace std::chrono_literals;

class ModelTest : public DeviceFixture {
 protected:
  void Wire() override { model_ = std::make_unique<ParameterModel>(*tx_, nullptr); }
  void Unwire() override { model_.reset(); }
  std::unique_ptr<ParameterModel> model_;
};

TEST_F(ModelTest, LooksUpRowsAndReadsAndWritesThroughTheService) {
  sim_->SetParameterList(TX, {{P(5), 7}, {P(13), 1}, {P(14), 0}, {P(34), 3000}, {P(36), 1},
                              {P(41), 0}});
  tx_->Enable(true);
  model_->UpdateModel();
  ASSERT_EQ(model_->rowCount(), 6);
  struct Case { int id; int row; };
  for (const Case& c : {Case{5, 0}, Case{34, 3}, Case{41, 5}, Case{60, -1}}) {
    const QModelIndex index = model_->ParamIdToIndex(P(c.id));
    EXPECT_EQ(index.isValid() ? index.row() : -1, c.row) << c.id;
    if (c.row >= 0) {
      EXPECT_EQ(model_->IndexToParamId(index), P(c.id));
    }
  }
  EXPECT_EQ(model_->IndexToParamId(QModelIndex()), PARAM_ID_NONE);
  EXPECT_EQ(model_->IndexToParamId(model_->index(6, 0)), PARAM_ID_NONE);
  EXPECT_EQ(model_->data(P(5)).toString(), "7");
  EXPECT_FALSE(model_->data(model_->index(0, 0), Qt::EditRole).isValid());
  EXPECT_FALSE(model_->stageParameter(PARAM_ID_NONE));
  EXPECT_EQ(model_->headerData(7, Qt::Horizontal).toString(), "Value");
  EXPECT_FALSE(model_->headerData(6, Qt::Vertical).isValid());

  // One dataChanged, for the written row, before setData returns; none on a refusal.
  QSignalSpy changed(model_.get(), &ParameterModel::dataChanged);
  EXPECT_TRUE(model_->setData(P(34), QVariant(2500), Qt::EditRole));
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed[0][0].toModelIndex(), model_->ParamIdToIndex(P(34)));
  uint32_t raw = 0;
  ASSERT_TRUE(sim_->GetValue(TX, P(34), &raw));
  EXPECT_EQ(raw, 2500u);
  sim_->SetStatusZero(TX, P(34), true);
  EXPECT_FALSE(model_->setData(P(34), QVariant(1), Qt::EditRole));
  EXPECT_EQ(changed.count(), 1);
  EXPECT_FALSE(model_->LastRequestTimedOut());

  // A refused read is quiet; a read that times out is logged.
  LogCapture log;
  EXPECT_FALSE(model_->data(P(34)).isValid());
  EXPECT_EQ(log.CountContaining("ParameterModel::getData"), 0);
  sim_->SetSilent(TX, true);
  EXPECT_FALSE(model_->data(P(5)).isValid());
  EXPECT_EQ(log.Count("ParameterModel::getData - parameter service threw an exception: "
                      "Parameter request timed out"), 1);
  EXPECT_TRUE(model_->LastRequestTimedOut());
}

TEST_F(ModelTest, KeepsItsRowsUntilRefreshedAndMapsADuplicateToItsLaterRow) {
  tx_->Enable(true);
  sim_->SetParameterList(TX, {{P(5), 0}, {P(34), 0}, {P(34), 0}, {P(60), 0}});
  model_->UpdateModel();
  EXPECT_EQ(model_->ParamIdToIndex(P(34)).row(), 2);
  EXPECT_EQ(model_->ParamIdToIndex(P(60)).row(), 3);
  sim_->SetParameterList(TX, {{P(1), 0}, {P(60), 0}});
  tx_->UpdateParametersList();  // behind the model's back
  EXPECT_EQ(model_->ParamIdToIndex(P(60)).row(), 3);
  // One signal per row, in order; a listener that reads for every row reads once per refresh.
  QSignalSpy changed(model_.get(), &ParameterModel::dataChanged);
  QObject::connect(model_.get(), &ParameterModel::dataChanged, [this] { model_->data(P(60)); });
  sim_->ClearRecords();
  model_->RefreshModel();
  ASSERT_EQ(changed.count(), 2);
  for (int row = 0; row < 2; ++row)
    EXPECT_EQ(changed[row], QVariantList({model_->index(row, 0), model_->index(row, 0),
                                          QVariant::fromValue(QVector<int>())}));
  EXPECT_EQ(sim_->ParameterRequests(TX).size(), 1u);
  EXPECT_EQ(model_->ParamIdToIndex(P(60)).row(), 1);
}

TEST(TargetStatusTest, FollowsRecordsAndTimesOutOnce) {
  LogCapture log;
  TargetStatus status("TX", nullptr);
  EXPECT_EQ(status.GetLabel()->text(), "TX Disconnected");
  QSignalSpy changes(&status, &TargetStatus::ConnectionChanged);
  for (int i = 0; i < 3; ++i) {
    status.SetConnected(true);
    QTest::qWait(1000);
  }
  EXPECT_EQ(changes.count(), 1);
  EXPECT_EQ(log.Count("TX connected"), 1);
  EXPECT_EQ(status.GetLabel()->styleSheet(), "color: yellow; background: green");
  ASSERT_TRUE(changes.wait(3000));
  EXPECT_EQ(changes.count(), 2);
  EXPECT_FALSE(changes[1][0].toBool());
  EXPECT_FALSE(status.IsConnected());
  QTest::qWait(2500);
  EXPECT_EQ(changes.count(), 2);
  status.SetConnected(false);
  EXPECT_EQ(changes.count(), 3);
}

TEST(TargetStatusTest, AHandlerThatGivesUpLeavesItDisconnected) {
  TargetStatus status("TX", nullptr);
  int attempts = 0;
  QObject::connect(&status, &TargetStatus::ConnectionChanged, &status, [&](bool on) {
    if (on && ++attempts == 1) status.SetConnected(false);
  });
  status.SetConnected(true);
  EXPECT_FALSE(status.IsConnected());
  EXPECT_EQ(status.GetLabel()->text(), "TX Disconnected");
  status.SetConnected(true);  // the next record tries again
  EXPECT_EQ(attempts, 2);
  EXPECT_TRUE(status.IsConnected());
}

class FormTest : public WindowFixture {};

template <typename T>
void ExpectChild(QObject* root, const char* name) {
  EXPECT_NE(root->findChild<T*>(QString::fromLatin1(name)), nullptr) << name;
}

TEST_F(FormTest, HoldsEveryObjectTheWindowUsesAndTheMenuInOrder) {
  QMainWindow* w = window_.get();
  for (const char* name : {"label_tx_state", "label_rx_state", "config_info", "korvane_logo"})
    ExpectChild<QLabel>(w, name);
  for (const char* name : {"reading_battery_voltage", "reading_battery_current",
                           "reading_battery_power", "reading_rectified_voltage",
                           "reading_tx_power", "reading_efficiency"})
    ExpectChild<QLCDNumber>(w, name);
  ExpectChild<QTextEdit>(w, "log_text");
  ExpectChild<QPushButton>(w, "log_button");
  ExpectChild<QPushButton>(w, "log_dir_button");
  ExpectChild<QLineEdit>(w, "log_dir_edit");
  ExpectChild<QWidget>(w, "start_stop");
  ExpectChild<QMenu>(w, "menuFile");
  QStringList menu;
  for (QAction* a : window_->Form()->menuFile->actions())
    menu << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
  EXPECT_EQ(menu.join(' ').toStdString(),
            "actionCharge_Config actionFirmware_Update actionSet_RX_I2C_Address "
            "actionNetwork_Configuration actionMake_current_power_state_default - actionE_xit");
  EXPECT_FALSE(window_->Form()->korvane_logo->pixmap(Qt::ReturnByValue).isNull());
  EXPECT_FALSE(window_->windowIcon().isNull());
}

class SwitchTest : public DeviceFixture {
 protected:
  void Wire() override {
    model_ = std::make_unique<ParameterModel>(*tx_, nullptr);
    status_ = std::make_unique<TargetStatus>("TX", nullptr);
  }
  void Unwire() override {
    status_.reset();
    model_.reset();
  }
  std::unique_ptr<ParameterModel> model_;
  std::unique_ptr<TargetStatus> status_;
};

TEST_F(SwitchTest, ShowsTheDeviceStateAfterEveryPress) {
  tx_->Enable(true);
  model_->UpdateModel();  // the seed list lacks 60
  struct Case { bool inverted; uint32_t answer; bool refused; bool checked; const char* text; };
  const Case cases[] = {
      {false, 1, false, true, "On"}, {false, 0, false, false, "Off"},
      {true, 1, false, true, "Off"}, {true, 0, false, false, "On"},
      {false, 1, true, false, "Off"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.inverted << c.answer << c.refused);
    status_->SetConnected(false);
    OnOffWidget w(P(60), model_.get(), status_.get(), c.inverted, "On", "Off", nullptr);
    QPushButton* button = w.Form()->on_off_button;
    EXPECT_FALSE(button->isEnabled());
    status_->SetConnected(true);
    ASSERT_TRUE(button->isEnabled());
    sim_->SetStatusZero(TX, P(60), c.refused);
    sim_->SetValue(TX, P(60), 1 - c.answer);
    QSignalSpy clicked(&w, &OnOffWidget::clicked);
    QSignalSpy read_back(&w, &OnOffWidget::DataChanged);
    const bool press = c.answer == 1;
    button->setChecked(!press);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->isChecked(), c.checked);
    EXPECT_EQ(button->text().toStdString(), c.text);
    EXPECT_EQ(read_back.count(), 1);  // a failed write is read back too
    EXPECT_EQ(w.LastPress(), c.refused ? OnOffWidget::PressOutcome::kRefused
                                       : OnOffWidget::PressOutcome::kTaken);
    ASSERT_EQ(clicked.count(), 1);  // every press, whatever became of it
    EXPECT_EQ(clicked[0][0].toBool(), press);
    if (!c.refused) {
      uint32_t raw = 99;
      sim_->GetValue(TX, P(60), &raw);
      EXPECT_EQ(raw, c.answer);
    }
  }
  sim_->SetStatusZero(TX, P(60), false);

  // A change the model reports for another row leaves the switch alone; its own row is read.
  OnOffWidget w(P(60), model_.get(), status_.get(), false, "On", "Off", nullptr);
  sim_->SetValue(TX, P(60), 1);  // behind the switch's back
  for (const auto& [id, reads] : {std::pair(13, 0u), {60, 1u}}) {
    sim_->ClearRecords();
    ASSERT_TRUE(model_->setData(P(id), QVariant(1), Qt::EditRole));  // as another view writes
    size_t n = 0;
    for (const Parameter& p : sim_->ParameterRequests(TX)) n += p.command == GET_PARAMETER;
    EXPECT_EQ(n, reads) << id;
    EXPECT_EQ(w.Form()->on_off_button->isChecked(), reads > 0) << id;
  }
}

}  // namespace
