#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// Version of the JSON list and event objects; raised when a field changes meaning or goes.
constexpr int kJsonFormatVersion = 3;

// Every form shows outside text (host names, process names, service texts) as
// EscapeForMessage does: a control byte, a C1 control or a byte that is not UTF-8 as \xNN and a
// backslash as \\, so a name cannot steer the reader's terminal and every row stays one line.

// Aligned columns for a terminal: the seven list columns, the bytes sent and received (in kB,
// MB...), the category, the process and the protocol.
void WriteTextList(const std::vector<CConnectionRecord>& records, std::ostream& out);
// Machine-readable forms of the connection list. CSV: the seven columns, the category word, the
// state number, the process, then the exact bytes sent and received and the protocol ("tcp" or
// "udp"), after the older columns so that scripts reading those by position are unchanged.
// JSON: {"version", "connections": [...]}, each connection as ConnectionJsonFields gives it. This
// output is for scripts; unlike the connection logs it quotes and escapes what needs it.
void WriteCsvList(const std::vector<CConnectionRecord>& records, std::ostream& out);
void WriteJsonList(const std::vector<CConnectionRecord>& records, std::ostream& out);

// The members of one connection's JSON object, without the braces, so that an event can add
// its own members around them. Values that are not known are null.
std::string ConnectionJsonFields(const CConnectionRecord& record);

// "command (pid)", or empty when the owning process is not known.
std::string ListProcessText(const CConnectionRecord& record);

// ISO 8601 local time with its offset from UTC, e.g. "2003-08-22T14:03:07+02:00".
std::string IsoTime(std::time_t time);
// ISO 8601 UTC with milliseconds, e.g. "2003-08-22T12:03:07.250Z": the form log pipelines
// sort and join on without knowing the host's zone.
std::string UtcIsoTime(std::chrono::system_clock::time_point time);

// One CSV field, quoted when it holds a comma, a quote, a line break or edge spaces.
std::string CsvField(std::string_view text);
// One cell of the --list CSV: the text escaped, a single quote put before a leading = + - or @
// (which a spreadsheet would take for a formula), then quoted as CsvField does.
std::string CsvCell(std::string_view text);
// A JSON string literal of the escaped text, so the value a script reads is what the terminal
// would show and always valid UTF-8.
std::string JsonString(std::string_view text);

}  // namespace tarvik
