// A build without a database client (Windows): every --db is refused with
// the reason, the rest of the station is the same.
#include "station/unit_store.h"

#include <cstdlib>

namespace kbt {
namespace {

const char kNoDatabase[] =
    "this build has no database support (--db needs the Linux build of kbupdate)";

}  // namespace

std::unique_ptr<UnitStore> StartUnitStore(const UnitStoreOptions&, const std::string&,
                                          std::string& error, StoreRefusal& refusal) {
  error = kNoDatabase;
  refusal = StoreRefusal::NoSupport;
  return nullptr;
}

std::string HostName() {
  const char* name = std::getenv("COMPUTERNAME");
  return name && *name ? name : "station";
}

std::string MaskedConninfo(const std::string& conninfo) {
  return conninfo.empty() ? conninfo : "***";
}

std::string PushLog(const UnitStoreOptions&, const std::string&, PushCounts& counts,
                    StoreRefusal& refusal, const std::function<void(std::size_t)>&) {
  counts = {};
  refusal = StoreRefusal::NoSupport;
  return kNoDatabase;
}

std::string Summarize(const std::string&, const std::string&, std::vector<SummaryRow>& rows,
                      StoreRefusal& refusal) {
  rows.clear();
  refusal = StoreRefusal::NoSupport;
  return kNoDatabase;
}

}  // namespace kbt
