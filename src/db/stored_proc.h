// The stored-procedure component: the procedure's name, its parameter list
// refreshed from the database (position 0 the return value), parameters by
// position and by name, execution without rows and opening for rows.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/dataset.h"
#include "shared/proc_runner.h"

namespace tillbase::db {

// The parameter list of a stored procedure.
class Parameters {
 public:
  Parameters() : list_(std::make_shared<std::vector<Parameter>>()) {}
  int Count() const { return static_cast<int>(list_->size()); }
  // "List index out of bounds (<index>)".
  Parameter& Items(int index);
  const Parameter& Items(int index) const;
  // Names without regard to case; "Parameter '<name>' not found".
  Parameter& ParamByName(std::string_view name);
  Parameter* FindParam(std::string_view name);
  void Clear() { list_ = std::make_shared<std::vector<Parameter>>(); }
  void Add(Parameter param) { list_->push_back(std::move(param)); }
  void Assign(std::vector<Parameter> params) {
    list_ = std::make_shared<std::vector<Parameter>>(std::move(params));
  }
  // The list a running call writes its outputs to. A refresh replaces the
  // list, so a call still being read writes to the one it was given.
  const std::shared_ptr<std::vector<Parameter>>& shared() const { return list_; }

 private:
  std::shared_ptr<std::vector<Parameter>> list_;
};

class StoredProc : public DataSet, public ProcedureTarget {
 public:
  explicit StoredProc(Connection* connection = nullptr) : DataSet(connection) {}

  // Setting another name on an open dataset raises "Cannot perform this
  // operation on an open dataset"; setting the same name does nothing. A new
  // name clears the parameter list.
  void SetProcedureName(std::string_view name) override;
  const std::string& ProcedureName() const { return name_; }

  // Reads the parameter list from the database.
  void RefreshParameters() override;
  Parameters& Params() { return params_; }
  Parameter& ParamByName(std::string_view name) { return params_.ParamByName(name); }

  // Runs the procedure; result sets are read past; afterwards the
  // parameters hold the return value and the outputs.
  void ExecProc() override;

  // ProcedureTarget.
  int ParamCount() override { return params_.Count(); }
  ProcParam Param(int position) override;
  std::string ParamName(int position) override;
  void SetValue(int position, const Variant& value) override;
  void SetDataType(int position, int data_type) override;
  void SetDirection(int position, int direction) override;

 protected:
  std::unique_ptr<BatchCursor> StartCursor() override;

 private:
  void CheckName() const;
  std::string name_;
  Parameters params_;
};

}  // namespace tillbase::db
