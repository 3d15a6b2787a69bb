// What a run leaves behind: the module's prints and assertions, and the trace of every
// register access and every service or PPI call, in the order they happened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace peiboard {

enum class Phase : uint8_t { kDispatch, kInstall, kChipset, kCall };
const char* phase_name(Phase phase);

struct Event {
  enum class Kind : uint8_t { kPrint, kAssert };
  Phase phase = Phase::kCall;
  Kind kind = Kind::kPrint;
  uint32_t level = 0;  // prints
  std::string text;    // the rendered print, or the assertion's expression text
  std::string file;    // assertions
  uint32_t line = 0;   // assertions
};

struct TraceRecord {
  enum class Kind : uint8_t { kRead, kWrite, kService, kPpi };
  Phase phase = Phase::kCall;
  Kind kind = Kind::kRead;
  uint32_t address = 0;  // register address, or the trap address of the call
  unsigned width = 0;    // bytes, register accesses only
  uint64_t value = 0;    // value read or written; a call's status
  std::string routine;   // the module routine that made it
  std::string what;      // device and register, or the call with its arguments
};

class RunLog {
 public:
  Phase phase = Phase::kCall;
  std::vector<Event> events;
  std::vector<TraceRecord> trace;
  uint64_t bus_aborts = 0;

  void print(uint32_t level, std::string text) {
    events.push_back({phase, Event::Kind::kPrint, level, std::move(text), {}, 0});
  }
  void assertion(std::string file, uint32_t line, std::string text) {
    events.push_back({phase, Event::Kind::kAssert, 0, std::move(text), std::move(file), line});
  }
  void access(bool write, uint32_t address, unsigned width, uint64_t value, std::string routine,
              std::string what) {
    trace.push_back({phase, write ? TraceRecord::Kind::kWrite : TraceRecord::Kind::kRead, address,
                     width, value, std::move(routine), std::move(what)});
  }
  void call(bool ppi, uint32_t address, uint64_t status, std::string routine, std::string what) {
    trace.push_back({phase, ppi ? TraceRecord::Kind::kPpi : TraceRecord::Kind::kService, address, 0,
                     status, std::move(routine), std::move(what)});
  }
  void clear() {
    events.clear();
    trace.clear();
    bus_aborts = 0;
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

}  // namespace peiboard
