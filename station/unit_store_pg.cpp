// The sender: one thread per station that reads the results log from where
// the database's confirmation ends and sends its rows, in order, one
// transaction per batch; it reconnects with a growing pause while the
// server is away. Its only state beside the log is LOG.dbsent, one line:
//   kbupdate-dbsent 1 DATABASE_ID OFFSET FIRST_UNIT_ID
// the byte offset in the log up to which the database with that id has
// confirmed every row, and the id of the log's first unit, which tells this
// log from one begun anew under the same name. It is renewed (written aside, then renamed) after
// each confirmed batch; if it is lost or older than the truth, rows are sent
// again and the database keeps each once. Against another database (another
// id) every row of the log is sent.
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "station/pg_link.h"
#include "station/results_reader.h"
#include "station/unit_store.h"
#include "station/unit_table.h"

namespace kbt {
namespace {

using pg::Clock;
using namespace std::chrono_literals;

constexpr std::size_t kBatchRows = 100;
constexpr std::size_t kMaxPendingRows = 5000;  // read ahead of the sending, at most
constexpr auto kStatementTime = 15s;
constexpr auto kConnectTime = 5s;
constexpr auto kFirstRetry = 500ms;
constexpr auto kLongestPause = 10s;
constexpr auto kIdleCheck = 20s;  // an idle connection is tried this often

class Sidecar {
 public:
  explicit Sidecar(std::string logPath) : path_(std::move(logPath) + ".dbsent") {}
  bool Load(std::string& databaseId, std::uint64_t& offset, std::string& firstUnit) const {
    std::ifstream in(path_);
    std::string magic;
    int version = 0;
    return static_cast<bool>(in >> magic >> version >> databaseId >> offset >> firstUnit) &&
           magic == "kbupdate-dbsent" && version == 1;
  }
  bool Save(const std::string& databaseId, std::uint64_t offset,
            const std::string& firstUnit) const {
    const std::string aside = path_ + ".new";
    std::FILE* f = std::fopen(aside.c_str(), "w");
    if (!f) return false;
    const bool written =
        std::fprintf(f, "kbupdate-dbsent 1 %s %llu %s\n", databaseId.c_str(),
                     static_cast<unsigned long long>(offset), firstUnit.c_str()) > 0 &&
        std::fflush(f) == 0 && ::fsync(fileno(f)) == 0;
    return (std::fclose(f) == 0) && written && std::rename(aside.c_str(), path_.c_str()) == 0;
  }

 private:
  std::string path_;
};

// The id of the log's first unit ("-" while it has none).
std::string FirstUnitId(const ResultsReader& reader) {
  ReadBatch batch;
  for (std::uint64_t at = reader.DataStart(); reader.Read(at, 4096, batch) && batch.next != at;
       at = batch.next)
    if (!batch.units.empty()) return batch.units.front().first.unitId;
  return "-";
}

// Connects and makes or checks the table.
pg::Error Open(const std::string& conninfo, bool create, Clock::time_point deadline,
               std::unique_ptr<pg::Link>& link, std::string& databaseId) {
  std::unique_ptr<pg::Link> opened;
  if (pg::Error e = pg::Link::Connect(conninfo, deadline, opened)) return e;
  if (pg::Error e = pg::PrepareTable(*opened, create, Clock::now() + kStatementTime, databaseId))
    return e;
  link = std::move(opened);
  return {};
}

class PgUnitStore final : public UnitStore {
 public:
  PgUnitStore(UnitStoreOptions options, ResultsReader reader)
      : options_(std::move(options)), reader_(std::move(reader)), sidecar_(reader_.Path()) {}

  ~PgUnitStore() override { Finish(0ms); }

  // The first connection, on the caller's thread: a refusal stops the start.
  pg::Error Begin() {
    std::string confirmedBy, firstUnit;
    std::uint64_t offset = 0;
    // Another first unit, or an offset that is no record's start: the
    // confirmation was for another log of the same name (one begun anew),
    // and every row of this one is for the database.
    if (sidecar_.Load(confirmedBy, offset, firstUnit) && firstUnit == FirstUnitId(reader_) &&
        reader_.RecordStartsAt(offset)) {
      confirmed_ = offset;
      confirmedBy_ = confirmedBy;
    } else {
      confirmed_ = reader_.DataStart();
    }
    status_.server = pg::ServerOf(options_.conninfo);
    status_.awaySince = std::chrono::system_clock::now();
    status_.reason = "not connected yet";
    Restart(confirmed_);
    const pg::Error e = Connect(Clock::now() + options_.firstConnect);
    if (e.kind == pg::Error::Kind::Usage || e.kind == pg::Error::Kind::Refused) return e;
    if (e) Pause();
    thread_ = std::thread([this] { Run(); });
    return {};
  }

  void Added() override {
    std::lock_guard lock(mutex_);
    added_ = true;
    changed_.notify_all();
  }

  UnitStoreStatus Status() const override {
    std::lock_guard lock(mutex_);
    return status_;
  }

  void Finish(std::chrono::milliseconds grace) override {
    {
      std::lock_guard lock(mutex_);
      if (!stopping_) stopDeadline_ = Clock::now() + grace;
      stopping_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Note(const std::string& line) {
    if (options_.note) options_.note(line);
  }

  // Reads the log again from `from`: the rows to send are those after it.
  void Restart(std::uint64_t from) {
    pending_.clear();
    readTo_ = from;
    beyond_ = 0;
    ReadMore(true);
  }

  // Takes the log's new rows into the queue, up to its bound; rows beyond it
  // are counted, to be read when the queue has room.
  void ReadMore(bool countAll) {
    std::size_t appended = 0;
    if (pending_.size() >= kMaxPendingRows && !countAll) {
      std::lock_guard lock(mutex_);
      status_.waiting = pending_.size() + beyond_;
      return;
    }
    while (pending_.size() < kMaxPendingRows) {
      ReadBatch batch;
      if (HidResult r = reader_.Read(readTo_, 1 << 20, batch); !r) {
        Note("database: " + r.error);
        break;
      }
      for (const UnreadableRow& bad : batch.unreadable) {
        Note("database: " + reader_.Path() + ": the row at byte " + std::to_string(bad.offset) +
             " is not sent: " + bad.reason);
        std::lock_guard lock(mutex_);
        ++status_.unreadable;
      }
      for (auto& unit : batch.units) pending_.push_back(std::move(unit));
      appended += batch.units.size();
      if (batch.next == readTo_) break;
      readTo_ = batch.next;
    }
    if (pending_.size() >= kMaxPendingRows && countAll) {
      ReadBatch rest;
      for (std::uint64_t at = readTo_; reader_.Read(at, 1 << 20, rest) && rest.next != at;
           at = rest.next)
        beyond_ += rest.units.size();
    } else if (pending_.size() < kMaxPendingRows) {
      beyond_ = 0;  // the whole log is read
    } else {
      beyond_ -= std::min(beyond_, appended);
    }
    std::lock_guard lock(mutex_);
    status_.waiting = pending_.size() + beyond_;
  }

  void Away(const std::string& reason) {
    std::lock_guard lock(mutex_);
    if (status_.state == UnitStoreStatus::State::Connected)
      status_.awaySince = std::chrono::system_clock::now();
    status_.state = UnitStoreStatus::State::Away;
    status_.reason = reason;
  }

  pg::Error Connect(Clock::time_point deadline) {
    std::string databaseId;
    const pg::Error e = Open(options_.conninfo, true, deadline, link_, databaseId);
    if (e) {
      link_.reset();
      Away(e.text);
      return e;
    }
    if (databaseId != confirmedBy_) {
      // Another database than the one that confirmed: all of the log is for it.
      confirmedBy_ = databaseId;
      confirmed_ = reader_.DataStart();
      Restart(confirmed_);
    }
    pause_ = kFirstRetry;
    std::lock_guard lock(mutex_);
    status_.state = UnitStoreStatus::State::Connected;
    status_.server = link_->Server();
    status_.reason.clear();
    return {};
  }

  // The next connection after a pause that grows while the server stays away.
  void Pause() {
    nextTry_ = Clock::now() + pause_;
    pause_ = std::min<Clock::duration>(pause_ * 2, kLongestPause);
  }

  void Lost(const pg::Error& e) {
    link_.reset();
    Away(e.text);
    Pause();
  }

  // One batch in one transaction; rows whose data the server refuses are
  // then sent one by one and those refused skipped (with a note).
  void SendBatch() {
    const std::size_t n = std::min(pending_.size(), kBatchRows);
    std::size_t refused = 0;
    pg::Error e = link_->Exec("BEGIN", {}, Clock::now() + kStatementTime);
    for (std::size_t i = 0; i < n && !e; ++i) {
      bool added = false;
      e = pg::InsertUnit(*link_, pending_[i].first, options_.station, Clock::now() + kStatementTime,
                         added);
    }
    if (!e) e = link_->Exec("COMMIT", {}, Clock::now() + kStatementTime);
    if (e && pg::RowRefused(e)) {
      e = link_->Exec("ROLLBACK", {}, Clock::now() + kStatementTime);
      for (std::size_t i = 0; i < n && !e; ++i) {
        bool added = false;
        e = pg::InsertUnit(*link_, pending_[i].first, options_.station,
                           Clock::now() + kStatementTime, added);
        if (pg::RowRefused(e)) {
          Note("database: " + link_->Server() + " refused the unit " + pending_[i].first.unitId +
               ": " + e.text + "; it stays in the log only");
          ++refused;
          e = {};
        }
      }
    }
    if (e) {
      if (e.kind == pg::Error::Kind::Server) (void)link_->Exec("ROLLBACK", {}, Clock::now() + 2s);
      Lost(e);
      return;
    }
    confirmed_ = pending_[n - 1].second;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
    if (firstUnit_.empty() || firstUnit_ == "-") firstUnit_ = FirstUnitId(reader_);
    if (!sidecar_.Save(confirmedBy_, confirmed_, firstUnit_) && !sidecarNoted_) {
      sidecarNoted_ = true;
      Note("database: cannot write " + reader_.Path() +
           ".dbsent; a restart sends the log's rows again (the database keeps each once)");
    }
    std::lock_guard lock(mutex_);
    status_.sent += n - refused;
    status_.unreadable += refused;
    status_.waiting = pending_.size() + beyond_;
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      const bool added = std::exchange(added_, false);
      const bool stopping = stopping_;
      const auto stopAt = stopDeadline_;
      lock.unlock();
      // A row beyond the queue's bound is counted now and read later.
      if (added && pending_.size() >= kMaxPendingRows) ++beyond_;
      ReadMore(false);
      const auto now = Clock::now();
      if (stopping && (pending_.empty() || !link_ || now >= stopAt)) return;
      if (!link_ && now >= nextTry_) {
        if (Connect(now + kConnectTime)) Pause();
      } else if (link_ && !pending_.empty()) {
        SendBatch();
      } else if (link_ && now >= nextCheck_) {
        // An idle connection is tried now and then, so that what is shown
        // stays true while no unit ends.
        nextCheck_ = now + kIdleCheck;
        if (pg::Error e = link_->Exec("SELECT 1", {}, now + kStatementTime)) Lost(e);
      }
      lock.lock();
      if (added_ || stopping_ != stopping || (link_ && !pending_.empty())) continue;
      const auto wake = link_ ? nextCheck_ : nextTry_;
      changed_.wait_until(lock, stopping_ ? std::min(wake, stopDeadline_) : wake,
                          [&] { return added_ || stopping_ != stopping; });
    }
  }

  const UnitStoreOptions options_;
  const ResultsReader reader_;
  const Sidecar sidecar_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  UnitStoreStatus status_;  // under mutex_
  bool added_ = false;      // under mutex_
  bool stopping_ = false;   // under mutex_
  Clock::time_point stopDeadline_{};

  // The sender's own (the caller's before the thread starts).
  std::unique_ptr<pg::Link> link_;
  std::deque<std::pair<LoggedUnit, std::uint64_t>> pending_;
  std::uint64_t readTo_ = 0;
  std::size_t beyond_ = 0;
  std::uint64_t confirmed_ = 0;
  std::string confirmedBy_;
  Clock::duration pause_ = kFirstRetry;
  Clock::time_point nextTry_{};
  Clock::time_point nextCheck_{};
  bool sidecarNoted_ = false;
  std::string firstUnit_;  // the log's first unit's id, once it has one
  std::thread thread_;
};

StoreRefusal RefusalOf(const pg::Error& e) {
  switch (e.kind) {
    case pg::Error::Kind::Usage:
      return StoreRefusal::Usage;
    case pg::Error::Kind::Unreachable:
    case pg::Error::Kind::Lost:
      return StoreRefusal::Unreachable;
    default:
      return StoreRefusal::Refused;
  }
}

// A server's name leads every line about it.
std::string Named(const std::string& conninfo, const pg::Error& e) {
  const std::string server = pg::ServerOf(conninfo);
  if (e.kind == pg::Error::Kind::Usage || e.text.rfind(server, 0) == 0) return e.text;
  return "database " + server + ": " + e.text;
}

}  // namespace

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "station";
  return name;
}

std::string MaskedConninfo(const std::string& conninfo) {
  return pg::MaskConninfo(conninfo);
}

std::unique_ptr<UnitStore> StartUnitStore(const UnitStoreOptions& options,
                                          const std::string& logPath, std::string& error,
                                          StoreRefusal& refusal) {
  ResultsReader reader;
  if (HidResult r = ResultsReader::Open(logPath, reader); !r) {
    error = r.error;
    refusal = StoreRefusal::Refused;
    return nullptr;
  }
  auto store = std::make_unique<PgUnitStore>(options, std::move(reader));
  if (const pg::Error e = store->Begin()) {
    error = Named(options.conninfo, e);
    refusal = RefusalOf(e);
    return nullptr;
  }
  refusal = StoreRefusal::None;
  return store;
}

std::string PushLog(const UnitStoreOptions& options, const std::string& logPath, PushCounts& counts,
                    StoreRefusal& refusal, const std::function<void(std::size_t done)>& progress) {
  counts = {};
  ResultsReader reader;
  if (HidResult r = ResultsReader::Open(logPath, reader); !r) {
    refusal = StoreRefusal::Usage;
    return r.error;
  }
  std::unique_ptr<pg::Link> link;
  std::string databaseId;
  if (pg::Error e = Open(options.conninfo, true, Clock::now() + kConnectTime, link, databaseId)) {
    refusal = RefusalOf(e);
    return Named(options.conninfo, e);
  }
  // Every row, whatever LOG.dbsent says: the counts tell what was new.
  std::uint64_t at = reader.DataStart();
  for (;;) {
    ReadBatch batch;
    if (HidResult r = reader.Read(at, 1 << 20, batch); !r) {
      refusal = StoreRefusal::Usage;
      return r.error;
    }
    for (const UnreadableRow& bad : batch.unreadable) {
      ++counts.unreadable;
      if (options.note)
        options.note(logPath + ": the row at byte " + std::to_string(bad.offset) +
                     " is not sent: " + bad.reason);
    }
    if (!batch.units.empty()) {
      pg::Error e = link->Exec("BEGIN", {}, Clock::now() + kStatementTime);
      std::size_t added = 0;
      for (const auto& [unit, end] : batch.units) {
        if (e) break;
        bool fresh = false;
        e = pg::InsertUnit(*link, unit, options.station, Clock::now() + kStatementTime, fresh);
        added += fresh;
      }
      if (!e) e = link->Exec("COMMIT", {}, Clock::now() + kStatementTime);
      if (e) {
        refusal =
            e.kind == pg::Error::Kind::Lost ? StoreRefusal::Unreachable : StoreRefusal::Refused;
        return Named(options.conninfo, e) + " (" + std::to_string(counts.sent) +
               " rows were sent before; pushing again sends the rest)";
      }
      counts.sent += added;
      counts.already += batch.units.size() - added;
      if (progress) progress(counts.sent + counts.already);
    }
    if (batch.next == at) break;
    at = batch.next;
  }
  if (at > reader.DataStart()) (void)Sidecar(logPath).Save(databaseId, at, FirstUnitId(reader));
  refusal = StoreRefusal::None;
  return {};
}

std::string Summarize(const std::string& conninfo, const std::string& since,
                      std::vector<SummaryRow>& rows, StoreRefusal& refusal) {
  rows.clear();
  std::unique_ptr<pg::Link> link;
  std::string databaseId;
  if (pg::Error e = Open(conninfo, false, Clock::now() + kConnectTime, link, databaseId)) {
    refusal = RefusalOf(e);
    return Named(conninfo, e);
  }
  pg::Rows found;
  const pg::Error e = link->Exec(
      "SELECT station, firmware, count(*), count(*) FILTER (WHERE result = 'PASS'),"
      " count(*) FILTER (WHERE result = 'FAIL'),"
      " extract(epoch FROM min(\"time\" - duration_ms * interval '1 millisecond')),"
      " extract(epoch FROM min(\"time\")), extract(epoch FROM max(\"time\"))"
      " FROM kbupdate_units WHERE $1::timestamptz IS NULL OR \"time\" >= $1::timestamptz"
      " GROUP BY station, firmware ORDER BY station, firmware",
      {since.empty() ? std::nullopt : std::optional<std::string>(since)},
      Clock::now() + kStatementTime, &found);
  if (e) {
    // 22xxx: the server could not read --since as a time.
    refusal = pg::RowRefused(e) ? StoreRefusal::Usage : RefusalOf(e);
    return refusal == StoreRefusal::Usage ? "--since '" + since + "': " + e.text
                                          : Named(conninfo, e);
  }
  auto at = [](const std::string& epoch) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(std::stod(epoch))));
  };
  for (int i = 0; i < found.Count(); ++i) {
    SummaryRow r;
    r.station = found.At(i, 0);
    r.firmware = found.At(i, 1);
    r.units = std::stoll(found.At(i, 2));
    r.passed = std::stoll(found.At(i, 3));
    r.failed = std::stoll(found.At(i, 4));
    const double began = std::stod(found.At(i, 5));
    r.first = at(found.At(i, 6));
    r.last = at(found.At(i, 7));
    const double hours = (std::stod(found.At(i, 7)) - began) / 3600.0;
    r.unitsPerHour = hours > 0 ? static_cast<double>(r.units) / hours : 0.0;
    rows.push_back(std::move(r));
  }
  refusal = StoreRefusal::None;
  return {};
}

}  // namespace kbt
