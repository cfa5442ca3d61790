// Other databases on one connection. A session reaches a database other
// than its current one by attaching that database's file under a fixed
// alias; views are stored with unqualified names so that they resolve in
// their own file wherever it is attached. Files written by earlier versions
// named "main" inside views; they are upgraded when opened.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>

namespace tillbase::engine::core {

// The schema name under which a connection attaches `database`: the same
// for every spelling of the name, and never "main" or "temp".
std::string AttachAlias(std::string_view database);

// View SQL without the `main.` qualifiers earlier versions wrote; text in
// literals, quoted identifiers and comments is left alone.
std::string UnqualifyMain(std::string_view sql);

// Whether the connection's main database has views that name "main".
bool HasMainQualifiedViews(sqlite3* db);

// Rewrites those views without the qualifier, in one transaction; true when
// something was rewritten. Throws (and changes nothing) when the database
// cannot be written.
bool UpgradeViews(sqlite3* db);

}  // namespace tillbase::engine::core
