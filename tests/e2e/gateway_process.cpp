#include "tests/e2e/gateway_process.h"

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

// The value of an environment variable, or empty.
std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A program name looked up in PATH the way a shell would (a name with a slash is kept).
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::istringstream path(Environment("PATH"));
  std::string directory;
  while (std::getline(path, directory, ':')) {
    const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

}  // namespace

// The built gateway, or the program QUARNIX_E2E_GATEWAY names (the Windows build, which
// QUARNIX_E2E_LAUNCHER, such as wine, runs).
std::string CGatewayProcess::Executable() {
  const std::string other = Environment("QUARNIX_E2E_GATEWAY");
  return other.empty() ? QUARNIX_EXECUTABLE : other;
}

std::string CGatewayProcess::GatewayText(const std::string& utf8) {
  const std::string codePage = Environment("QUARNIX_E2E_CODEPAGE");
  if (codePage.empty()) return utf8;
  const iconv_t converter = ::iconv_open(codePage.c_str(), "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) return utf8;
  std::string input = utf8;
  std::string output(input.size() * 4 + 4, '\0');
  char* in = input.data();
  char* out = output.data();
  std::size_t inLeft = input.size();
  std::size_t outLeft = output.size();
  const std::size_t result = ::iconv(converter, &in, &inLeft, &out, &outLeft);
  ::iconv_close(converter);
  if (result == static_cast<std::size_t>(-1)) return utf8;
  output.resize(output.size() - outLeft);
  return output;
}

int CGatewayProcess::AddressInUseCode() {
  const std::string code = Environment("QUARNIX_E2E_ADDRESS_IN_USE");
  return code.empty() ? EADDRINUSE : std::atoi(code.c_str());
}

std::vector<std::string> CGatewayProcess::Command() {
  std::vector<std::string> command;
  const std::string launcher = Environment("QUARNIX_E2E_LAUNCHER");
  if (!launcher.empty()) command.push_back(FindProgram(launcher));
  command.push_back(Executable());
  return command;
}

std::filesystem::path CGatewayProcess::MakeWorkDirectory() {
  static std::mt19937_64 random{std::random_device{}()};
  const auto path = std::filesystem::temp_directory_path() /
                    ("quarnix-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

CGatewayProcess::CGatewayProcess(const std::vector<std::string>& options,
                                 const std::filesystem::path& workDir) {
  // Everything the child needs is prepared before fork: after it only exec-safe calls run.
  std::vector<std::string> arguments = Command();
  arguments.insert(arguments.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    const std::string name = variable.substr(0, variable.find('='));
    if (name == "QT_QPA_PLATFORM" || name == "LANG" || name == "LANGUAGE" ||
        name == "XDG_RUNTIME_DIR" || name.rfind("LC_", 0) == 0) {
      continue;
    }
    environment.push_back(variable);
  }
  const std::string locale = Environment("QUARNIX_E2E_LOCALE");
  environment.push_back("LC_ALL=" + (locale.empty() ? std::string("C.UTF-8") : locale));
  environment.push_back("XDG_RUNTIME_DIR=" + workDir.string());
  std::vector<char*> envp;
  for (auto& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const std::string directory = workDir.string();

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  const int pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    if (::chdir(directory.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    return;
  }
  ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  m_pid = pid;
  m_stdout = pipeFds[0];
}

CGatewayProcess::~CGatewayProcess() {
  if (m_pid > 0 && !m_exited) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
  if (m_stdout >= 0) ::close(m_stdout);
}

void CGatewayProcess::Signal(int signal) {
  // Under wine a Windows program hears of a stop only as the console's Ctrl+C, which wine raises
  // for SIGINT (SIGTERM ends it on the spot): QUARNIX_E2E_STOP_SIGNAL=SIGINT sends that instead.
  if (signal == SIGTERM && Environment("QUARNIX_E2E_STOP_SIGNAL") == "SIGINT") signal = SIGINT;
  if (m_pid > 0 && !m_exited) ::kill(m_pid, signal);
}

bool CGatewayProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (m_pid <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!m_exited) {
    int status = 0;
    const int result = ::waitpid(m_pid, &status, WNOHANG);
    if (result == m_pid) {
      m_exited = true;
      m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    StandardOutput();  // keep the pipe drained
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string CGatewayProcess::StandardOutput() {
  if (m_stdout >= 0) {
    char buffer[4096];
    for (;;) {
      const ssize_t count = ::read(m_stdout, buffer, sizeof buffer);
      if (count <= 0) break;
      m_output.append(buffer, static_cast<std::size_t>(count));
    }
  }
  return m_output;
}
