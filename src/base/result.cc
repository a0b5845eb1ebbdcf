#include "base/result.h"

#include "platform/platform.h"

namespace tov::base {

Error Error::composed(std::string text) {
  Error error(Kind::kComposed, 0, nullptr);
  error.composed_ = std::move(text);
  return error;
}

std::string Error::description() const {
  switch (kind_) {
    case Kind::kSystem:
      return platform::os_error_description(code_);
    case Kind::kFixed:
      return fixed_;
    case Kind::kComposed:
      break;
  }
  return composed_;
}

}  // namespace tov::base
