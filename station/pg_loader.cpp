// libpq, opened on first use rather than at start. Linked in, libpq and the
// libraries it pulls in (Kerberos, LDAP, TLS, ...) cost some ten million
// instructions at every start of kbupdate, whatever the verb; most verbs
// never touch a database. So the programs link libpq's headers only: each
// libpq function pg_link.cpp calls is defined here with libpq-fe.h's own
// signature and passes the call on to libpq.so.5, which the first call
// opens (dlopen) and which stays open. Where it cannot be opened, every
// function here answers as libpq does without a connection (no connection,
// no result, nothing to free) and ClientMissing() says why, naming the
// library and its Debian package; Link::Connect reports that before it
// calls anything else.
#include <dlfcn.h>
#include <libpq-fe.h>

#include <string>
#include <type_traits>

#include "station/pg_link.h"

namespace kbt::pg {
namespace {

constexpr char kLibrary[] = "libpq.so.5";
constexpr char kPackage[] = "libpq5";

// Every libpq function the programs call: pg_link.cpp's, one forwarder each
// below.
#define KB_LIBPQ_FUNCTIONS(X) \
  X(PQclear)                  \
  X(PQcmdTuples)              \
  X(PQconndefaults)           \
  X(PQconnectPoll)            \
  X(PQconnectStartParams)     \
  X(PQconninfo)               \
  X(PQconninfoFree)           \
  X(PQconninfoParse)          \
  X(PQconsumeInput)           \
  X(PQdb)                     \
  X(PQerrorMessage)           \
  X(PQfinish)                 \
  X(PQflush)                  \
  X(PQfreemem)                \
  X(PQgetisnull)              \
  X(PQgetResult)              \
  X(PQgetvalue)               \
  X(PQhost)                   \
  X(PQisBusy)                 \
  X(PQntuples)                \
  X(PQpingParams)             \
  X(PQport)                   \
  X(PQresultErrorField)       \
  X(PQresultErrorMessage)     \
  X(PQresultStatus)           \
  X(PQsendQuery)              \
  X(PQsendQueryParams)        \
  X(PQsetNoticeProcessor)     \
  X(PQsetnonblocking)         \
  X(PQsocket)                 \
  X(PQstatus)                 \
  X(PQuser)

struct Libpq {
  std::string missing;  // why libpq cannot be used; empty once it is loaded
#define KB_MEMBER(name) decltype(&::name) name = nullptr;
  KB_LIBPQ_FUNCTIONS(KB_MEMBER)
#undef KB_MEMBER
};

Libpq Load() {
  Libpq lib;
  const std::string install = std::string("; Debian's package ") + kPackage + " provides it";
  // Local: libpq's symbols are reached through the handle only, and bind
  // nothing a library opened later looks for.
  void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    lib.missing = std::string("the database client ") + kLibrary + " cannot be loaded (" +
                  (why ? why : "no reason given") + ")" + install;
    return lib;
  }
  const char* lacking = nullptr;
#define KB_RESOLVE(name)                                                                    \
  if (!lacking && !(lib.name = reinterpret_cast<decltype(lib.name)>(dlsym(handle, #name)))) \
    lacking = #name;
  KB_LIBPQ_FUNCTIONS(KB_RESOLVE)
#undef KB_RESOLVE
  if (lacking) {
    dlclose(handle);
    lib = {};
    lib.missing = std::string("the database client ") + kLibrary + " has no " + lacking +
                  " (too old)" + install;
  }
  return lib;
}

const Libpq& Lib() {
  static const Libpq lib = Load();  // once, by whichever thread calls first
  return lib;
}

char kNothing[] = "";

// The call passed on to libpq, or `failed` without it.
template <typename R, typename... P>
R Call(R (*Libpq::*fn)(P...), std::type_identity_t<R> failed, std::type_identity_t<P>... args) {
  const Libpq& lib = Lib();
  return lib.missing.empty() ? (lib.*fn)(args...) : failed;
}

template <typename... P>
void Run(void (*Libpq::*fn)(P...), std::type_identity_t<P>... args) {
  const Libpq& lib = Lib();
  if (lib.missing.empty()) (lib.*fn)(args...);
}

}  // namespace

const std::string& ClientMissing() {
  return Lib().missing;
}

}  // namespace kbt::pg

using kbt::pg::Call;
using kbt::pg::kNothing;
using kbt::pg::Libpq;
using kbt::pg::Run;

extern "C" {

PGconn* PQconnectStartParams(const char* const* keywords, const char* const* values,
                             int expand_dbname) {
  return Call(&Libpq::PQconnectStartParams, nullptr, keywords, values, expand_dbname);
}

PostgresPollingStatusType PQconnectPoll(PGconn* conn) {
  return Call(&Libpq::PQconnectPoll, PGRES_POLLING_FAILED, conn);
}

PGPing PQpingParams(const char* const* keywords, const char* const* values, int expand_dbname) {
  return Call(&Libpq::PQpingParams, PQPING_NO_ATTEMPT, keywords, values, expand_dbname);
}

void PQfinish(PGconn* conn) {
  Run(&Libpq::PQfinish, conn);
}

PQconninfoOption* PQconndefaults(void) {
  return Call(&Libpq::PQconndefaults, nullptr);
}

PQconninfoOption* PQconninfoParse(const char* conninfo, char** errmsg) {
  if (errmsg) *errmsg = nullptr;
  return Call(&Libpq::PQconninfoParse, nullptr, conninfo, errmsg);
}

PQconninfoOption* PQconninfo(PGconn* conn) {
  return Call(&Libpq::PQconninfo, nullptr, conn);
}

void PQconninfoFree(PQconninfoOption* connOptions) {
  Run(&Libpq::PQconninfoFree, connOptions);
}

char* PQdb(const PGconn* conn) {
  return Call(&Libpq::PQdb, nullptr, conn);
}

char* PQuser(const PGconn* conn) {
  return Call(&Libpq::PQuser, nullptr, conn);
}

char* PQhost(const PGconn* conn) {
  return Call(&Libpq::PQhost, nullptr, conn);
}

char* PQport(const PGconn* conn) {
  return Call(&Libpq::PQport, nullptr, conn);
}

ConnStatusType PQstatus(const PGconn* conn) {
  return Call(&Libpq::PQstatus, CONNECTION_BAD, conn);
}

char* PQerrorMessage(const PGconn* conn) {
  return Call(&Libpq::PQerrorMessage, kNothing, conn);
}

int PQsocket(const PGconn* conn) {
  return Call(&Libpq::PQsocket, -1, conn);
}

PQnoticeProcessor PQsetNoticeProcessor(PGconn* conn, PQnoticeProcessor proc, void* arg) {
  return Call(&Libpq::PQsetNoticeProcessor, nullptr, conn, proc, arg);
}

int PQsendQuery(PGconn* conn, const char* query) {
  return Call(&Libpq::PQsendQuery, 0, conn, query);
}

int PQsendQueryParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                      const char* const* paramValues, const int* paramLengths,
                      const int* paramFormats, int resultFormat) {
  return Call(&Libpq::PQsendQueryParams, 0, conn, command, nParams, paramTypes, paramValues,
              paramLengths, paramFormats, resultFormat);
}

PGresult* PQgetResult(PGconn* conn) {
  return Call(&Libpq::PQgetResult, nullptr, conn);
}

int PQisBusy(PGconn* conn) {
  return Call(&Libpq::PQisBusy, 0, conn);
}

int PQconsumeInput(PGconn* conn) {
  return Call(&Libpq::PQconsumeInput, 0, conn);
}

int PQsetnonblocking(PGconn* conn, int arg) {
  return Call(&Libpq::PQsetnonblocking, -1, conn, arg);
}

int PQflush(PGconn* conn) {
  return Call(&Libpq::PQflush, -1, conn);
}

ExecStatusType PQresultStatus(const PGresult* res) {
  return Call(&Libpq::PQresultStatus, PGRES_FATAL_ERROR, res);
}

char* PQresultErrorMessage(const PGresult* res) {
  return Call(&Libpq::PQresultErrorMessage, kNothing, res);
}

char* PQresultErrorField(const PGresult* res, int fieldcode) {
  return Call(&Libpq::PQresultErrorField, nullptr, res, fieldcode);
}

int PQntuples(const PGresult* res) {
  return Call(&Libpq::PQntuples, 0, res);
}

char* PQgetvalue(const PGresult* res, int tup_num, int field_num) {
  return Call(&Libpq::PQgetvalue, kNothing, res, tup_num, field_num);
}

int PQgetisnull(const PGresult* res, int tup_num, int field_num) {
  return Call(&Libpq::PQgetisnull, 1, res, tup_num, field_num);
}

char* PQcmdTuples(PGresult* res) {
  return Call(&Libpq::PQcmdTuples, kNothing, res);
}

void PQclear(PGresult* res) {
  Run(&Libpq::PQclear, res);
}

void PQfreemem(void* ptr) {
  Run(&Libpq::PQfreemem, ptr);
}

}  // extern "C"
