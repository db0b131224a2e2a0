// Helpers shared by the tests: scratch directories, small files and running
// the real executable.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

struct ProcessResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Runs the program with the arguments (argv[0] is set to the program path),
// with standard input closed, and collects both output streams.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& extraEnv = {});

// A program started without waiting for it, so that a test can watch it and
// signal it mid-run. Standard input is /dev/null; standard output and error go
// to files that wait() reads back. The environment is this process's with
// `extraEnv` on top. The destructor kills (SIGKILL) and reaps a child that is
// still running.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& extraEnv = {},
               const std::string& workingDirectory = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // False once the child has ended (it is reaped then).
  bool running();
  void signal(int signalNumber);
  // Waits for the end; the exit status is 128 + the signal for a killed child.
  ProcessResult wait();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string outPath_;
  std::string errPath_;
};

// Polls `condition` every few milliseconds until it holds (true) or
// `timeout` has passed (false).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs `f`: "ok" when it returns, else the text of what it threw.
template <typename F>
std::string errorOf(F&& f) {
  try {
    f();
    return "ok";
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace testutil
