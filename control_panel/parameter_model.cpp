#include "parameter_model.h"

#include <stdexcept>
#include <string>

#include "kovra/async_rpc.h"
#include "kovra/log.h"
#include "kovra/parameter_service.h"

namespace {

bool TimedOut(const std::runtime_error& e) {
  return dynamic_cast<const RequestTimedOut*>(&e) != nullptr;
}

}  // namespace

ParameterModel::ParameterModel(ParameterService& service, QObject* parent)
    : QAbstractListModel(parent), service_(service) {}

ParameterModel::~ParameterModel() = default;

int ParameterModel::rowCount(const QModelIndex& /*parent*/) const {
  return static_cast<int>(service_.GetParameters().size());
}

QVariant ParameterModel::data(const QModelIndex& index, int role) const {
  last_timed_out_ = false;
  last_not_sent_ = true;
  if (!index.isValid() || index.row() >= rowCount()) return QVariant();
  if (role != Qt::DisplayRole) return QVariant();
  const ParamId id = IndexToParamId(index);
  if (id == PARAM_ID_NONE) return QVariant();
  last_not_sent_ = !service_.Enabled();
  const bool in_pass = pass_depth_ > 0;
  if (in_pass) {
    if (pass_timed_out_) {
      last_timed_out_ = true;
      return QVariant();
    }
    const auto it = pass_values_.find(id);
    if (it != pass_values_.end()) return it->second;
  }
  QVariant value;
  try {
    std::string text;
    if (service_.Get(id, &text)) value = QVariant(QString::fromStdString(text));
  } catch (const std::runtime_error& e) {
    kovra::GetLog()->error("ParameterModel::getData - parameter service threw an exception: {}",
                           e.what());
    last_timed_out_ = TimedOut(e);
    if (in_pass) pass_timed_out_ = true;
    return QVariant();
  }
  if (in_pass) pass_values_[id] = value;
  return value;
}

bool ParameterModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  last_timed_out_ = false;
  last_not_sent_ = true;
  if (!index.isValid() || role != Qt::EditRole) return false;
  const ParamId id = IndexToParamId(index);
  if (id == PARAM_ID_NONE) return false;
  last_not_sent_ = !service_.Enabled();
  pass_values_.erase(id);
  try {
    const bool ok = service_.Set(id, value.toString().toStdString());
    if (ok) emit dataChanged(index, index, {});
    return ok;
  } catch (const std::runtime_error& e) {
    kovra::GetLog()->error("ParameterModel::setData - parameter service threw an exception: {}",
                           e.what());
    last_timed_out_ = TimedOut(e);
  }
  return false;
}

QVariant ParameterModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return QVariant();
  if (orientation == Qt::Horizontal) return QVariant(QStringLiteral("Value"));
  const auto& ids = service_.GetParameters();
  if (section < 0 || static_cast<size_t>(section) >= ids.size()) return QVariant();
  return QVariant(QString::fromStdString(ParameterService::GetParameterName(ids[section])));
}

Qt::ItemFlags ParameterModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsEnabled;
  return QAbstractItemModel::flags(index) | Qt::ItemIsEditable;
}

QVariant ParameterModel::data(ParamId id) { return data(ParamIdToIndex(id), Qt::DisplayRole); }

bool ParameterModel::setData(ParamId id, const QVariant& value, int role) {
  return setData(ParamIdToIndex(id), value, role);
}

bool ParameterModel::stageParameter(ParamId id) {
  last_timed_out_ = false;
  last_not_sent_ = id == PARAM_ID_NONE;
  if (id == PARAM_ID_NONE) return false;
  try {
    return service_.Stage(id);
  } catch (const std::runtime_error& e) {
    kovra::GetLog()->error(
        "ParameterModel::stagedParameter - parameter service threw an exception: {}", e.what());
    last_timed_out_ = TimedOut(e);
  }
  return false;
}

bool ParameterModel::commitStagedParameters() {
  last_timed_out_ = false;
  last_not_sent_ = false;
  try {
    return service_.CommitStaged();
  } catch (const std::runtime_error& e) {
    kovra::GetLog()->error(
        "ParameterModel::commitStagedParameters - parameter service threw an exception: {}",
        e.what());
    last_timed_out_ = TimedOut(e);
  }
  return false;
}

QModelIndex ParameterModel::ParamIdToIndex(ParamId id) {
  if (rows_.empty()) {
    const auto& ids = service_.GetParameters();
    for (size_t i = 0; i < ids.size(); ++i) rows_[ids[i]] = static_cast<int>(i);
  }
  const auto it = rows_.find(id);
  if (it == rows_.end()) return QModelIndex();
  return createIndex(it->second, 0);
}

ParamId ParameterModel::IndexToParamId(const QModelIndex& index) const {
  const auto& ids = service_.GetParameters();
  if (!index.isValid() || index.row() < 0 || static_cast<size_t>(index.row()) >= ids.size()) {
    return PARAM_ID_NONE;
  }
  return ids[static_cast<size_t>(index.row())];
}

void ParameterModel::UpdateModel() {
  service_.UpdateParametersList();
  RefreshModel();
}

// Listeners that show several parameters re-read them all for every row; the pass makes each
// of those reads after the first free, and a silent device costs one time-out per refresh. The
// row count is asked again before each row: a listener may reload the list.
void ParameterModel::RefreshModel() {
  rows_.clear();
  ReadPass pass(*this);
  for (int row = 0; row < rowCount(); ++row) {
    const QModelIndex changed = index(row, 0);
    emit dataChanged(changed, changed, {});
  }
}

ParameterModel::ReadPass::ReadPass(ParameterModel& model) : model_(model) {
  ++model_.pass_depth_;
}

ParameterModel::ReadPass::~ReadPass() {
  if (--model_.pass_depth_ > 0) return;
  model_.pass_timed_out_ = false;
  model_.pass_values_.clear();
}
