#include "app/core/LocalAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <memory>
#include <netinet/in.h>

std::vector<LocalAdapter> GroupAdapters(const std::vector<InterfaceAddress>& pairs) {
    std::vector<LocalAdapter> out;
    for (const auto& p : pairs) {
        LocalAdapter* a = nullptr;
        for (auto& e : out)
            if (e.name == p.name) a = &e;
        if (!a) {
            out.push_back({p.name, {}});
            a = &out.back();
        }
        a->addresses.push_back(p.address);
    }
    return out;
}

std::vector<std::string> AddressTreeItems(const std::vector<LocalAdapter>& adapters) {
    std::vector<std::string> items;
    for (const auto& a : adapters) {
        for (std::size_t i = 0; i < a.addresses.size(); ++i) {
            if (i == 0) {
                in_addr v{};
                // An adapter without an address reports 0.0.0.0 first.
                if (inet_pton(AF_INET, a.addresses[0].c_str(), &v) == 1 && v.s_addr == 0)
                    continue;
            }
            items.push_back(a.addresses[i]);
        }
    }
    return items;
}

bool ListLocalAdapters(std::vector<LocalAdapter>& out) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> guard(list, freeifaddrs);
    std::vector<InterfaceAddress> pairs;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* sin = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) continue;
        pairs.push_back({i->ifa_name ? i->ifa_name : "", text});
    }
    out = GroupAdapters(pairs);
    return true;
}
