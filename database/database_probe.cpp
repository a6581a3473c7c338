#include "database/database_probe.h"

#include "database/pg_connection.h"

#include <algorithm>
#include <cstdlib>
#include <string>

DatabaseProbe::DatabaseProbe(ConnectionSettings settings)
    : settings_(std::move(settings))
{
  const auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(probeBound);
  settings_.answerTimeout = settings_.answerTimeout.count() > 0 ? std::min(settings_.answerTimeout, bound) : bound;
  bool timed = false;
  for (auto& [keyword, value] : settings_.parameters)
    if (keyword == "connect_timeout") {
      timed = true;
      const long configured = std::atol(value.c_str());
      value = std::to_string(configured > 0 ? std::min<long>(configured, probeBound.count()) : probeBound.count());
    }
  if (!timed)
    settings_.parameters.emplace_back("connect_timeout", std::to_string(probeBound.count()));
}

DatabaseProbe::~DatabaseProbe()
{
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable())
    thread_.join();
  for (auto& answer : waiting_)
    answer(false);
}

void DatabaseProbe::check(std::function<void(bool)> answer)
{
  std::unique_lock<std::mutex> lock(lock_);
  const bool recent = answeredAt_ != std::chrono::steady_clock::time_point {}
      && std::chrono::steady_clock::now() - answeredAt_ < std::chrono::seconds(1);
  if (stopping_ || (waiting_.empty() && recent)) {
    const bool last = !stopping_ && lastAnswer_;
    lock.unlock();
    answer(last);
    return;
  }
  waiting_.push_back(std::move(answer));
  if (!thread_.joinable())
    thread_ = std::thread([this] { run(); });
  lock.unlock();
  wake_.notify_one();
}

void DatabaseProbe::run()
{
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (stopping_)
      return;
    lock.unlock();
    const bool answers = tryOnce();
    lock.lock();
    std::vector<std::function<void(bool)>> asked;
    asked.swap(waiting_);
    lastAnswer_ = answers;
    answeredAt_ = std::chrono::steady_clock::now();
    lock.unlock();
    for (auto& answer : asked)
      answer(answers);
    lock.lock();
  }
}

bool DatabaseProbe::tryOnce()
{
  try {
    if (!connection_)
      connection_ = std::make_unique<PgConnection>(settings_);
    connection_->executeRequest("SELECT 1");
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
