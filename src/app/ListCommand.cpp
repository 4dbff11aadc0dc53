#include "app/ListCommand.h"

#include <ostream>

#include "acquisition/ConnectionTableWalk.h"
#include "acquisition/MibAgent.h"
#include "acquisition/ServicesDatabase.h"
#include "app/ListFormats.h"

namespace tarvik {

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
        case ListFormat::Text:
            WriteTextList(records, out);
            break;
    }
}

int RunListCommand(CMibAgent& agent, const CServicesDatabase& services, std::ostream& out,
                   std::ostream& err, ListFormat format, const ListFilter& filter) {
    if (!agent.Loaded()) {
        err << "tarvikd: the kernel's connection table cannot be read\n";
        return 1;
    }
    agent.Init();
    ConnectionListing listing = CollectConnections(agent, services);
    WriteConnectionList(ApplyFilter(std::move(listing.records), filter), format, out);
    if (!listing.complete) {
        err << "tarvikd: the connection table could not be read whole\n";
        return 1;
    }
    return 0;
}

}  // namespace tarvik
