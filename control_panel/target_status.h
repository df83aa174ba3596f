#pragma once
// Connection watchdog of one device: the device counts as connected while its telemetry keeps
// arriving. Each SetConnected(true) restarts a 2000 ms period; when one runs out the device
// counts as disconnected. Owns a status label for the status bar (its parent there owns it).
#include <string>

#include <QObject>
#include <QPointer>
#include <QLabel>

class QTimer;

class TargetStatus : public QObject {
  Q_OBJECT

 public:
  static constexpr int kTimeoutMs = 2000;

  TargetStatus(const std::string& name, QObject* parent);
  ~TargetStatus() override;

  bool IsConnected() const { return connected_; }
  QLabel* GetLabel() { return label_; }

 signals:
  // Every transition to connected, and every call with false.
  void ConnectionChanged(bool connected);

 public slots:
  void SetConnected(bool connected);

 private:
  bool connected_ = false;
  std::string name_;
  QPointer<QLabel> label_;
  QTimer* timer_;
};
