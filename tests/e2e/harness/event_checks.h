#pragma once

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness/dev_server.h"

// Checks of the statistics events a run sent, as the collector stored them.
namespace Zentak::E2e {

using Params = std::vector<std::pair<std::string, std::string>>;

// The parameters every event starts with, in their order on the wire.
const std::vector<std::string>& CommonParamNames();

// The caller's parameters of an event: those after the common ones.
Params CallerParams(const CollectedEvent& event);

std::string Join(const std::vector<std::string>& items, const std::string& separator = ", ");

// "NAME(product)" per event, for failure messages.
std::string Describe(const std::vector<CollectedEvent>& events);

// Whether `wanted` occurs within `names` in this order, others in between.
::testing::AssertionResult InOrder(const std::vector<std::string>& names,
                                   const std::vector<std::string>& wanted);

// Compares the caller's parameters with a pattern, names and order exactly.
// In the pattern's values "<decimal>" stands for any decimal number,
// "<positive>" for one of at least 1, "<nonempty>" for any text but the
// empty one and "<id>" for a web user id of the service; anything else must
// match exactly.
::testing::AssertionResult ParamsMatch(const Params& actual, const Params& pattern);

// The console's "Progress: N %" lines rise strictly and there is at least one.
::testing::AssertionResult ProgressOnlyRises(const std::string& out);

// No event lost or duplicated: following PREVIOUS_UNIQUE_ID from every event
// leads back to the single first event, and each event is the predecessor of
// at most one other. Events tracked on different threads may reach the queue
// in another order than their chain, so arrival need not follow the chain.
::testing::AssertionResult ChainIsComplete(const std::vector<CollectedEvent>& events);

// The events of that name (and, when `product` is given, that PRODUCT_NAME).
std::vector<CollectedEvent> Named(const std::vector<CollectedEvent>& events,
                                  const std::string& name, const std::string& product = {});

// The index of the first such event, -1 when there is none.
int IndexOf(const std::vector<CollectedEvent>& events, const std::string& name,
            const std::string& product = {});

// A parameter's value as a number; fails the test (and gives 0) when it is
// absent or not decimal.
unsigned long long Number(const CollectedEvent& event, const std::string& param);

} // namespace Zentak::E2e
