#pragma once
// A list model over one device's parameter service: one row per id of the service's list, the
// value of a row read from the device as decimal text each time it is asked for. The window and
// the dialogs read and write parameters by id through it and follow its dataChanged signal.
#include <map>

#include <QAbstractListModel>
#include <QModelIndex>
#include <QVariant>

#include "korvane/param_ids.h"

class ParameterService;

class ParameterModel : public QAbstractListModel {
  Q_OBJECT

 public:
  ParameterModel(ParameterService& service, QObject* parent);
  ~ParameterModel() override;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value,
               int role = Qt::EditRole) override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // By parameter id: the same as above on the id's row.
  QVariant data(ParamId id);
  bool setData(ParamId id, const QVariant& value, int role);
  // Marks one parameter for saving / saves every marked one on the device.
  bool stageParameter(ParamId id);
  bool commitStagedParameters();

  // The row of an id (invalid when the list lacks it), and the id of a row (PARAM_ID_NONE for
  // an index that names no row).
  QModelIndex ParamIdToIndex(ParamId id);
  ParamId IndexToParamId(const QModelIndex& index) const;

  // Reloads the list from the device, then RefreshModel. Throws what the service throws.
  void UpdateModel();
  // Forgets the row lookup and announces every row as changed.
  void RefreshModel();

 private:
  ParameterService& service_;
  std::map<ParamId, int> rows_;
};
