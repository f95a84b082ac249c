#include "korvel/exception.h"

namespace korvel {

Exception::Exception(std::string name, std::string reason, Value userInfo)
    : name_(std::move(name)), reason_(std::move(reason)), userInfo_(std::move(userInfo)) {
  what_ = description();
}

Exception::~Exception() = default;
SQLException::~SQLException() = default;
SQLConnectionException::~SQLConnectionException() = default;
InternalInconsistencyException::~InternalInconsistencyException() = default;
InvalidArgumentException::~InvalidArgumentException() = default;

const char* Exception::what() const noexcept { return what_.c_str(); }

std::string Exception::description() const { return name_ + ": " + reason_; }

void Exception::raise(std::string_view name, std::string reason, Value userInfo) {
  if (name == kSQLConnectionException) throw SQLConnectionException(std::move(reason), std::move(userInfo));
  if (name == kSQLException) throw SQLException(std::move(reason), std::move(userInfo));
  if (name == kNSInternalInconsistencyException)
    throw InternalInconsistencyException(std::move(reason), std::move(userInfo));
  if (name == kNSInvalidArgumentException) throw InvalidArgumentException(std::move(reason), std::move(userInfo));
  throw Exception(std::string(name), std::move(reason), std::move(userInfo));
}

}  // namespace korvel
