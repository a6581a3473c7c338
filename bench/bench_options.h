#pragma once

#include <string>

// Walks "--name value" pairs of a bench's command line. --help prints the
// usage and exits 0. handle(name, value) stores a known option and returns
// false for an unknown one. False, after a line on standard error, when a
// value is missing, an option is unknown or a number is out of range, or when
// no cluster settings file was given (--env or QUELM_BENCH_ENV).
template <typename Handle>
bool parseNamedOptions(int argc, char** argv, const char* usage, std::string& envFile, Handle handle);

// The value as a number within [low, high]; throws std::runtime_error naming
// the option otherwise.
long boundedNumber(const std::string& name, const std::string& value, long low, long high);

#include <cstdlib>
#include <iostream>
#include <stdexcept>

template <typename Handle>
bool parseNamedOptions(int argc, char** argv, const char* usage, std::string& envFile, Handle handle)
{
  if (const char* env = std::getenv("QUELM_BENCH_ENV"))
    envFile = env;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help") {
      std::cout << usage;
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::cerr << "missing value for " << name << "\n" << usage;
      return false;
    }
    std::string value = argv[++i];
    if (name == "--env") {
      envFile = value;
    } else if (!handle(name, value)) {
      std::cerr << "unknown option " << name << "\n" << usage;
      return false;
    }
  }
  if (envFile.empty()) {
    std::cerr << "no cluster settings: give --env FILE or set QUELM_BENCH_ENV\n";
    return false;
  }
  return true;
}
