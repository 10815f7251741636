// The machine's record of its update passes, kept in the settings store
// beside the product's other values so that readers of group vexor (the
// administrators' tools, monitoring) can tell passes apart without the
// service's history, and see one-shot passes too:
//
//   PassNumber  the number of the newest pass started on the machine
//               (the service's passes and "VexorDatUpdater -once" alike)
//   PassEnded   the number of the newest pass that has ended
//   PassResult  how that pass ended: "Check finished." or "Error: ..."
//
// A pass takes its number before its first history line and records its
// end after its check time; PassEnded never goes back. Two passes that end
// in the same second with the same lines still have two numbers.
//
//   const PassRecord record = ReadPassRecord();
//   if (record.Running()) ...wait for record.started to end...
#pragma once

#include <cstdint>
#include <string>

namespace TesselSoftware {

inline constexpr char kPassNumberValue[] = "PassNumber";
inline constexpr char kPassEndedValue[] = "PassEnded";
inline constexpr char kPassResultValue[] = "PassResult";

// What the last line of a pass that succeeded says.
inline constexpr char kPassSucceeded[] = "Check finished.";
// The end recorded for a pass that a crash, a kill or a power cut left
// without one; written by the next pass on the machine.
inline constexpr char kPassInterrupted[] =
    "Error: The update pass was interrupted (its process ended before the pass did)";

struct PassRecord {
    uint64_t started = 0;
    uint64_t ended = 0;
    std::string result;
    int64_t last_check = 0;  // LastCheckTime: when the newest check finished

    bool Running() const { return started > ended; }
    bool Failed() const { return result.rfind("Error: ", 0) == 0; }
};

// Reads the record; a store without one gives an empty record. Throws
// ExceptionBase when the store cannot be read.
PassRecord ReadPassRecord();

}  // namespace TesselSoftware
