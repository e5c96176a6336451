// Engine settings from the optional extra_json text of ZOR_ASRInitConfig.
//
// The text is not parsed as JSON: keys are found by plain text search, so a
// key nested in an object, or even inside a string, is found just the same.
// The first occurrence of "key" that is followed (after whitespace) by a
// colon wins. Every helper stops at the terminating NUL, whatever the text
// holds, so cut-off or malformed text is read safely.
#ifndef ZOR_ASR_API_EXTRA_JSON_H_
#define ZOR_ASR_API_EXTRA_JSON_H_

#include <cstdint>
#include <string>

// Pointer to the first character of the value of `key` (after the colon and
// any whitespace), or null when json is null or empty or the key is absent.
// Whitespace is space, tab, line feed and carriage return only.
const char* FindJsonValue(const char* json, const char* key);

// The string value of `key`, or `default_value` when the key is absent or its
// value does not start with a double quote. A backslash makes the next
// character literal (\" gives ", \n gives the letter n); a backslash just
// before the end of the text is kept. A missing closing quote ends the value
// at the end of the text.
std::string GetJsonString(const char* json, const char* key, const std::string& default_value);

// The integer value of `key`, read like strtol in base 10 (leading
// whitespace and a sign allowed, stops at the first non-digit) and truncated
// to 32 bits. A present key whose value is not a number (true, "4") reads as
// 0; `default_value` applies only when the key is absent.
int32_t GetJsonInt(const char* json, const char* key, int32_t default_value);

#endif  // ZOR_ASR_API_EXTRA_JSON_H_
