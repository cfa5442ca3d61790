#include "db/errors.h"

namespace tillbase::db {

DbError ParameterNotFound(const std::string& name) {
  return DbError("Parameter '" + name + "' not found");
}

DbError FieldNotFound(const std::string& name) { return DbError("Field '" + name + "' not found"); }

DbError ListIndexOutOfBounds(int index) {
  return DbError("List index out of bounds (" + std::to_string(index) + ")");
}

DbError OpenDatasetError() { return DbError("Cannot perform this operation on an open dataset"); }

DbError ClosedDatasetError() {
  return DbError("Cannot perform this operation on a closed dataset");
}

DbError NoCommandTextError() { return DbError("Command text was not set for the command object."); }

DbError NoResultSetError() { return DbError("CommandText does not return a result set"); }

DbError NotConnectedError() {
  return DbError("Operation is not allowed when the object is closed.");
}

}  // namespace tillbase::db
