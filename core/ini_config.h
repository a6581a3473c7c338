#pragma once

#include "core/errors.h"

#include <map>
#include <string>

// The configuration file cannot be read.
class ConfigFileError : public ReceiverError {
public:
  using ReceiverError::ReceiverError;
};

// Reads the INI configuration file. Every lookup opens the file afresh and
// scans it from the top, so it always sees the file's current contents.
class IniConfig {
public:
  explicit IniConfig(std::string fileName);

  // Value after the first '=' of the first line of the section's first
  // block that contains the key text anywhere; empty when not found.
  // Throws ConfigFileError when the file cannot be opened.
  std::string getKey(const std::string& section, const std::string& key);
  int getKeyToInt(const std::string& section, const std::string& key);
  // Every line of the section, its header included, by the text before its
  // first '=' (the whole line without one).
  std::map<std::string, std::string>& getSection(const std::string& section);

private:
  std::string fileName_;
  std::map<std::string, std::string> entries_;
};

std::string ltrim(const std::string& text);
std::string rtrim(const std::string& text);
std::string trim(const std::string& text);
