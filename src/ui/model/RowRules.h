#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "tracking/ConnectionColumns.h"

namespace tarvik {

// Text colour of a list row.
struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    bool operator==(const Rgb&) const = default;
};

inline constexpr Rgb kListeningColour{80, 80, 80};
inline constexpr Rgb kWellKnownPortColour{230, 10, 10};
inline constexpr Rgb kOtherColour{128, 128, 255};

Rgb RowColour(const CConnectionRecord& record);

// The window's columns: the record's seven, the owning process, the bytes sent and received,
// the rate of both together (bytes a second since the last refresh) and the protocol.
inline constexpr int kProcessColumn = static_cast<int>(Column::Count);
inline constexpr int kSentColumn = kProcessColumn + 1;
inline constexpr int kReceivedColumn = kProcessColumn + 2;
inline constexpr int kRateColumn = kProcessColumn + 3;
inline constexpr int kProtocolColumn = kProcessColumn + 4;
inline constexpr int kListColumns = kProcessColumn + 5;
inline constexpr const char* kProcessTitle = "Process";
inline constexpr const char* kSentTitle = "Sent";
inline constexpr const char* kReceivedTitle = "Received";
inline constexpr const char* kRateTitle = "Rate";
inline constexpr const char* kProtocolTitle = "Protocol";

// "12.3 kB/s".
std::string RateText(std::uint64_t bytesPerSecond);
// The exact number behind a byte cell, for its tooltip: "100,000 bytes"; empty for other
// columns. The rate is the row's, not the record's.
std::string ExactByteText(const CConnectionRecord& record, int column, std::uint64_t rate);

// "command (pid)"; the command alone without a pid, empty when neither is known.
std::string ProcessText(const CConnectionRecord& record);
// Text of list column `column` (0 to kListColumns - 1); the rate column's is empty, since the
// rate belongs to the shown row (RateText).
std::string ListCellText(const CConnectionRecord& record, int column);

// The search of the list: `needle` already lower-cased (ASCII); true when any cell of the row
// contains it, ignoring case. An empty needle matches every row.
std::string LowerAscii(std::string_view text);
bool RowMatches(const CConnectionRecord& record, std::string_view lowerNeedle);

// WCAG 2 relative luminance (0 black to 1 white) and contrast ratio (1 to 21).
double RelativeLuminance(Rgb colour);
double ContrastRatio(Rgb a, Rgb b);
inline constexpr double kMinimumContrast = 4.5;
// `colour` moved towards black on a light background (white on a dark one) just far enough to
// reach `minimum` contrast against `background`; unchanged when it already does.
Rgb Readable(Rgb colour, Rgb background, double minimum = kMinimumContrast);
// The row colours for a theme: each of the three kinds keeps its hue, listening rows are the
// theme's text muted towards the background, and every one reads at kMinimumContrast.
struct RowPalette {
    Rgb listening;
    Rgb wellKnownPort;
    Rgb other;
};
RowPalette ThemedRowPalette(Rgb text, Rgb background);
Rgb RowColour(const CConnectionRecord& record, const RowPalette& palette);

// Sort key: 0 before any heading click; otherwise |key| is the column index plus 1 and the sign
// gives the direction (positive ascending).
int NextSortKey(int sortKey, int clickedColumn);

// Negative when `a` goes first, positive when `b` goes first, 0 when equal. Texts compare as
// unsigned bytes, ports numerically; equal rows fall back to the host names in the key's
// direction (descending for key 0).
int CompareRecords(const CConnectionRecord& a, const CConnectionRecord& b, int sortKey);

// Stored column widths: each width followed by a comma, "100,100,".
std::string FormatColumnWidths(const std::vector<int>& widths);
// Width of column `index` in the stored text when that field is a positive number.
std::optional<int> StoredColumnWidth(std::string_view text, std::size_t index);

// The main window's placement as stored in "Settings"/"MainWndPos".
struct WindowPlacement {
    unsigned flags = 0;  // kRestoreToMaximized when the window was maximised
    unsigned showCommand = 0;
    int minX = 0;
    int minY = 0;
    int maxX = 0;
    int maxY = 0;
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool operator==(const WindowPlacement&) const = default;
};

inline constexpr unsigned kRestoreToMaximized = 2;
inline constexpr unsigned kShowNormal = 1;
inline constexpr unsigned kShowMaximized = 3;

std::string FormatPlacement(const WindowPlacement& placement);
// The placement when exactly ten numbers parse; anything else is ignored.
std::optional<WindowPlacement> ParsePlacement(const std::string& text);

// "Myhost  ": the host name with its first character upper-cased and two spaces.
std::string DocumentTitle(std::string hostName);

}  // namespace tarvik
