#include "target_status.h"

#include <QLabel>
#include <QTimer>

#include "kovra/log.h"

TargetStatus::TargetStatus(const std::string& name, QObject* parent)
    : QObject(parent), name_(name), label_(new QLabel()), timer_(new QTimer(this)) {
  timer_->setSingleShot(true);
  SetConnected(false);
  connect(timer_, &QTimer::timeout, this, [this] { SetConnected(false); },
          Qt::DirectConnection);
}

// The label belongs to whatever layout or status bar took it; one that never got a parent goes
// with the watchdog.
TargetStatus::~TargetStatus() {
  if (label_ && !label_->parent()) delete label_;
}

// The new state is stored before the signal goes out, so a receiver that marks the device
// disconnected from its handler (a failed reconnection) is not overridden afterwards: the
// watchdog then stays disconnected and the next record starts a new connection.
void TargetStatus::SetConnected(bool connected) {
  if (connected) {
    if (!connected_) {
      connected_ = true;
      label_->setText(QString::fromStdString(name_ + " Connected"));
      label_->setStyleSheet(QStringLiteral("color: yellow; background: green"));
      emit ConnectionChanged(true);
      if (!connected_) return;  // the handler gave up on the connection
      kovra::GetLog()->info("{} connected", name_);
    }
    timer_->start(kTimeoutMs);
    return;
  }
  connected_ = false;
  label_->setText(QString::fromStdString(name_ + " Disconnected"));
  label_->setStyleSheet(QStringLiteral("color: white; background: red"));
  emit ConnectionChanged(false);
  kovra::GetLog()->info("{} disconnected", name_);
  timer_->stop();
}
