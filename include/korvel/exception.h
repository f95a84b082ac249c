// Exceptions.
//
// Every failure Korvel reports is an `Exception`: a name, a reason and
// optional user information. Handlers may compare names (the names below are
// fixed texts that stay stable), or catch by C++ type:
//
//   try { client.execute("..."); }
//   catch (const korvel::SQLConnectionException& e) { /* connection lost */ }
//   catch (const korvel::SQLException& e)           { /* statement failed */ }
//
// SQLConnectionException derives from SQLException, so catch it first when
// the two need different handling.
#pragma once
// The destructors are defined out of line so that each type has one home in
// the host library: modules loaded at run time then catch the same types.

#include <exception>
#include <string>
#include <string_view>

#include "korvel/value.h"

namespace korvel {

inline constexpr std::string_view kSQLException = "SQLException";
inline constexpr std::string_view kSQLConnectionException = "SQLConnectionException";
inline constexpr std::string_view kNSInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr std::string_view kNSInvalidArgumentException = "NSInvalidArgumentException";

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason, Value userInfo = {});
  const std::string& name() const noexcept { return name_; }
  const std::string& reason() const noexcept { return reason_; }
  // A dictionary or nothing.
  const Value& userInfo() const noexcept { return userInfo_; }
  // "NAME: REASON", the text form used by %@ in messages.
  std::string description() const;
  // The description, kept for the life of the exception.
  const char* what() const noexcept override;
  ~Exception() override;

  // Throws the C++ type that matches the name (a plain Exception for names
  // that have no type of their own).
  [[noreturn]] static void raise(std::string_view name, std::string reason, Value userInfo = {});

 private:
  std::string name_;
  std::string reason_;
  Value userInfo_;
  std::string what_;
};

// A statement or engine error.
class SQLException : public Exception {
 public:
  explicit SQLException(std::string reason, Value userInfo = {})
      : Exception(std::string(kSQLException), std::move(reason), std::move(userInfo)) {}
  ~SQLException() override;

 protected:
  SQLException(std::string name, std::string reason, Value userInfo)
      : Exception(std::move(name), std::move(reason), std::move(userInfo)) {}
};

// The connection failed or was lost; the client is disconnected by the time
// this reaches the caller.
class SQLConnectionException : public SQLException {
 public:
  explicit SQLConnectionException(std::string reason, Value userInfo = {})
      : SQLException(std::string(kSQLConnectionException), std::move(reason), std::move(userInfo)) {}
  ~SQLConnectionException() override;
};

// A broken invariant or misuse of the API (an empty statement, ...).
class InternalInconsistencyException : public Exception {
 public:
  explicit InternalInconsistencyException(std::string reason, Value userInfo = {})
      : Exception(std::string(kNSInternalInconsistencyException), std::move(reason), std::move(userInfo)) {}
  ~InternalInconsistencyException() override;
};

// An argument the operation cannot take.
class InvalidArgumentException : public Exception {
 public:
  explicit InvalidArgumentException(std::string reason, Value userInfo = {})
      : Exception(std::string(kNSInvalidArgumentException), std::move(reason), std::move(userInfo)) {}
  ~InvalidArgumentException() override;
};

}  // namespace korvel
