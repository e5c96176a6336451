// Test support for code that runs against the simulated NPU runtime: points
// the loader at it, reaches its inspection interface, and gives each test a
// scratch directory for model description files.
#ifndef ZOR_ASR_NPU_NPU_TEST_SUPPORT_H_
#define ZOR_ASR_NPU_NPU_TEST_SUPPORT_H_

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

class SimNpurt {
 public:
  // Must run before the first NPU call of the process: the loader reads
  // ZOR_NPURT_PATH once. dlopen of the same file yields the instance the
  // loader uses.
  SimNpurt() {
    const char* path = std::getenv("ZOR_SIM_NPURT");
    if (path == nullptr) return;
    setenv("ZOR_NPURT_PATH", path, 1);
    handle_ = dlopen(path, RTLD_NOW);
    if (handle_ == nullptr) return;
    reset_ = reinterpret_cast<void (*)()>(dlsym(handle_, "zornn_sim_reset"));
    count_ = reinterpret_cast<int64_t (*)(const char*)>(dlsym(handle_, "zornn_sim_count"));
    record_ = reinterpret_cast<int64_t (*)(const char*, void*, int64_t)>(
        dlsym(handle_, "zornn_sim_record"));
  }
  ~SimNpurt() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  SimNpurt(const SimNpurt&) = delete;
  SimNpurt& operator=(const SimNpurt&) = delete;

  bool ok() const { return reset_ && count_ && record_; }
  void Reset() { reset_(); }
  int64_t Count(const char* name) { return count_(name); }
  std::vector<uint8_t> Record(const char* name) {
    int64_t n = record_(name, nullptr, 0);
    std::vector<uint8_t> out(n > 0 ? static_cast<size_t>(n) : 0);
    if (n > 0) record_(name, out.data(), n);
    return out;
  }
  std::string Text(const char* name) {
    std::vector<uint8_t> r = Record(name);
    return std::string(r.begin(), r.end());
  }
  template <typename T>
  std::vector<T> Values(const char* name) {
    std::vector<uint8_t> r = Record(name);
    std::vector<T> out(r.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), r.data(), out.size() * sizeof(T));
    return out;
  }

 private:
  void* handle_ = nullptr;
  void (*reset_)() = nullptr;
  int64_t (*count_)(const char*) = nullptr;
  int64_t (*record_)(const char*, void*, int64_t) = nullptr;
};

// A per-test-program scratch directory under ZOR_TEST_TMP.
inline std::string TestTmpPath(const std::string& name) {
  const char* root = std::getenv("ZOR_TEST_TMP");
  std::string dir = std::string(root ? root : "/tmp") + "/npu";
  mkdir(root ? root : "/tmp", 0755);
  mkdir(dir.c_str(), 0755);
  return dir + "/" + name;
}

#endif  // ZOR_ASR_NPU_NPU_TEST_SUPPORT_H_
