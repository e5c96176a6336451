// Writing JSON string literals from arbitrary bytes.
#ifndef ZOR_ASR_TOOLS_JSON_TEXT_H_
#define ZOR_ASR_TOOLS_JSON_TEXT_H_

#include <string>

// `bytes` as a quoted JSON string: quotes, backslashes and control
// characters escaped, and every byte sequence that is not valid UTF-8
// (stray continuation bytes, truncated or overlong sequences, surrogates,
// code points above U+10FFFF) replaced by U+FFFD, so the output is always
// valid JSON whatever the engine or the file system hands over.
std::string JsonQuote(const std::string& bytes);

#endif  // ZOR_ASR_TOOLS_JSON_TEXT_H_
