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
  // Forgets the row lookup and announces every row as changed: one dataChanged per row, in row
  // order (none for an empty list). The whole refresh is one ReadPass, so listeners that re-read
  // for every row still read each value once.
  void RefreshModel();

  // Whether the last read, write, stage or commit failed because the device did not answer
  // (rather than refusing, or no request being made).
  bool LastRequestTimedOut() const { return last_timed_out_; }
  // Whether the last read or write failed without a request being made: the list lacks the
  // id, or the service is disabled (the device is not connected).
  bool LastRequestNotSent() const { return last_not_sent_; }

  // While a pass is open, each id is read from the device at most once (later reads of it give
  // the same answer), and once a read has timed out nothing more is asked of the device: every
  // further read fails at once, as a failed read does. A silent device then costs one time-out
  // per pass instead of one per value. A write forgets what the pass read of its id. Passes
  // nest; the outermost one ends the pass.
  class ReadPass {
   public:
    explicit ReadPass(ParameterModel& model);
    ~ReadPass();
    ReadPass(const ReadPass&) = delete;
    ReadPass& operator=(const ReadPass&) = delete;

   private:
    ParameterModel& model_;
  };

 private:
  ParameterService& service_;
  std::map<ParamId, int> rows_;
  mutable bool last_timed_out_ = false;
  mutable bool last_not_sent_ = false;
  // The open pass: its depth, what it read, and whether a read of it timed out.
  mutable int pass_depth_ = 0;
  mutable bool pass_timed_out_ = false;
  mutable std::map<ParamId, QVariant> pass_values_;
};
