#include "app/ListCommand.h"

#include <ostream>
#include <system_error>

#include "acquisition/Classification.h"
#include "acquisition/ConnectionRows.h"
#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"
#include "app/ListFormats.h"

namespace tarvik {

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
        case ListFormat::Text:
            WriteTextList(records, out);
            break;
    }
}

int RunListCommand(ITableSource& source, const CServicesDatabase& services, std::ostream& out,
                   std::ostream& err, ListFormat format, CProcessTable* processes,
                   const ListFilter& filter) {
    ConnectionListing listing = CollectConnections(source, services, processes);
    WriteConnectionList(ApplyFilter(std::move(listing.records), filter), format, out);
    if (!listing.complete) {
        const int error = source.LastError();
        err << "tarvikd: the connection table could not be read"
            << (error != 0 ? ": " + std::generic_category().message(error) : std::string()) << '\n';
        return 1;
    }
    return 0;
}

}  // namespace tarvik
