#include "app/ListCommand.h"

#include <algorithm>
#include <array>
#include <ostream>

#include "acquisition/ConnectionTableWalk.h"
#include "acquisition/MibAgent.h"
#include "acquisition/ServicesDatabase.h"
#include "app/ListFormats.h"

namespace tarvik {

namespace {

constexpr std::size_t kColumns = static_cast<std::size_t>(Column::Count) + 1;
constexpr std::size_t kColumnGap = 2;
using Cells = std::array<std::string, kColumns>;

Cells HeadingCells() {
    Cells cells;
    for (std::size_t i = 0; i + 1 < kColumns; ++i) {
        cells[i] = ColumnTitle(static_cast<Column>(i));
    }
    cells.back() = "Category";
    return cells;
}

Cells RowCells(const CConnectionRecord& record) {
    Cells cells;
    for (std::size_t i = 0; i + 1 < kColumns; ++i) {
        cells[i] = record.ColumnText(static_cast<Column>(i));
    }
    cells.back() = CategoryWord(record.category);
    return cells;
}

void WriteAligned(const std::vector<Cells>& rows, std::ostream& out) {
    std::array<std::size_t, kColumns> widths{};
    for (const Cells& row : rows) {
        for (std::size_t i = 0; i < kColumns; ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const Cells& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < kColumns; ++i) {
            line += row[i];
            if (i + 1 < kColumns) {
                line.append(widths[i] - row[i].size() + kColumnGap, ' ');
            }
        }
        out << line << '\n';
    }
}

}  // namespace

ConnectionListing CollectConnections(CMibAgent& agent, const CServicesDatabase& services) {
    ConnectionListing listing;
    const WalkEnd end = WalkConnectionTable(
        agent, services,
        [&listing](CConnectionRecord record) { listing.records.push_back(std::move(record)); },
        [](std::string_view) {});
    listing.complete = end == WalkEnd::Complete;
    return listing;
}

void WriteConnectionList(const std::vector<CConnectionRecord>& records, ListFormat format,
                         std::ostream& out) {
    switch (format) {
        case ListFormat::Csv:
            WriteCsvList(records, out);
            break;
        case ListFormat::Json:
            WriteJsonList(records, out);
            break;
        case ListFormat::Text: {
            std::vector<Cells> rows;
            rows.reserve(records.size() + 1);
            rows.push_back(HeadingCells());
            for (const CConnectionRecord& record : records) {
                rows.push_back(RowCells(record));
            }
            WriteAligned(rows, out);
            break;
        }
    }
}

int RunListCommand(CMibAgent& agent, const CServicesDatabase& services, std::ostream& out,
                   std::ostream& err, ListFormat format) {
    if (!agent.Loaded()) {
        err << "tarvikd: the kernel's connection table cannot be read\n";
        return 1;
    }
    agent.Init();
    const ConnectionListing listing = CollectConnections(agent, services);
    WriteConnectionList(listing.records, format, out);
    if (!listing.complete) {
        err << "tarvikd: the connection table could not be read whole\n";
        return 1;
    }
    return 0;
}

}  // namespace tarvik
