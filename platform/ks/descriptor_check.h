// Consistency check of a port-class filter descriptor, run by tests on
// every filter they build: sizes and counts against the arrays, connection
// ends (pin data flow, node output pin 0, node inputs from 1), no
// duplicate connection and no cycle among the nodes.
#pragma once

#include <string>

#include "ks/ks_types.h"

// Empty when the descriptor is consistent; else one line per problem.
std::string KsCheckDescriptor(const PCFILTER_DESCRIPTOR* descriptor);
