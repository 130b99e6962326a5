// What the windows draw from the kept history: the list's strips begin with the results of
// earlier runs, and the detail graph's long views with their minutes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/rtttrace.h"

namespace veltrin {

class AddressListModel;
class HistoryStore;

// The newest results of `address` from before `beforems`, oldest first, as a strip holds them
// (round trip in ms, negative: lost).
std::vector<float> EarlierResults(const HistoryStore& store, const std::string& address, std::int64_t beforems);

// The minute rows of `address` over [sincems, untilms), as the graph takes them.
std::vector<RttTrace::Minute> StoredMinutes(const HistoryStore& store, const std::string& address,
                                            std::int64_t sincems, std::int64_t untilms);

// Lets `model`'s strips begin with what the store (asked afresh each time; null: none) kept from
// before now.
void ShowKeptHistory(AddressListModel& model, std::function<HistoryStore*()> store);

}  // namespace veltrin
