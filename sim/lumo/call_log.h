// The simulator's record of every call it receives and every delivery it
// makes: one JSON object per line, appended to the file named by the
// environment variable ZOR_LUMO_SIM_LOG (nothing is written when it is
// unset). Lines carry a process-wide sequence number, so tests can assert
// on call order across threads.
#ifndef ZOR_SIM_LUMO_CALL_LOG_H_
#define ZOR_SIM_LUMO_CALL_LOG_H_

#include <string>

#include "json_writer.h"

namespace lumo_sim {

// Starts a record: {"call": name, "tid": <kernel thread id>,
// "in_callback": <whether this thread is inside a delivery of ours>, ...}.
JsonObject BeginRecord(const char* call);

// Appends the record as one line (thread-safe, flushed at once).
void WriteRecord(const JsonObject& record);

// Marks the current thread as inside a callback delivery for its lifetime.
class DeliveryScope {
 public:
  DeliveryScope();
  ~DeliveryScope();
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;

 private:
  bool previous_;
};

bool InDelivery();

// Diagnostic line on stderr with the simulator's tag.
void Diagnose(const std::string& message);

}  // namespace lumo_sim

#endif  // ZOR_SIM_LUMO_CALL_LOG_H_
