#include "bench/bench_options.h"

long boundedNumber(const std::string& name, const std::string& value, long low, long high)
{
  long parsed = std::atol(value.c_str());
  if (parsed < low || parsed > high)
    throw std::runtime_error(name + " takes a number from " + std::to_string(low) + " to " + std::to_string(high));
  return parsed;
}
