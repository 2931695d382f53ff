#pragma once
// The host's IPv4 addresses, one "adapter" per interface name.

#include <string>
#include <vector>

struct LocalAdapter {
    std::string name;
    std::vector<std::string> addresses; // in the order the system lists them
};

// One (interface, address) pair as getifaddrs lists it.
struct InterfaceAddress {
    std::string name;
    std::string address;
};

// Groups pairs by interface name, keeping first appearance order.
std::vector<LocalAdapter> GroupAdapters(const std::vector<InterfaceAddress>& pairs);

// The texts that go under "本地联接:": of each adapter its first address unless
// it is 0.0.0.0, then every further address unchanged.
std::vector<std::string> AddressTreeItems(const std::vector<LocalAdapter>& adapters);

// Lists the IPv4 adapters of this host; false when the system call fails.
bool ListLocalAdapters(std::vector<LocalAdapter>& out);
