#pragma once

#include "client/notification_client.h"
#include "intake/listen_error.h"
#include "intake/notification_server.h"
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iostream>

#include <unistd.h>

using namespace std::chrono_literals;
using Phase = NotificationClient::Phase;

inline std::string uri(int port) { return "wss://127.0.0.1:" + std::to_string(port) + "/"; }

// Takes until `count` items came or the time ran out, as a worker would (each host done at once).
inline std::vector<Notification> take(
    NotificationQueue& queue, std::size_t count, std::chrono::milliseconds timeout = 10s)
{
  std::vector<Notification> got;
  const std::atomic<bool> never { false };
  waitFor(timeout / 1.0s, [&] {
    while (got.size() < count) {
      std::optional<NotificationQueue::Lease> item = queue.takeFor(never, 0ms);
      if (!item)
        break;
      got.push_back(std::move(item->item()));
    }
    return got.size() == count;
  });
  return got;
}

// A stream sent to a file, which unlike a string may be read while I/O threads write.
template <std::ostream& stream> struct StreamFile {
  ~StreamFile() { stream.rdbuf(previous); }
  std::size_t count(const std::string& part) const { return countOf(readFile(path), part); }

  std::string path;
  std::filebuf file {};
  std::streambuf* previous = stream.rdbuf(file.open(path, std::ios::out));
};

// A NotificationServer run on its own thread over a private queue; run must return after stop.
struct RunningServer {
  ~RunningServer()
  {
    server.waitListening(10s);
    server.stop();
    if (running.wait_for(20s) != std::future_status::ready) {
      ADD_FAILURE() << "run did not return after stop";
      server.abort();
    }
  }
  int port() { return server.waitListening(10s) ? server.listeningPort() : 0; }

  ListenerSettings settings;
  NotificationQueue queue {};
  NotificationServer server { settings, queue };
  std::shared_future<void> running = std::async(std::launch::async, [this] { server.run(); }).share();
};

// A real NotificationClient that keeps the server's replies and never ends the process.
struct Sender {
  explicit Sender(int port, const std::vector<std::string>& subprotocols = {}, const std::string& pem = "")
      : client(uri(port))
  {
    client.setOutput(out);
    client.setLibraryLogging(false);
    client.setCloseAction([] {});
    client.setFailAction([] {});
    client.setClientCertificate(pem);
    for (const std::string& subprotocol : subprotocols)
      client.addSubprotocol(subprotocol);
    client.setReplyAction([this](const std::string& text) { replies.push(text); });
  }
  Phase connect()
  {
    client.connect();
    return client.waitOpened(10s);
  }
  bool closeNormally() { return client.close(1000, "") && client.waitFinished(10s) == Phase::closed; }
  // The replies once `count` came or the time ran out, sorted: they may come in any order.
  std::vector<std::string> sortedReplies(std::size_t count, std::chrono::milliseconds timeout = 10s)
  {
    waitFor(timeout / 1.0s, [&] {
      while (got.size() < count && replies.size() > 0)
        got.push_back(replies.pop());
      return got.size() >= count;
    });
    std::vector<std::string> sorted = got;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

  std::ostringstream out;
  BlockingQueue<std::string> replies;
  std::vector<std::string> got;
  NotificationClient client; // last: its destructor ends the loop that uses the members above
};

// Connects, sends one message and closes normally; true when all three went well.
inline bool sendOnce(int port, const std::string& payload)
{
  Sender sender(port);
  if (sender.connect() != Phase::open)
    return false;
  sender.client.send(payload);
  return sender.closeNormally();
}

// `part` written `times` times over.
inline std::string repeated(const std::string& part, std::size_t times)
{
  std::string text;
  for (text.reserve(part.size() * times); times > 0; --times)
    text += part;
  return text;
}

// The resident memory of this process, in KiB.
inline long residentKib() { return std::stol(runCommand("ps -o rss= -p " + std::to_string(::getpid())).out); }

// The log and the library's errors in files, and settings with a certificate made for the test.
struct ListenerTest : testing::Test {
  ListenerTest() { settings.tls.certificate = makeCertificatePem(dir, "receiver.pem", "receiver"); }

  TempDir dir;
  StreamFile<std::cout> log { dir.path() + "/log" };
  StreamFile<std::cerr> errors { dir.path() + "/errors" };
  ListenerSettings settings;
};
