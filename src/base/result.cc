#include "base/result.h"

namespace tov::base {

Error Error::composed(std::string text) {
  Error error(Kind::kComposed, 0, nullptr);
  error.composed_ = std::move(text);
  return error;
}

std::string Error::description() const {
  switch (kind_) {
    case Kind::kSystem:
      return describe_(code_);
    case Kind::kFixed:
      return fixed_;
    case Kind::kComposed:
      break;
  }
  return composed_;
}

}  // namespace tov::base
