#include "call_log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace lumo_sim {
namespace {

std::mutex g_log_mutex;
uint64_t g_sequence = 0;  // guarded by g_log_mutex
thread_local bool t_in_delivery = false;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

JsonObject BeginRecord(const char* call) {
  JsonObject record;
  record.Text("call", call);
  // The kernel id matches Python's threading.get_native_id().
  record.Int("tid", static_cast<int64_t>(syscall(SYS_gettid)));
  record.Bool("in_callback", t_in_delivery);
  return record;
}

void WriteRecord(const JsonObject& record) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  const uint64_t seq = ++g_sequence;
  // Read at every write so a test can point each case at its own file.
  const char* path = std::getenv("ZOR_LUMO_SIM_LOG");
  if (path == nullptr || *path == '\0') return;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "a"));
  if (!file) return;
  // The sequence number goes first so each line reads in call order.
  std::string line = "{\"seq\":" + std::to_string(seq) + "," + record.Finish().substr(1) + "\n";
  std::fwrite(line.data(), 1, line.size(), file.get());
}

DeliveryScope::DeliveryScope() : previous_(t_in_delivery) { t_in_delivery = true; }
DeliveryScope::~DeliveryScope() { t_in_delivery = previous_; }

bool InDelivery() { return t_in_delivery; }

void Diagnose(const std::string& message) {
  std::fprintf(stderr, "[lumo_sim] %s\n", message.c_str());
}

}  // namespace lumo_sim
