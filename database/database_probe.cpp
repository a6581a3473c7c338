#include "database/database_probe.h"

#include "database/pg_connection.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
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
  state_.lock()->stopping = true;
  wake_.notify_all();
  if (thread_.joinable())
    thread_.join();
  std::vector<std::function<void(bool)>> asked;
  asked.swap(state_.lock()->waiting);
  for (auto& answer : asked)
    answer(false);
}

void DatabaseProbe::check(std::function<void(bool)> answer)
{
  std::optional<bool> given;
  {
    auto state = state_.lock();
    const bool recent = state->answeredAt != std::chrono::steady_clock::time_point {}
        && std::chrono::steady_clock::now() - state->answeredAt < std::chrono::seconds(1);
    if (state->stopping || (state->waiting.empty() && recent)) {
      given = !state->stopping && state->lastAnswer;
    } else {
      state->waiting.push_back(std::move(answer));
      if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
    }
  }
  // Answers are given with the lock let go: an answer may ask again.
  if (given)
    answer(*given);
  else
    wake_.notify_one();
}

void DatabaseProbe::run()
{
  for (;;) {
    {
      auto state = state_.lock();
      state.wait(wake_, [](State& s) { return s.stopping || !s.waiting.empty(); });
      if (state->stopping)
        return;
    }
    const bool answers = tryOnce();
    std::vector<std::function<void(bool)>> asked;
    {
      auto state = state_.lock();
      asked.swap(state->waiting);
      state->lastAnswer = answers;
      state->answeredAt = std::chrono::steady_clock::now();
    }
    for (auto& answer : asked)
      answer(answers);
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
