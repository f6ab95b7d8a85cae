#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "base/child_process.h"

extern char** environ;

namespace quillon {

ChildOutcome RunCommand(const std::string& command, const Environment& added, std::chrono::milliseconds limit) {
  std::vector<std::string> variables;
  for (char** at = environ; *at != nullptr; ++at) {
    const std::string variable = *at;
    const std::string name = variable.substr(0, variable.find('='));
    bool replaced = false;
    for (const auto& [added_name, value] : added) replaced = replaced || added_name == name;
    if (!replaced) variables.push_back(variable);
  }
  for (const auto& [name, value] : added) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string shell = "/bin/sh", flag = "-c", text = command;
  char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that the time limit ends whatever it started; default signal
  // handling, whatever this program ignores or blocks.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, shell.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) return {ChildOutcome::Kind::kNotStarted, 0, std::strerror(spawned)};

  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) return {ChildOutcome::Kind::kNotStarted, 0, std::strerror(errno)};
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-child, SIGKILL);
      while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
      return {ChildOutcome::Kind::kTimedOut, 0, ""};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFSIGNALED(status)) return {ChildOutcome::Kind::kExited, 128 + WTERMSIG(status), ""};
  return {ChildOutcome::Kind::kExited, WEXITSTATUS(status), ""};
}

}  // namespace quillon
