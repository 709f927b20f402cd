// Runs the real program in a scratch folder with scripted standard input, a
// chosen test plug-in and environment, and collects what it leaves behind.
#ifndef PROGRAM_RUNNER_H
#define PROGRAM_RUNNER_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

// A fresh empty folder, removed with everything in it when this goes away.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Sorted names of the entries, without "." and "..".
  std::vector<std::string> list() const;

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  bool timed_out = false;
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string input;                       // bytes on standard input
  std::string plugin = "fakecam";          // test plug-in variant; "" for none
  std::string program = PROGRAM_PATH;      // the executable
  std::vector<std::string> args;           // its arguments
  std::map<std::string, std::string> env;  // added to a clean environment
  int64_t file_size_limit = -1;            // RLIMIT_FSIZE for the run, -1 for none
  int64_t address_space_limit = -1;        // RLIMIT_AS for the run, -1 for none
  int64_t process_limit = -1;              // RLIMIT_NPROC for the run, -1 for none; as root
                                           // the run is then user nobody's, as no limit binds root
  std::vector<int> closed_streams;         // of 0, 1, 2: closed when the program starts
  std::string output_file;                 // standard output goes here, not to RunResult::out
  int64_t output_pipe_bytes = -1;          // standard output is a pipe closed after this many
                                           // bytes were read into RunResult::out; -1: a file
  int timeout_seconds = 60;
};

RunResult run_program(const std::string& cwd, const RunOptions& options);

// Sorted names of the entries of a folder, without "." and "..".
std::vector<std::string> list_folder(const std::string& path);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// The same characters in another character set (iconv's name); throws for
// text it cannot convert.
std::string to_charset(const std::string& utf8, const char* charset);
inline std::string to_shift_jis(const std::string& utf8) {
  return to_charset(utf8, "SHIFT_JIS");
}

// Sets a V4L2 camera's control, named as the driver names it, ignoring case
// and punctuation ("Test Pattern", "test_pattern"). False when the device
// does not open or has no such control, or the driver refuses the value.
bool set_camera_control(const std::string& device, const std::string& name, int32_t value);

#endif  // PROGRAM_RUNNER_H
