#include "core/conversions.h"

#include <sstream>

namespace {

template <typename T> T readNumber(const std::string& text)
{
  std::istringstream stream(text);
  T value {};
  // On failure the stream stores 0, on overflow the type's limit.
  stream >> value;
  return value;
}

template <typename T> std::string writeNumber(T value)
{
  std::ostringstream stream;
  stream << value;
  return stream.str();
}

} // namespace

int stringToInt(const std::string& text) { return readNumber<int>(text); }
unsigned int stringToUnsignedInt(const std::string& text) { return readNumber<unsigned int>(text); }
long stringToLong(const std::string& text) { return readNumber<long>(text); }
unsigned long stringToLongInt(const std::string& text) { return readNumber<unsigned long>(text); }
unsigned long long stringToLongLongInt(const std::string& text) { return readNumber<unsigned long long>(text); }
double stringToDouble(const std::string& text) { return readNumber<double>(text); }

std::string intToString(int value) { return writeNumber(value); }
std::string longToString(long value) { return writeNumber(value); }
std::string longIntToString(long value) { return writeNumber(value); }
std::string unsignedLongIntToString(unsigned long value) { return writeNumber(value); }
std::string unsignedLongLongIntToString(unsigned long long value) { return writeNumber(value); }
std::string doubleToString(double value) { return writeNumber(value); }

std::string ipFromNumber(unsigned long address)
{
  unsigned long a = address / 16777216;
  unsigned long b = (address / 65536) % 256;
  unsigned long c = (address / 256) % 256;
  unsigned long d = address % 256;
  return writeNumber(a) + "." + writeNumber(b) + "." + writeNumber(c) + "." + writeNumber(d);
}
