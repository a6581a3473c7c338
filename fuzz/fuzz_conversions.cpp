// Every text-to-number conversion on the input as text, and every
// number-to-text conversion on its leading bytes read as numbers, with the
// round trip checked: writing a number and reading it back gives it again.
#include "core/conversions.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <typename T> T leading(const std::uint8_t* data, std::size_t size)
{
  T value {};
  std::memcpy(&value, data, size < sizeof(T) ? size : sizeof(T));
  return value;
}

void check(bool condition)
{
  if (!condition)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  std::string text(reinterpret_cast<const char*>(data), size);

  int i = stringToInt(text);
  check(stringToInt(intToString(i)) == i);
  unsigned int u = stringToUnsignedInt(text);
  check(stringToUnsignedInt(unsignedLongIntToString(u)) == u);
  long l = stringToLong(text);
  check(stringToLong(longToString(l)) == l);
  check(longIntToString(l) == longToString(l));
  unsigned long ul = stringToLongInt(text);
  check(stringToLongInt(unsignedLongIntToString(ul)) == ul);
  unsigned long long ull = stringToLongLongInt(text);
  check(stringToLongLongInt(unsignedLongLongIntToString(ull)) == ull);
  double d = stringToDouble(text);
  doubleToString(d);

  check(stringToInt(intToString(leading<int>(data, size))) == leading<int>(data, size));
  check(stringToLong(longToString(leading<long>(data, size))) == leading<long>(data, size));
  unsigned long long rawUnsigned = leading<unsigned long long>(data, size);
  check(stringToLongLongInt(unsignedLongLongIntToString(rawUnsigned)) == rawUnsigned);
  double rawDouble = leading<double>(data, size);
  std::string written = doubleToString(rawDouble);
  check(!written.empty());

  // A 32-bit address comes back as dotted text that reads back to it.
  unsigned long address = static_cast<unsigned long>(rawUnsigned & 0xFFFFFFFFull);
  in_addr parsed {};
  check(inet_pton(AF_INET, ipFromNumber(address).c_str(), &parsed) == 1 && ntohl(parsed.s_addr) == address);
  ipFromNumber(static_cast<unsigned long>(rawUnsigned));
  return 0;
}
