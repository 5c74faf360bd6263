// What the station's runner and its front ends see of the database that
// keeps the shared record (station/unit_store.h): its state, and the store
// itself only as far as they need it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace kbt {

// What a front end shows of the database.
struct UnitStoreStatus {
  enum class State { Connected, Away };
  State state = State::Away;
  std::string server;                                 // user@host:port/database, never a password
  std::chrono::system_clock::time_point awaySince{};  // when it was last lost (or the start)
  std::string reason;                                 // why it is away
  std::size_t waiting = 0;     // rows of the log the database has not confirmed
  std::size_t sent = 0;        // rows it confirmed since the start
  std::size_t unreadable = 0;  // rows of the log that are not units and are never sent

  bool SameShown(const UnitStoreStatus& o) const {
    return state == o.state && waiting == o.waiting && reason == o.reason &&
           unreadable == o.unreadable;
  }
};

class UnitStore {
 public:
  virtual ~UnitStore() = default;
  // A row was appended to the log.
  virtual void Added() = 0;
  virtual UnitStoreStatus Status() const = 0;
  // Sends what waits while it can, at most `grace`, then stops the sender.
  virtual void Finish(std::chrono::milliseconds grace) = 0;
};

}  // namespace kbt
