// quelm-bench-tls-floor: the resident memory of one idle TLS session on a
// bare Boost.Asio SSL server, with no WebSocket layer and one shared TLS
// context: the floor under any listener built on asio::ssl::stream, which is
// what websocketpp's TLS transport uses. Prints figures; it is not a test.
//   quelm-bench-tls-floor [SESSIONS]     (default 1000)

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <string>

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Stream = asio::ssl::stream<tcp::socket>;

long residentKb()
{
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stol(line.substr(6));
  }
  return 0;
}

// The client side, in a child process so that only the server is measured:
// opens the sessions, then holds them until killed.
[[noreturn]] void holdSessions(int port, int count)
{
  asio::io_context io;
  asio::ssl::context context(asio::ssl::context::tls_client);
  std::list<std::unique_ptr<Stream>> sessions;
  for (int i = 0; i < count; ++i) {
    auto session = std::make_unique<Stream>(io, context);
    session->lowest_layer().connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    session->handshake(asio::ssl::stream_base::client);
    sessions.push_back(std::move(session));
  }
  ::pause();
  std::_Exit(0);
}

int run(int argc, char** argv)
{
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (count < 20 || count > 20000) {
    std::fprintf(stderr, "usage: quelm-bench-tls-floor [SESSIONS 20..20000]\n");
    return 2;
  }
  const std::string pem = "/tmp/quelm-bench-tls-floor-" + std::to_string(::getpid()) + ".pem";
  const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -keyout " + pem
      + ".key -out " + pem + " 2>/dev/null && cat " + pem + ".key >> " + pem + " && rm -f " + pem + ".key";
  // NOLINTNEXTLINE(concurrency-mt-unsafe): called before any thread starts.
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "openssl req failed\n");
    return 1;
  }
  asio::io_context io;
  asio::ssl::context context(asio::ssl::context::tls_server);
  context.use_certificate_chain_file(pem);
  context.use_private_key_file(pem, asio::ssl::context::pem);
  std::remove(pem.c_str());
  // As the listener does: record buffers go back while a session is idle.
  SSL_CTX_set_mode(context.native_handle(), SSL_MODE_RELEASE_BUFFERS);
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const int port = acceptor.local_endpoint().port();

  std::list<std::shared_ptr<Stream>> sessions;
  int open = 0;
  std::function<void()> accept = [&] {
    auto session = std::make_shared<Stream>(io, context);
    acceptor.async_accept(session->lowest_layer(), [&, session](const boost::system::error_code& error) {
      if (error)
        return;
      session->async_handshake(asio::ssl::stream_base::server, [&, session](const boost::system::error_code& failed) {
        if (failed)
          return;
        sessions.push_back(session);
        ++open;
      });
      accept();
    });
  };
  accept();

  pid_t client = ::fork();
  if (client == 0)
    holdSessions(port, count);
  // The first sessions warm the allocator and OpenSSL's caches up.
  const int warm = 10;
  while (open < warm)
    io.run_one();
  malloc_trim(0);
  const long before = residentKb();
  while (open < count)
    io.run_one();
  const long after = residentKb();
  std::printf("bare Boost.Asio TLS server, %d idle sessions after %d warm-up ones: %ld kB -> %ld kB, %.1f KiB per "
              "session\n",
      count - warm, warm, before, after, static_cast<double>(after - before) / (count - warm));
  ::kill(client, SIGKILL);
  ::waitpid(client, nullptr, 0);
  return 0;
}

} // namespace

int main(int argc, char** argv)
{
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quelm-bench-tls-floor: %s\n", error.what());
    return 1;
  }
}
