#include "child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tooltest {

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Started {
  pid_t pid;
  std::string out_path;
  std::string err_path;
};

Started start(const vexotest::TempDir& dir, const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env) {
  const std::string out_path = dir.path("child.out"), err_path = dir.path("child.err");
  // A watcher of the output must not see an earlier child's.
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(127);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return {pid, out_path, err_path};
}

Outcome finish(const Started& child) {
  int wait_status = 0;
  if (waitpid(child.pid, &wait_status, 0) != child.pid) throw std::runtime_error("waitpid failed");
  Outcome outcome;
  outcome.exited = WIFEXITED(wait_status);
  if (outcome.exited) outcome.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) outcome.signal = WTERMSIG(wait_status);
  outcome.out = slurp(child.out_path);
  outcome.err = slurp(child.err_path);
  return outcome;
}

}  // namespace

Outcome run(const vexotest::TempDir& dir, const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env) {
  return finish(start(dir, program, args, env));
}

Outcome run_until(const vexotest::TempDir& dir, const std::string& program,
                  const std::vector<std::string>& args, const std::string& text, int signal) {
  const Started child = start(dir, program, args, {});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (slurp(child.out_path).find(text) == std::string::npos) {
    siginfo_t info{};
    // WNOWAIT leaves an ended child for finish() to collect.
    const bool ended =
        waitid(P_PID, child.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child.pid;
    if (ended || std::chrono::steady_clock::now() > deadline) {
      kill(child.pid, SIGKILL);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child.pid, signal);
  return finish(child);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

}  // namespace tooltest
