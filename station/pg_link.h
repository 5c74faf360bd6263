// One connection to a PostgreSQL server through libpq, thin: a handle that
// closes itself, statements only with their parameters apart
// (PQsendQueryParams), and every wait bounded by a deadline, so that a
// server that stops answering costs a bounded wait and never a hang. The
// connection string, the PG* environment variables and the service file
// mean exactly what libpq makes of them; only where none of them sets the
// TCP keepalives or the user timeout does the link set its own. libpq is
// opened on the first call into it (pg_loader.cpp), not at the program's
// start.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace kbt::pg {

using Clock = std::chrono::steady_clock;

struct Error {
  enum class Kind {
    None,
    Usage,        // the connection string does not parse, or libpq cannot be loaded
    Unreachable,  // no server answered (in time), or it is starting or stopping
    Refused,      // the server answered and refused the connection
    Lost,         // the connection broke, or a statement ran out of time
    Server,       // the server refused a statement; sqlstate says why
  };
  Kind kind = Kind::None;
  std::string text;  // one line, no password in it
  std::string sqlstate;
  explicit operator bool() const { return kind != Kind::None; }
  static Error Of(Kind kind, std::string text, std::string sqlstate = {}) {
    return {kind, std::move(text), std::move(sqlstate)};
  }
};

class Rows {
 public:
  int Count() const;
  std::string At(int row, int column) const;
  bool Null(int row, int column) const;
  // Rows an INSERT, UPDATE or DELETE touched.
  std::int64_t Affected() const;

 private:
  friend class Link;
  std::shared_ptr<pg_result> result_;
};

using Params = std::vector<std::optional<std::string>>;  // nullopt: SQL NULL

class Link {
 public:
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Connects, at the latest by `deadline` (sooner where connect_timeout says).
  static Error Connect(const std::string& conninfo, Clock::time_point deadline,
                       std::unique_ptr<Link>& out);
  // One statement (several with no parameters), done by `deadline`; a
  // statement still running then loses the connection.
  Error Exec(const char* sql, const Params& params, Clock::time_point deadline,
             Rows* rows = nullptr);
  // user@host:port/database.
  const std::string& Server() const { return server_; }
  bool Broken() const;

 private:
  explicit Link(pg_conn* conn);
  Error Wait(bool write, Clock::time_point deadline);
  Error LostError(const std::string& what);

  pg_conn* conn_;
  std::string server_;
};

// Why libpq cannot be used in this process (one line naming the library and
// its Debian package); empty where it can. The first call opens it.
const std::string& ClientMissing();

// The connection string as it may be shown: the value of any password in
// key=value form or in a URI replaced by "***".
std::string MaskConninfo(const std::string& conninfo);
// The server a connection string names, as far as can be told without
// connecting (libpq's defaults for what it leaves out).
std::string ServerOf(const std::string& conninfo);

}  // namespace kbt::pg
