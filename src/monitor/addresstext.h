// How a row's text names an address: read the same way by the reachability index, the resolver
// cache and the detail window. Qt-free.
#pragma once

#include <cstdint>
#include <string>

namespace veltrin {

// How a row's text names an address.
enum class AddressKind {
    Dotted,      // a dotted IPv4 address: four parts of 1..3 decimal digits, each 0..255
    NotAddress,  // digits and dots that make no address ("300.1.1.1", "1.2.3.4.5", "1..2.3"), or nothing
    Name,        // anything else: a host name (or web address) for the resolver
};
struct AddressText {
    AddressKind kind = AddressKind::NotAddress;
    std::uint32_t value = 0;  // Dotted: the address in network byte order
};
// Leading zeros are decimal ("127.000.000.010" is 127.0.0.10), so the address pinged and the
// address a reply comes from are the same one whatever way the row writes it.
AddressText ClassifyAddressText(const std::string& text);

}  // namespace veltrin
