#include "on_off_widget.h"

#include "parameter_model.h"
#include "target_status.h"
#include "ui_on_off_widget.h"

namespace {

QString SwitchStyle(const char* background, const char* pressed) {
  return QStringLiteral(
             "QPushButton {color: rgb(255, 255, 255);%1outline: none;border-style: outset;"
             "border-width: 4px;border-radius: 8px;border-color: beige;padding: 6px;}\n"
             "QPushButton:pressed {border-style: inset;%2}\n"
             "QPushButton:disabled {background-color: gray;}")
      .arg(QLatin1String(background), QLatin1String(pressed));
}

}  // namespace

OnOffWidget::OnOffWidget(ParamId id, ParameterModel* model, TargetStatus* status, bool inverted,
                         const std::string& on_text, const std::string& off_text,
                         QWidget* parent)
    : QWidget(parent),
      ui_(new Ui_OnOffWidget),
      inverted(inverted),
      model_(model),
      status_(status),
      id_(id),
      on_text_(on_text),
      off_text_(off_text) {
  ui_->setupUi(this);
  // The write and its read-back run before the click is passed on.
  connect(ui_->on_off_button, &QPushButton::clicked, this, &OnOffWidget::SwitchPressed);
  connect(ui_->on_off_button, &QPushButton::clicked, this, &OnOffWidget::clicked);
  connect(model_, &ParameterModel::dataChanged, this, &OnOffWidget::UpdateData);
  connect(status_, &TargetStatus::ConnectionChanged, ui_->on_off_button,
          &QPushButton::setEnabled);
  ui_->on_off_button->setEnabled(status_->IsConnected());
  ui_->on_off_button->setToolTip(QStringLiteral("Press to toggle on/off"));
  UpdateStyleSheet(status_->IsConnected());
}

OnOffWidget::~OnOffWidget() { delete ui_; }

void OnOffWidget::SwitchPressed(bool on) {
  if (model_->setData(model_->ParamIdToIndex(id_), QVariant(on ? 1 : 0), Qt::EditRole)) {
    // dataChanged has read the state back already; the button shows the state written, checked
    // state included, also when that read went unanswered, so that the next press asks for the
    // opposite.
    ui_->on_off_button->setChecked(on);
    UpdateStyleSheet(on);
    last_press_ = PressOutcome::kTaken;
    return;
  }
  if (model_->LastRequestNotSent()) {
    // Nothing reached the device, so it holds what it held: the press is undone, unread.
    ui_->on_off_button->setChecked(!on);
    last_press_ = PressOutcome::kNotSent;
    return;
  }
  // A refusal changed nothing, but a write whose answers were lost may have been applied: show
  // what the device holds rather than what it held before.
  const bool unanswered = model_->LastRequestTimedOut();
  const QVariant held = ShowDeviceState();
  if (held.isValid() && (held.toInt() != 0) == on) {
    last_press_ = PressOutcome::kTaken;
  } else {
    last_press_ = unanswered ? PressOutcome::kUnanswered : PressOutcome::kRefused;
  }
}

void OnOffWidget::UpdateData(const QModelIndex& topLeft, const QModelIndex& /*bottomRight*/,
                             const QVector<int>& /*roles*/) {
  if (topLeft != model_->ParamIdToIndex(id_)) return;
  ShowDeviceState();
}

QVariant OnOffWidget::ShowDeviceState() {
  const QVariant value = model_->data(model_->ParamIdToIndex(id_), Qt::DisplayRole);
  const bool on = value.toInt() != 0;
  ui_->on_off_button->setChecked(on);
  UpdateStyleSheet(on);
  emit DataChanged(value.toBool());
  return value;
}

void OnOffWidget::UpdateStyleSheet(bool state) {
  if (state != inverted) {
    ui_->on_off_button->setText(QString::fromStdString(on_text_));
    ui_->on_off_button->setStyleSheet(
        SwitchStyle("background-color: #00bb00;", "background-color: #009900;"));
  } else {
    ui_->on_off_button->setText(QString::fromStdString(off_text_));
    ui_->on_off_button->setStyleSheet(
        SwitchStyle("background-color: #cc0000;", "background-color: #aa0000;"));
  }
}
