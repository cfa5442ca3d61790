// Values and types between the engine and the layer.
#pragma once

#include "db/field_types.h"
#include "engine/engine.h"
#include "shared/variant.h"

namespace tillbase::db::embedded {

SqlTypeDesc DescOf(const engine::TypeInfo& type);

// An engine value of a column or parameter of the given type as a variant:
// integers by their width (bit as Boolean), exact decimals as Decimal (money
// as Currency), dates as OLE dates, binary as byte arrays, NULL as Null.
Variant ToVariant(const engine::Value& value, const engine::TypeInfo& type);

// A variant as an engine value. Empty and Null give NULL; arrays other than
// byte arrays raise DbError.
engine::Value FromVariant(const Variant& value);

// Microseconds since 1900-01-01 and OLE dates.
double OleDateOf(engine::DateTime value);
engine::DateTime DateTimeOf(double ole_date);

}  // namespace tillbase::db::embedded
