// Runs the real program in a scratch folder with scripted standard input, a
// chosen test plug-in and environment, and collects what it leaves behind.
#ifndef PROGRAM_RUNNER_H
#define PROGRAM_RUNNER_H

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

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
                                           // the run is then a user's that no process has, as
                                           // no limit binds root
  std::vector<int> closed_streams;         // of 0, 1, 2: closed when the program starts
  std::vector<int> ignored_signals;        // ignored when it starts, as under nohup
  std::string output_file;                 // standard output goes here, not to RunResult::out
  int64_t output_pipe_bytes = -1;          // standard output is a pipe closed after this many
                                           // bytes were read into RunResult::out; -1: a file
  int timeout_seconds = 60;
};

RunResult run_program(const std::string& cwd, const RunOptions& options);

// What a run with these options gets: its environment, "NAME=value" each (a
// plain PATH, the C locale, the test plug-in's folder on the library path,
// then the options' own variables), and its command line.
std::vector<std::string> environment(const RunOptions& options);
std::vector<std::string> command_line(const RunOptions& options);

// The program run interactively in cwd: keys typed on a pipe as its standard
// input, its output and errors read as they come, and a pseudo-terminal as
// its controlling terminal (for dialogs that use it). Every wait gives up
// after options.timeout_seconds; the program is killed when this goes away.
// Of the options, the program, its arguments, plug-in, environment and
// ignored signals count.
class InteractiveRun {
 public:
  InteractiveRun(const std::string& cwd, const RunOptions& options);
  ~InteractiveRun();
  InteractiveRun(const InteractiveRun&) = delete;
  InteractiveRun& operator=(const InteractiveRun&) = delete;

  void type(const std::string& keys) { write_all(in_, keys); }
  void type_on_terminal(const std::string& keys) { write_all(tty_, keys); }
  void send_signal(int signal_number);

  // Reads until the output, past what earlier calls consumed, holds text.
  bool expect_output(const std::string& text) { return expect(&out_text_, &out_seen_, text); }
  bool expect_terminal(const std::string& text) { return expect(&tty_text_, &tty_seen_, text); }

  // The exit status once the program ends; -1 if it does not in time.
  int wait_exit();

  const std::string& output() const { return out_text_; }
  const std::string& terminal() const { return tty_text_; }
  const std::string& errors() const { return err_text_; }
  // What the terminal showed since the last expect_terminal.
  std::string terminal_since_last() const { return tty_text_.substr(tty_mark_); }

 private:
  static void write_all(int fd, const std::string& text);
  bool reaped();
  bool pump(int wait_ms);
  bool expect(std::string* text, size_t* seen, const std::string& wanted);

  int timeout_seconds_;
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1, tty_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string out_text_, tty_text_, err_text_;
  size_t out_seen_ = 0, tty_seen_ = 0, tty_mark_ = 0;
};

#endif  // PROGRAM_RUNNER_H
