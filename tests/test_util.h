// Helpers shared by the tests: scratch directories, small files and running
// the real executable.
#pragma once

#include <cstdint>
#include <exception>
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
