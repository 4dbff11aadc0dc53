#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarvik {

// Port -> official service name, read once from a services file ("name port/proto aliases").
// The first entry for a port wins, whatever its protocol.
class CServicesDatabase {
public:
    CServicesDatabase() = default;
    // A file that cannot be read gives an empty database.
    static CServicesDatabase FromFile(const std::filesystem::path& path);
    static CServicesDatabase FromText(std::string_view text);

    // The process-wide database of /etc/services, read on first use.
    static std::shared_ptr<const CServicesDatabase> Shared();

    // The service name of a port (host order), or nullopt.
    std::optional<std::string_view> Lookup(int port) const;
    std::size_t Size() const { return names_.size(); }

private:
    std::unordered_map<int, std::string> names_;
};

}  // namespace tarvik
