#include "execution/service_exception.h"

#include <utility>

serviceException::serviceException(std::string message)
    : message_(std::move(message))
{
}

const char* serviceException::what() const noexcept
{
  return message_.c_str();
}
