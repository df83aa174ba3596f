#include "parameter_widget.h"

#include <stdexcept>

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "kovra/log.h"
#include "kovra/parameter_service.h"
#include "kovra/parameters.h"

ParameterWidget::ParameterWidget(const std::string& name, ParamId id, ParameterService& service,
                                 QWidget* parent)
    : QWidget(parent), name_(name), id_(id), service_(&service) {
  value_ = CreateHostParam(id);

  label_ = new QLabel(QString::fromStdString(name_), this);
  edit_ = new QLineEdit(this);
  get_button_ = new QPushButton("Get", this);
  set_button_ = new QPushButton("Set", this);
  // Clicking a button leaves the keyboard focus in the field.
  get_button_->setFocusPolicy(Qt::NoFocus);
  set_button_->setFocusPolicy(Qt::NoFocus);
  edit_->installEventFilter(this);

  layout_ = new QHBoxLayout(this);
  layout_->addWidget(label_);
  layout_->addWidget(edit_);
  layout_->addWidget(get_button_);
  layout_->addWidget(set_button_);

  connect(set_button_, &QPushButton::clicked, this, &ParameterWidget::SetRequested);
  connect(get_button_, &QPushButton::clicked, this, &ParameterWidget::GetRequested);
  connect(edit_, &QLineEdit::returnPressed, this, &ParameterWidget::SetRequested);
}

ParameterWidget::~ParameterWidget() = default;

void ParameterWidget::SetRequested() {
  const QString text = edit_->text();
  if (text.isEmpty()) {
    GetRequested();
    return;
  }
  try {
    // A refused write is not reported: the field keeps the text.
    service_->Set(id_, text.toStdString());
  } catch (const std::runtime_error& e) {
    kovra::GetLog()->error(
        "ParameterWidget::SetRequested - parameter service threw an exception: {}", e.what());
    return;
  }
  edit_->selectAll();
  edit_->setFocus();
  emit ValueChanged(text);
}

void ParameterWidget::GetRequested() {
  std::string value;
  try {
    if (!service_->Get(id_, &value)) value.clear();
  } catch (const std::runtime_error& e) {
    kovra::GetLog()->error(
        "ParameterWidget::GetRequested - parameter service threw an exception: {}", e.what());
    return;
  }
  const QString text = QString::fromStdString(value);
  edit_->setText(text);
  edit_->selectAll();
  edit_->setFocus();
  emit ValueChanged(text);
}

bool ParameterWidget::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_F5) {
    GetRequested();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}
