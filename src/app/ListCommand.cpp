#include "app/ListCommand.h"

#include <algorithm>
#include <array>
#include <ostream>
#include <system_error>

#include "acquisition/Classification.h"
#include "acquisition/ConnectionRows.h"
#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"
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

ConnectionListing CollectConnections(ITableSource& source, const CServicesDatabase& services,
                                     CProcessTable* processes) {
    ConnectionListing listing;
    const auto rows = source.TcpRows();
    if (!rows) {
        return listing;
    }
    listing.records = ClassifiedRecords(*rows, services);
    if (processes != nullptr) {
        processes->Fill(listing.records);
    }
    listing.complete = true;
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

int RunListCommand(ITableSource& source, const CServicesDatabase& services, std::ostream& out,
                   std::ostream& err, ListFormat format, CProcessTable* processes) {
    const ConnectionListing listing = CollectConnections(source, services, processes);
    WriteConnectionList(listing.records, format, out);
    if (!listing.complete) {
        const int error = source.LastError();
        err << "tarvikd: the connection table could not be read"
            << (error != 0 ? ": " + std::generic_category().message(error) : std::string()) << '\n';
        return 1;
    }
    return 0;
}

}  // namespace tarvik
