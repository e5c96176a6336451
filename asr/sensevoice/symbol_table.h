// The SenseVoice token table: token id -> token text, read from a text file
// of whitespace-separated "token id" pairs.
#ifndef ZOR_ASR_SENSEVOICE_SYMBOL_TABLE_H_
#define ZOR_ASR_SENSEVOICE_SYMBOL_TABLE_H_

#include <string>
#include <unordered_map>

class SymbolTable {
 public:
  // Reads pairs until the end of the file or the first id that is not a
  // number. A leading U+2581 (the word-start mark) is stored as one space.
  // A later pair with the same id replaces the earlier text. loaded is true
  // when at least one pair was read.
  explicit SymbolTable(const std::string& path);

  // The token text, or an empty string for an unknown id. The reference
  // stays valid for the life of the table.
  const std::string& Lookup(int id) const;

  size_t size() const { return tokens_.size(); }

  bool loaded = false;

 private:
  std::unordered_map<int, std::string> tokens_;
};

#endif  // ZOR_ASR_SENSEVOICE_SYMBOL_TABLE_H_
