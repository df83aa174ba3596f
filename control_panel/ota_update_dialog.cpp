#include "ota_update_dialog.h"

#include <mutex>
#include <string>

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include "kovra/ota.h"
#include "ui_ota_update_dialog.h"

struct OtaUpdateDialog::CompletionTarget {
  std::mutex mutex;
  OtaUpdateDialog* dialog;
};

OtaUpdateDialog::OtaUpdateDialog(QWidget* /*parent*/, ParameterService& txParams,
                                 ParameterService& rxParams, OtaService& ota)
    : QWidget(nullptr),
      ui_(std::make_unique<Ui_OtaUpdateDialog>()),
      txParams_(txParams),
      rxParams_(rxParams),
      ota_(ota),
      completion_(std::make_shared<CompletionTarget>()) {
  completion_->dialog = this;
  ui_->setupUi(this);
  connect(ui_->update_button, &QPushButton::clicked, this, &OtaUpdateDialog::OtaUpdate);
  connect(ui_->cancel_button, &QPushButton::clicked, this, &OtaUpdateDialog::hide);
  connect(ui_->browse_button, &QPushButton::clicked, this, &OtaUpdateDialog::ChooseFile,
          Qt::DirectConnection);
  // Emitted on the update thread: the handler runs queued on the GUI thread.
  connect(this, &OtaUpdateDialog::NewOtaUpdateCompleteMessage, this,
          &OtaUpdateDialog::UpdateComplete);
}

OtaUpdateDialog::~OtaUpdateDialog() {
  std::lock_guard<std::mutex> lock(completion_->mutex);
  completion_->dialog = nullptr;
}

void OtaUpdateDialog::ChooseFile() {
  const QString name = QFileDialog::getOpenFileName(
      this, tr("Open Firmware Image"), QDir::homePath(), tr("Korvane Firmware Update (*.bin)"));
  if (!name.isEmpty()) ui_->fw_image_edit->setText(name);
}

void OtaUpdateDialog::OtaUpdate() {
  UpdateInProgress(true);
  std::string path = QFileInfo(ui_->fw_image_edit->text()).absoluteFilePath().toStdString();
  ota_.Start(rxParams_, txParams_, std::move(path), [target = completion_](bool success) {
    std::lock_guard<std::mutex> lock(target->mutex);
    if (target->dialog) emit target->dialog->NewOtaUpdateCompleteMessage(success);
  });
}

void OtaUpdateDialog::UpdateInProgress(bool lock_gui) {
  for (QWidget* control : std::initializer_list<QWidget*>{ui_->update_button, ui_->cancel_button,
                                                          ui_->browse_button, ui_->fw_image_edit}) {
    control->setEnabled(!lock_gui);
  }
  ui_->progress_update->setMaximum(lock_gui ? 0 : 100);
}

void OtaUpdateDialog::UpdateComplete(bool success) {
  auto* box = new QMessageBox(this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setStandardButtons(QMessageBox::Ok);
  box->setWindowTitle(tr("Korvane OTA Update"));
  if (success) {
    box->setText(tr("OTA Update successful. \n\nPlease power cycle both RX and TX devices."));
    box->setIcon(QMessageBox::Information);
  } else {
    box->setText(tr("OTA Update unsuccessful"));
    box->setIcon(QMessageBox::Critical);
  }
  UpdateInProgress(false);
  box->exec();
  // Every update, successful or not, ends the program.
  QCoreApplication::quit();
}
