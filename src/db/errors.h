// Errors of the data-access layer. The message is what clients see: the
// database's own text for database errors, the layer's fixed texts for
// misuse of a component.
#pragma once

#include <stdexcept>
#include <string>

namespace tillbase::db {

class DbError : public std::runtime_error {
 public:
  explicit DbError(const std::string& message, int native_error = 0)
      : std::runtime_error(message), native_error_(native_error) {}
  // The database's error number (SQL Server's), 0 for the layer's own errors.
  int native_error() const noexcept { return native_error_; }

 private:
  int native_error_;
};

// The layer's own texts, shared by all components.
DbError ParameterNotFound(const std::string& name);  // "Parameter '%s' not found"
DbError FieldNotFound(const std::string& name);      // "Field '%s' not found"
DbError ListIndexOutOfBounds(int index);             // "List index out of bounds (%d)"
DbError OpenDatasetError();    // "Cannot perform this operation on an open dataset"
DbError ClosedDatasetError();  // "Cannot perform this operation on a closed dataset"
DbError NoCommandTextError();  // "Command text was not set for the command object."
DbError NoResultSetError();    // "CommandText does not return a result set"
DbError NotConnectedError();   // "Operation is not allowed when the object is closed."

}  // namespace tillbase::db
