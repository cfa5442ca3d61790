// The procedure-running routine that the session's ExecuteProc and the
// plug-in's data module share, and the conversions between a procedure's
// parameter list and the procedure parameter array.
//
// The routine works on any stored-procedure component through
// ProcedureTarget, so this folder needs nothing of the data-access layer;
// the layer's StoredProc implements it.
#pragma once

#include <cstdint>
#include <string_view>

#include "shared/proc_params.h"
#include "shared/variant.h"

namespace tillbase {

// A stored-procedure component as the routine uses it. Positions are those
// of the refreshed parameter list: 0 the return value, 1..n the declared
// parameters.
class ProcedureTarget : public ProcParamTarget {
 public:
  // Sets the procedure name (a group suffix such as ";1" passed on).
  virtual void SetProcedureName(std::string_view name) = 0;
  // Reads the parameter list from the database.
  virtual void RefreshParameters() = 0;
  virtual int ParamCount() = 0;
  // Name, value, data type code and direction code of one parameter.
  virtual ProcParam Param(int position) = 0;
  // Runs the procedure without fetching rows; afterwards the parameters
  // hold the return value and the output values.
  virtual void ExecProc() = 0;
};

// Runs a procedure with a packed parameter list of inputs:
//  - the procedure's name is set and its parameter list refreshed;
//  - every input or input/output parameter named by a supplied entry (names
//    compared without regard to ASCII case, the "@" included) takes that
//    entry's value; other parameters and other entries are left alone;
//  - the procedure runs without fetching rows;
//  - *out_params := the packed list of the output and input/output
//    parameters in position order (BCD values as doubles with code 6; Size,
//    Precision and NumericScale 0), Null when there are none;
//  - returns the return value converted to an integer.
// A Null return value (or Null BCD output) raises the variant conversion
// error after the procedure has run; out_params is written before the
// return value is converted.
int32_t ExecuteProcedure(ProcedureTarget& proc, std::string_view name, const Variant& input_params,
                         Variant* out_params);

// The procedure parameter array of a refreshed parameter list (return value
// at 0); Null when the list is empty.
Variant ProcParamsToArray(ProcedureTarget& proc);

// Applies a procedure parameter array to the parameter list by position
// (see ApplyProcParamArray).
void ArrayToProcParams(const Variant& array, ProcedureTarget& proc);

}  // namespace tillbase
