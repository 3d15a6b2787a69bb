// What a run leaves behind: the module's prints and assertions, and the trace of every
// register access and every service or PPI call, in the order they happened.
//
// Both are bounded: past a cap the log keeps one "truncated" mark and counts what it drops,
// so that no guest can make a run fill the host's memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace peiboard {

enum class Phase : uint8_t { kDispatch, kInstall, kChipset, kCall };
const char* phase_name(Phase phase);
// The phase as a report names it: each notify callback that the foundation ran at its
// registration, because its PPI was installed already, adds "/notify" ("dispatch/notify").
std::string phase_label(Phase phase, uint8_t notify_nesting);

struct Event {
  enum class Kind : uint8_t { kPrint, kAssert, kTruncated };
  Phase phase = Phase::kCall;
  Kind kind = Kind::kPrint;
  uint32_t level = 0;          // prints
  std::string text;            // the rendered print, or the assertion's expression text
  std::string file;            // assertions
  uint32_t line = 0;           // assertions
  uint32_t at = 0;             // the module's call into the debug PPI (its return address)
  uint8_t notify_nesting = 0;  // see phase_label()
};

struct TraceRecord {
  enum class Kind : uint8_t { kRead, kWrite, kService, kPpi, kTruncated };
  Phase phase = Phase::kCall;
  Kind kind = Kind::kRead;
  uint32_t address = 0;        // register address, or the trap address of the call
  unsigned width = 0;          // bytes, register accesses only
  uint64_t value = 0;          // value read or written; a call's status
  std::string routine;         // the module routine that made it
  std::string what;            // device and register, or the call with its arguments
  uint32_t at = 0;             // the instruction that made the access, or the call's return address
  uint8_t notify_nesting = 0;  // see phase_label()
  // The return addresses of the calls that led to `at`, innermost first (with callers_of).
  std::vector<uint32_t> callers;
};

class RunLog {
 public:
  static constexpr size_t kMaxEvents = 20'000;
  static constexpr size_t kMaxEventBytes = 4u << 20;  // text of all events together
  static constexpr size_t kMaxTrace = 200'000;

  Phase phase = Phase::kCall;
  // Notify callbacks run at their registration that enclose what is logged now.
  uint8_t notify_nesting = 0;
  // Keep every trace record; without, only the counts below (bulk runs that show no trace).
  bool tracing = true;
  // The routine a guest address lies in, for trace records (set by the board).
  std::function<std::string(uint32_t)> name_of;
  // When set, each trace record also keeps the callers of its guest address (`run
  // --trace=stack`).
  std::function<std::vector<uint32_t>(uint32_t)> callers_of;
  std::vector<Event> events;
  std::vector<TraceRecord> trace;
  uint64_t register_accesses = 0;
  uint64_t service_calls = 0;
  uint64_t ppi_calls = 0;
  uint64_t bus_aborts = 0;
  uint64_t blocked_writes = 0;  // guest writes a device or memory refused
  uint64_t events_dropped = 0;  // past the cap, after the truncated mark
  uint64_t trace_dropped = 0;

  void print(uint32_t level, std::string text, uint32_t at) {
    add_event({phase, Event::Kind::kPrint, level, std::move(text), {}, 0, at});
  }
  void assertion(std::string file, uint32_t line, std::string text, uint32_t at) {
    add_event({phase, Event::Kind::kAssert, 0, std::move(text), std::move(file), line, at});
  }
  // A register access made at guest address `at`. `what` gives its description and is called
  // only when tracing.
  template <class What>
  void access(bool write, uint32_t address, unsigned width, uint64_t value, uint32_t at,
              What&& what) {
    ++register_accesses;
    if (!tracing || trace_full()) return;
    add_trace({phase, write ? TraceRecord::Kind::kWrite : TraceRecord::Kind::kRead, address, width,
               value, routine(at), what(), at, 0, callers(at)});
  }
  // A service or PPI call at trap `address`, returning to `at`. Gives the index of the record,
  // to fill in a status later; SIZE_MAX when none was kept.
  template <class What>
  size_t call(bool ppi, uint32_t address, uint64_t status, uint32_t at, What&& what) {
    ++(ppi ? ppi_calls : service_calls);
    if (!tracing || trace_full()) return SIZE_MAX;
    return add_trace({phase, ppi ? TraceRecord::Kind::kPpi : TraceRecord::Kind::kService, address,
                      0, status, routine(at), what(), at, 0, callers(at)});
  }
  void set_status(size_t record, uint64_t status) {
    if (record < trace.size()) trace[record].value = status;
  }
  // Empty again, tracing and naming as before.
  void clear() {
    RunLog fresh;
    fresh.tracing = tracing;
    fresh.name_of = std::move(name_of);
    fresh.callers_of = std::move(callers_of);
    *this = std::move(fresh);
  }

 private:
  size_t event_bytes_ = 0;

  std::string routine(uint32_t at) const { return name_of ? name_of(at) : std::string(); }
  std::vector<uint32_t> callers(uint32_t at) const {
    return callers_of ? callers_of(at) : std::vector<uint32_t>();
  }
  // Past the cap: the record is only counted (its strings are not even made).
  bool trace_full() {
    if (trace_dropped == 0 && trace.size() + 1 < kMaxTrace) return false;
    add_trace({});
    return true;
  }

  void add_event(Event event) {
    if (events_dropped > 0 ||
        (events.size() + 1 >= kMaxEvents ||
         event_bytes_ + event.text.size() + event.file.size() > kMaxEventBytes)) {
      if (events_dropped++ == 0) {
        events.push_back(
            {phase, Event::Kind::kTruncated, 0, "truncated", {}, 0, 0, notify_nesting});
      }
      return;
    }
    event_bytes_ += event.text.size() + event.file.size();
    event.notify_nesting = notify_nesting;
    events.push_back(std::move(event));
  }
  size_t add_trace(TraceRecord record) {
    if (trace_dropped > 0 || trace.size() + 1 >= kMaxTrace) {
      if (trace_dropped++ == 0) {
        trace.push_back(
            {phase, TraceRecord::Kind::kTruncated, 0, 0, 0, {}, "truncated", 0, notify_nesting});
      }
      return SIZE_MAX;
    }
    record.notify_nesting = notify_nesting;
    trace.push_back(std::move(record));
    return trace.size() - 1;
  }
};

inline const char* phase_name(Phase phase) {
  switch (phase) {
    case Phase::kDispatch:
      return "dispatch";
    case Phase::kInstall:
      return "install";
    case Phase::kChipset:
      return "chipset";
    case Phase::kCall:
      return "call";
  }
  return "call";
}

inline std::string phase_label(Phase phase, uint8_t notify_nesting) {
  std::string label = phase_name(phase);
  for (uint8_t i = 0; i < notify_nesting; ++i) label += "/notify";
  return label;
}

}  // namespace peiboard
