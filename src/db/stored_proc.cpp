#include "db/stored_proc.h"

#include "db/connection.h"
#include "db/errors.h"
#include "db/text_util.h"

namespace tillbase::db {

Parameter& Parameters::Items(int index) {
  if (index < 0 || index >= Count()) throw ListIndexOutOfBounds(index);
  return (*list_)[static_cast<size_t>(index)];
}

const Parameter& Parameters::Items(int index) const {
  if (index < 0 || index >= Count()) throw ListIndexOutOfBounds(index);
  return (*list_)[static_cast<size_t>(index)];
}

Parameter* Parameters::FindParam(std::string_view name) {
  for (Parameter& p : *list_) {
    if (EqualsNoCase(p.name, name)) return &p;
  }
  return nullptr;
}

Parameter& Parameters::ParamByName(std::string_view name) {
  Parameter* p = FindParam(name);
  if (p == nullptr) throw ParameterNotFound(std::string(name));
  return *p;
}

void StoredProc::SetProcedureName(std::string_view name) {
  if (name == name_) return;
  if (Active()) throw OpenDatasetError();
  name_ = std::string(name);
  params_.Clear();
}

void StoredProc::CheckName() const {
  if (TrimBlanks(name_).empty()) throw NoCommandTextError();
}

void StoredProc::RefreshParameters() {
  CheckName();
  DriverConnection& driver = PrepareDriver();
  params_.Assign(driver.DescribeProcedure(name_));
}

void StoredProc::ExecProc() {
  CheckName();
  DriverConnection& driver = PrepareDriver();
  driver.ExecProcedure(name_, params_.shared());
}

std::unique_ptr<BatchCursor> StoredProc::StartCursor() {
  CheckName();
  DriverConnection& driver = PrepareDriver();
  return driver.OpenProcedure(name_, params_.shared());
}

ProcParam StoredProc::Param(int position) {
  const Parameter& p = params_.Items(position);
  return ProcParam{p.name, p.value, p.data_type, p.direction};
}

std::string StoredProc::ParamName(int position) { return params_.Items(position).name; }

void StoredProc::SetValue(int position, const Variant& value) {
  params_.Items(position).value = value;
}

void StoredProc::SetDataType(int position, int data_type) {
  if (data_type < 0 || data_type > 37) {
    throw DbError("Invalid data type code " + std::to_string(data_type));
  }
  params_.Items(position).data_type = data_type;
}

void StoredProc::SetDirection(int position, int direction) {
  if (direction < 0 || direction > 4) {
    throw DbError("Invalid parameter direction " + std::to_string(direction));
  }
  params_.Items(position).direction = direction;
}

}  // namespace tillbase::db
