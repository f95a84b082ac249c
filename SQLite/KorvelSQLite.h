// KorvelSQLite: the SQLite backend.
//
// The database setting is the path of the database file, which the engine
// creates when it does not exist; user and password play no part. The
// connection is opened on demand and kept until disconnect, with the
// engine's defaults (no busy time-out, no pragmas).
//
// Values: integers come back as int32 numbers when they fit, else as int64;
// reals as doubles; texts as texts (up to an embedded NUL); BLOBs as byte
// buffers; NULL as an empty record slot (not the null marker). Dates are
// written as numbers of seconds since 2001-01-01 UTC and read back as
// doubles. Statements report no row count: execute returns -1.
#pragma once

#include <exception>
#include <memory>

#include "korvel/korvel.h"

struct sqlite3;

namespace korvel {

class KorvelSQLite final : public Korvel {
 public:
  explicit KorvelSQLite(KorvelConfig config);
  ~KorvelSQLite() override;

  bool backendConnect() override;
  void backendDisconnect() override;
  std::int64_t backendExecute(const StatementList& info) override;
  Ref<List> backendQuery(const Value& statement, const RecordType& recordType,
                         const ListType& listType) override;
  // X'00ABFF': 2 × length + 3 bytes, no NUL.
  std::uint32_t lengthOfEscapedBLOB(const Bytes& blob) override;
  std::uint32_t copyEscapedBLOB(const Bytes& blob, char* into) override;
  // Dates become doubles (seconds since 2001-01-01 UTC); the rest as the base.
  std::string quote(const Value& value) override;

 private:
  void logDisconnectError(std::exception_ptr error) noexcept;

  struct Closer {
    void operator()(sqlite3* db) const noexcept;
  };
  // The open engine connection, or empty while closed. Owned: closing the
  // client or destroying it closes the handle exactly once.
  std::unique_ptr<sqlite3, Closer> extra;
};

}  // namespace korvel
