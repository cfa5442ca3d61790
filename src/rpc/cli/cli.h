// tillbase-cli: calls methods of a session object from the shell. One
// object serves a whole script or REPL session.
//
//   tillbase-cli [options] METHOD [ARGS]      one call
//   tillbase-cli [options] --script FILE      one call per line
//   tillbase-cli [options]                    REPL on standard input
//
// A line is a method name (or dispid) followed by its [in] and [in, out]
// parameters as comma-separated JSON values in the protocol's variant form:
//   ConnectDB "pc1", "127.0.0.1"
//   ExecuteProc "p_get", ["@id", 5], null
// Lines starting with '#' are comments; ".release" releases the object (the
// next call creates a new one), ".quit" ends.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tillbase::rpc::cli {

// Runs the program; returns the exit code (0 all calls succeeded, 1 a call
// answered a failure, 2 usage or transport error).
int RunCli(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err);

}  // namespace tillbase::rpc::cli
