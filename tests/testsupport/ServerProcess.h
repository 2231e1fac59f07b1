#pragma once
// Runs the real kestrel-server binary in a working folder for end-to-end
// tests: start, wait until it listens, send signals, wait for its exit, and
// read what it printed.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::test {

// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreePort();
// True when the server on 127.0.0.1:port answers a ping (its slots run).
bool PortServes(std::uint16_t port);
// Polls cond every 10 ms until it holds or timeout passes.
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Writes a whole file (native path); creates missing parent folders.
bool WriteFile(const std::string& path, std::string_view content);
// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
// Every "Server Logbook *.log" of the working folder's logs, joined.
std::string Logbook(const std::string& folder);

// Every "Server Logbook *.log" of a working folder (native path), joined.
std::string LogbookText(const std::string& folder);

// What a program run to its end printed and returned.
struct ProgramRun {
  int code = -1;  // exit code; 128+n for a signal, -1 when it had to be killed
  std::string out;
  std::string err;
};
// Runs binary with args in cwd, stdin_text on its standard input, without a
// controlling terminal; kills it after timeout.
ProgramRun RunProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::string& cwd, std::string_view stdin_text = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

class ServerProcess {
 public:
  // binary: path of kestrel-server; folder: its working folder (native path).
  ServerProcess(std::string binary, std::string folder);
  ~ServerProcess();  // SIGKILL if still running
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // args: command-line arguments after the program name.
  bool Start(const std::vector<std::string>& args = {});
  // Waits until the server accepts on port.
  bool WaitListening(std::uint16_t port,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool Signal(int signo);
  // Waits for the exit; returns the exit code, -1 on time-out, 128+n for a signal.
  int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  bool running() const { return pid_ > 0; }
  // Everything it printed so far on stdout / stderr.
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  std::string binary_;
  std::string folder_;
  pid_t pid_ = -1;
};

}  // namespace kestrel::test
