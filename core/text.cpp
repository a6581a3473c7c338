#include "core/text.h"

#include <utf8.h>

#include <iterator>

std::string validUtf8(const std::string& text)
{
  if (utf8::is_valid(text.begin(), text.end()))
    return text;
  std::string clean;
  clean.reserve(text.size());
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(clean), 0x20);
  return clean;
}
