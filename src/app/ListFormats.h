#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// Machine-readable forms of the connection list: the seven columns, then the category word and
// the state number. This output is for scripts; unlike the connection logs it quotes and
// escapes what needs it.
void WriteCsvList(const std::vector<CConnectionRecord>& records, std::ostream& out);
void WriteJsonList(const std::vector<CConnectionRecord>& records, std::ostream& out);

// One CSV field, quoted when it holds a comma, a quote, a line break or edge spaces.
std::string CsvField(std::string_view text);
// A JSON string literal. Bytes that are not valid UTF-8 are kept as their Latin-1 code points,
// so any host name from the name service still gives valid JSON.
std::string JsonString(std::string_view text);

}  // namespace tarvik
