#pragma once
// A one-line editor of one device parameter: caption, text field, "Get" and "Set". It talks to
// the parameter service directly (no model, so its writes raise no dataChanged). F5 in the
// field reads the parameter, Return writes the field's text (or reads when the field is empty).
#include <memory>
#include <string>

#include <QString>
#include <QWidget>

#include "korvane/param_ids.h"

class HostParam;
class ParameterService;
class QEvent;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;

class ParameterWidget : public QWidget {
  Q_OBJECT

 public:
  // Throws the catalogue's std::runtime_error for an id outside the catalogue.
  ParameterWidget(const std::string& name, ParamId id, ParameterService& service, QWidget* parent);
  ~ParameterWidget() override;

  bool eventFilter(QObject* watched, QEvent* event) override;

 signals:
  // After every read and write, with the text read or written.
  void ValueChanged(QString value);

 public slots:
  void SetRequested();
  void GetRequested();

 private:
  std::string name_;
  ParamId id_;
  ParameterService* service_;
  QPushButton* set_button_ = nullptr;
  QPushButton* get_button_ = nullptr;
  QLineEdit* edit_ = nullptr;
  QLabel* label_ = nullptr;
  QHBoxLayout* layout_ = nullptr;
  std::shared_ptr<HostParam> value_;
};
