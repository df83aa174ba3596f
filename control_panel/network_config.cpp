#include "network_config.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegExp>
#include <QRegExpValidator>
#include <QShowEvent>
#include <QStringList>
#include <fmt/format.h>

#include "kovra/log.h"
#include "parameter_model.h"
#include "ui_network_config.h"

namespace {

constexpr ParamId kIpAddress = static_cast<ParamId>(45);
constexpr ParamId kSubnetMask = static_cast<ParamId>(46);
constexpr ParamId kGateway = static_cast<ParamId>(47);
constexpr ParamId kDnsServer = static_cast<ParamId>(48);
constexpr ParamId kUseDhcp = static_cast<ParamId>(49);
constexpr ParamId kMacOui = static_cast<ParamId>(51);
constexpr ParamId kMacIndividual = static_cast<ParamId>(52);

// Four decimal numbers from 0 to 255 (leading zeros allowed) separated by single points.
const QString kOctet = "(?:[0-1]?[0-9]?[0-9]|2[0-4][0-9]|25[0-5])";
const QString kAddressPattern =
    "^" + kOctet + "\\." + kOctet + "\\." + kOctet + "\\." + kOctet + "$";

QString DottedAddress(uint32_t value) {
  return QString::fromStdString(fmt::format("{0:d}.{1:d}.{2:d}.{3:d}", value >> 24,
                                            (value >> 16) & 255, (value >> 8) & 255, value & 255));
}

// The value of a complete dotted address (a.b.c.d is a x 2^24 + b x 2^16 + c x 2^8 + d); false
// for any other text, of which no part is read.
bool ParseAddress(const QLineEdit& field, uint32_t* value) {
  if (!field.hasAcceptableInput()) return false;
  const QStringList parts = field.text().split(QLatin1Char('.'), Qt::KeepEmptyParts);
  if (parts.size() != 4) return false;
  uint32_t result = 0;
  for (const QString& part : parts) result = (result << 8) | (part.toUInt(nullptr, 10) & 255u);
  *value = result;
  return true;
}

}  // namespace

NetworkConfig::NetworkConfig(ParameterModel* model, QDialog* parent)
    : QDialog(parent), model_(model), ui_(std::make_unique<Ui_NetworkConfig>()) {
  ui_->setupUi(this);
  connect(ui_->buttonBox, &QDialogButtonBox::accepted, this, &NetworkConfig::accept);
  connect(ui_->buttonBox, &QDialogButtonBox::rejected, this, &NetworkConfig::reject);

  auto* validator = new QRegExpValidator(QRegExp(kAddressPattern, Qt::CaseSensitive), this);
  for (QLineEdit* field :
       {ui_->eth_ip_addr_edit, ui_->eth_net_mask_edit, ui_->eth_gateway_edit, ui_->eth_dns_edit}) {
    field->setValidator(validator);
    // A field marked incomplete by Ok is unmarked as soon as the user edits it.
    connect(field, &QLineEdit::textEdited, field, [field] { field->setStyleSheet(QString()); });
  }
  // DHCP shown as unknown (its read failed) becomes a plain on/off choice once the user sets it.
  QCheckBox* dhcp = ui_->eth_use_dhcp_check;
  connect(dhcp, &QCheckBox::clicked, dhcp, [dhcp] { dhcp->setTristate(false); });
}

NetworkConfig::~NetworkConfig() = default;

void NetworkConfig::showEvent(QShowEvent* event) {
  UpdateData();
  // The form's size suits a small desktop font: grow the window when the texts need more room.
  const int needed = heightForWidth(width());
  if (needed > height()) resize(width(), needed);
  QDialog::showEvent(event);
}

void NetworkConfig::UpdateData() {
  // One time-out at most when the transmitter does not answer: the rest then shows as failed.
  ParameterModel::ReadPass pass(*model_);
  // A read that failed is shown empty (an address) or as unknown (DHCP), never as a value: Ok
  // must not write a value the transmitter never gave and the user never entered.
  const std::array<std::pair<QLineEdit*, ParamId>, 4> addresses = {{
      {ui_->eth_ip_addr_edit, kIpAddress},
      {ui_->eth_net_mask_edit, kSubnetMask},
      {ui_->eth_gateway_edit, kGateway},
      {ui_->eth_dns_edit, kDnsServer},
  }};
  for (const auto& [field, id] : addresses) {
    const QVariant value = model_->data(id);
    field->setStyleSheet(QString());
    field->setText(value.isValid() ? DottedAddress(value.toUInt()) : QString());
  }
  const QVariant individual = model_->data(kMacIndividual);
  const QVariant oui = model_->data(kMacOui);
  const QVariant dhcp = model_->data(kUseDhcp);

  QCheckBox* check = ui_->eth_use_dhcp_check;
  check->setTristate(!dhcp.isValid());
  check->setCheckState(!dhcp.isValid()      ? Qt::PartiallyChecked
                       : dhcp.toInt() != 0  ? Qt::Checked
                                            : Qt::Unchecked);
  if (individual.isValid() && oui.isValid()) {
    const uint64_t mac = (static_cast<uint64_t>(oui.toUInt() & 0xFFFFFFu) << 24) |
                         (individual.toUInt() & 0xFFFFFFu);
    ui_->eth_mac_addr_edit->setText(QString::fromStdString(fmt::format("{:012X}", mac)));
  } else {
    ui_->eth_mac_addr_edit->clear();
  }
}

bool NetworkConfig::DhcpKnown() const {
  return ui_->eth_use_dhcp_check->checkState() != Qt::PartiallyChecked;
}

bool NetworkConfig::SetParameterNetworkConfiguration() {
  const std::array<std::pair<QLineEdit*, ParamId>, 4> addresses = {{
      {ui_->eth_ip_addr_edit, kIpAddress},
      {ui_->eth_net_mask_edit, kSubnetMask},
      {ui_->eth_gateway_edit, kGateway},
      {ui_->eth_dns_edit, kDnsServer},
  }};

  bool written = true;
  for (const auto& [field, id] : addresses) {
    uint32_t value = 0;
    if (!ParseAddress(*field, &value)) {
      written = false;
      continue;
    }
    written = model_->setData(id, QVariant(static_cast<uint>(value)), Qt::EditRole) && written;
  }
  if (DhcpKnown()) {
    const bool dhcp = ui_->eth_use_dhcp_check->isChecked();
    written = model_->setData(kUseDhcp, QVariant(dhcp ? 1 : 0), Qt::EditRole) && written;
  }
  return written;
}

void NetworkConfig::accept() {
  // An incomplete address is never sent: the dialog stays open and names the field.
  const std::array<std::pair<QLineEdit*, const char*>, 4> addresses = {{
      {ui_->eth_ip_addr_edit, "IP Address"},
      {ui_->eth_net_mask_edit, "Subnet Mask"},
      {ui_->eth_gateway_edit, "Gateway"},
      {ui_->eth_dns_edit, "DNS"},
  }};
  for (const auto& [field, name] : addresses) {
    if (field->hasAcceptableInput()) continue;
    field->setStyleSheet("background-color: #ffd0d0;");
    field->setFocus();
    field->selectAll();
    QMessageBox::warning(this, "Error",
                         QString::fromStdString(fmt::format(
                             "{} is not a complete address. Please enter four numbers from 0 "
                             "to 255 separated by points.",
                             name)),
                         QMessageBox::Ok);
    return;
  }

  // Every request is made whatever the earlier ones returned.
  bool saved = SetParameterNetworkConfiguration();
  for (ParamId id : {kIpAddress, kSubnetMask, kGateway, kDnsServer, kUseDhcp}) {
    if (id == kUseDhcp && !DhcpKnown()) continue;
    saved = model_->stageParameter(id) && saved;
  }
  saved = model_->commitStagedParameters() && saved;

  if (saved) {
    kovra::GetLog()->info("Network Configuration Saved");
  } else {
    kovra::GetLog()->error("Error Saving Network Configuration");
    // The user is told too; the dialog then closes as after a save, and the next show reloads
    // what the transmitter holds.
    QMessageBox::critical(this, "Error", "Error Saving Network Configuration", QMessageBox::Ok);
  }
  QDialog::accept();
}

void NetworkConfig::reject() { QDialog::reject(); }
