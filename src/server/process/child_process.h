// Starting and ending child programs: the companion program that follows the
// sessions' database is one.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tillbase::process {

// The first of `directories` holding an executable regular file `name`, then
// the directories of $PATH in order. nullopt when none has it.
std::optional<std::filesystem::path> FindProgram(
    const std::string& name, const std::vector<std::filesystem::path>& directories);

// A started child. The object owns it: destroying a running child leaves it
// running but reaped by nobody, so owners call Terminate().
class ChildProcess {
 public:
  // Starts `program` with argv[0] = `program` and the given arguments, this
  // process's environment and current directory, and no descriptors but
  // 0, 1 and 2. Throws with a message naming the program when it cannot be
  // started.
  static ChildProcess Start(const std::filesystem::path& program,
                            const std::vector<std::string>& arguments);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() = default;

  pid_t pid() const { return pid_; }
  // True until the child has ended and been reaped (checks without waiting).
  bool Running();
  // Asks the child to end (SIGTERM); when it has not ended after `grace`,
  // kills it (SIGKILL). Returns once it is reaped. Safe to call twice.
  void Terminate(std::chrono::milliseconds grace);
  // Waits for the child to end by itself and returns its exit status as
  // waitpid reports it.
  int Wait();

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;  // -1 once reaped
};

}  // namespace tillbase::process
