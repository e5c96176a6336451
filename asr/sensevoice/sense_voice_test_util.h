// Helpers shared by the SenseVoice tests: scratch files in the test folder.
#ifndef ZOR_ASR_SENSEVOICE_SENSE_VOICE_TEST_UTIL_H_
#define ZOR_ASR_SENSEVOICE_SENSE_VOICE_TEST_UTIL_H_

#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>

// ZOR_TEST_TMP when set (CTest sets it), else /tmp.
inline std::string TestTmpDir() {
  const char* dir = std::getenv("ZOR_TEST_TMP");
  std::string path = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  ::mkdir(path.c_str(), 0755);
  return path;
}

// Writes contents to a file named after the running test and returns its path.
inline std::string WriteTestFile(const std::string& name, const std::string& contents) {
  const std::string path = TestTmpDir() + "/sv_" + name;
  std::ofstream(path, std::ios::binary) << contents;
  return path;
}

#endif  // ZOR_ASR_SENSEVOICE_SENSE_VOICE_TEST_UTIL_H_
