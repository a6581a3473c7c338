#pragma once

#include "database/pg_result.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// One query of a pipeline: a prepared statement by its name, or a text sent
// with its parameters.
struct PipelineQuery {
  std::string statement;
  std::vector<std::string> values {};
  bool prepared = true;
};

// Queries sent in one round trip, each answer found by the handle its query
// got when added; an answer the server skipped after a refusal is empty.
class PgPipeline {
public:
  class Handle {
  public:
    Handle() = default;

  private:
    friend class PgPipeline;
    explicit Handle(std::size_t index)
        : index_(index)
    {
    }
    std::size_t index_ = 0;
  };

  PgPipeline() = default;
  PgPipeline(PgPipeline&&) = default;
  PgPipeline& operator=(PgPipeline&&) = default;

  Handle add(PipelineQuery query)
  {
    queries_.push_back(std::move(query));
    return Handle(queries_.size() - 1);
  }
  const std::vector<PipelineQuery>& queries() const { return queries_; }
  // The answer of the query that got handle, once the pipeline has run.
  const PgResult& result(Handle handle) const { return results_.at(handle.index_); }
  // Keeps the answers of a run, one for each query.
  void answered(std::vector<PgResult> results) { results_ = std::move(results); }

private:
  std::vector<PipelineQuery> queries_;
  std::vector<PgResult> results_;
};
