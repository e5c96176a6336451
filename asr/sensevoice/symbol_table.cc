#include "sensevoice/symbol_table.h"

#include <fstream>

namespace {
constexpr char kWordStart[] = "\xE2\x96\x81";  // U+2581, three bytes in UTF-8
}  // namespace

SymbolTable::SymbolTable(const std::string& path) {
  std::ifstream in(path);
  if (!in) return;
  std::string token;
  int id = 0;
  while (in >> token >> id) {
    if (token.compare(0, 3, kWordStart) == 0) token.replace(0, 3, " ");
    tokens_[id] = std::move(token);
    token.clear();
  }
  loaded = !tokens_.empty();
}

const std::string& SymbolTable::Lookup(int id) const {
  static const std::string kEmpty;
  auto it = tokens_.find(id);
  return it == tokens_.end() ? kEmpty : it->second;
}
