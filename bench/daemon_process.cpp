#include "bench/daemon_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

ScratchDir::ScratchDir()
{
  char pattern[] = "/tmp/quelm-bench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr)
    throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
  path_ = pattern;
}

ScratchDir::~ScratchDir()
{
  // The path is ours, made by mkdtemp: no quoting issue.
  std::string command = "rm -rf '" + path_ + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string ScratchDir::write(const std::string& name, const std::string& text) const
{
  std::string file = path_ + "/" + name;
  std::ofstream out(file, std::ios::trunc);
  out << text;
  if (!out)
    throw std::runtime_error("cannot write " + file);
  return file;
}

std::string readWholeFile(const std::string& path)
{
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int freeLoopbackPort()
{
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw std::runtime_error(std::string("socket failed: ") + std::strerror(errno));
  sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
      || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int error = errno;
    ::close(fd);
    throw std::runtime_error(std::string("bind to a loopback port failed: ") + std::strerror(error));
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string makeCertificatePem(const ScratchDir& dir)
{
  std::string key = dir.path() + "/receiver.key";
  std::string cert = dir.path() + "/receiver.crt";
  std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" + key
      + "' -out '" + cert + "' -days 2 -subj /CN=localhost >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0)
    throw std::runtime_error("openssl req failed");
  return dir.write("receiver.pem", readWholeFile(cert) + readWholeFile(key));
}

DaemonProcess::DaemonProcess(const ScratchDir& dir, const ClusterSettings& cluster, const DaemonOptions& options)
    : port_(freeLoopbackPort())
    , logPath_(dir.path() + "/receiver.log")
{
  std::string pem = makeCertificatePem(dir);
  std::string plugins;
  for (const std::string& plugin : options.persistentPlugins)
    plugins += (plugins.empty() ? "" : ",") + plugin;
  std::string config = dir.write("receiver.conf",
      "[LOG]\nlog_file=" + logPath_
          + "\n"
            "[POSTGRESQL]\nconnection_number="
          + std::to_string(options.connections) + "\nPGSQL_host=" + cluster.host + "\nPGSQL_port=" + cluster.port
          + "\nPGSQL_db=" + cluster.database + "\nPGSQL_username=" + cluster.user + "\nPGSQL_pwd=" + cluster.password
          + "\ncluster=" + (options.cluster ? "1" : "0")
          + "\n"
            "[SYSLOG]\nport="
          + std::to_string(port_) + "\ncertificate=" + pem + "\nthread=" + std::to_string(options.workers) + "\n"
          + (options.metrics ? "[METRICS]\nlisten=127.0.0.1:" + std::to_string(freeLoopbackPort()) + "\n" : "")
          + (plugins.empty() ? "" : "[PLUGINS]\npersistent=" + plugins + "\n"));
  std::string console = dir.path() + "/receiver.console";

  std::vector<std::string> args { options.receiverPath, "-f", config };
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0)
    throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
  if (pid_ == 0) {
    // The daemon must not outlive a benchmark that is killed.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int out = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0)
      ::dup2(null, 0);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
}

DaemonProcess::~DaemonProcess()
{
  if (pid_ > 0)
    stop(std::chrono::seconds(30));
}

bool DaemonProcess::waitReady(std::chrono::seconds timeout)
{
  auto limit = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < limit) {
    if (log().find("SYSLOG was starting....") != std::string::npos)
      return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

int DaemonProcess::stop(std::chrono::seconds timeout)
{
  if (pid_ <= 0)
    return -1;
  ::kill(pid_, SIGTERM);
  auto limit = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < limit) {
    pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

std::string DaemonProcess::uri() const { return "wss://127.0.0.1:" + std::to_string(port_) + "/"; }
