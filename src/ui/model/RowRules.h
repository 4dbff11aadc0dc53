#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/ConnectionRecord.h"

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
