// Filter descriptor consistency check.
#include "platform/ks/descriptor_check.h"

#include <set>
#include <sstream>
#include <tuple>
#include <vector>

namespace {

const PCPIN_DESCRIPTOR* PinAt(const PCFILTER_DESCRIPTOR* d, ULONG i) {
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) +
                                                     (SIZE_T)i * d->PinSize);
}

void CheckArrays(const PCFILTER_DESCRIPTOR* d, std::ostringstream& out) {
    if (d->PinCount != 0 && (d->Pins == NULL || d->PinSize < sizeof(PCPIN_DESCRIPTOR))) {
        out << "pins: count " << d->PinCount << " without a pin array of PinSize " << d->PinSize << "\n";
    }
    if (d->NodeCount != 0 && (d->Nodes == NULL || d->NodeSize < sizeof(PCNODE_DESCRIPTOR))) {
        out << "nodes: count " << d->NodeCount << " without a node array of NodeSize " << d->NodeSize << "\n";
    }
    if (d->ConnectionCount != 0 && d->Connections == NULL) {
        out << "connections: count " << d->ConnectionCount << " without an array\n";
    }
    if (d->CategoryCount != 0 && d->Categories == NULL) {
        out << "categories: count " << d->CategoryCount << " without an array\n";
    }
    for (ULONG i = 0; d->Pins != NULL && i < d->PinCount; ++i) {
        const KSPIN_DESCRIPTOR& ks = PinAt(d, i)->KsPinDescriptor;
        if (ks.DataRangesCount != 0 && ks.DataRanges == NULL) {
            out << "pin " << i << ": data range count without ranges\n";
        }
        if (ks.DataFlow != KSPIN_DATAFLOW_IN && ks.DataFlow != KSPIN_DATAFLOW_OUT) {
            out << "pin " << i << ": data flow " << ks.DataFlow << "\n";
        }
    }
}

// One end of a connection: a filter pin with the expected data flow, or a
// node pin (output 0 as source, inputs from 1 as destination).
bool EndValid(const PCFILTER_DESCRIPTOR* d, ULONG node, ULONG pin, bool isSource) {
    if (node == KSFILTER_NODE) {
        if (pin >= d->PinCount || d->Pins == NULL) {
            return false;
        }
        KSPIN_DATAFLOW flow = PinAt(d, pin)->KsPinDescriptor.DataFlow;
        return flow == (isSource ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
    }
    if (node >= d->NodeCount) {
        return false;
    }
    return isSource ? pin == KSNODEPIN_STANDARD_OUT : pin >= KSNODEPIN_STANDARD_IN;
}

bool HasNodeCycle(const PCFILTER_DESCRIPTOR* d) {
    std::vector<std::vector<ULONG>> next(d->NodeCount);
    for (ULONG i = 0; i < d->ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = d->Connections[i];
        if (c.FromNode < d->NodeCount && c.ToNode < d->NodeCount) {
            next[c.FromNode].push_back(c.ToNode);
        }
    }
    std::vector<int> state(d->NodeCount, 0);  // 0 new, 1 on stack, 2 done
    for (ULONG start = 0; start < d->NodeCount; ++start) {
        if (state[start] != 0) {
            continue;
        }
        std::vector<std::pair<ULONG, size_t>> stack{{start, 0}};
        state[start] = 1;
        while (!stack.empty()) {
            auto& [node, edge] = stack.back();
            if (edge == next[node].size()) {
                state[node] = 2;
                stack.pop_back();
                continue;
            }
            ULONG to = next[node][edge++];
            if (state[to] == 1) {
                return true;
            }
            if (state[to] == 0) {
                state[to] = 1;
                stack.push_back({to, 0});
            }
        }
    }
    return false;
}

}  // namespace

std::string KsCheckDescriptor(const PCFILTER_DESCRIPTOR* d) {
    if (d == NULL) {
        return "no descriptor\n";
    }
    std::ostringstream out;
    CheckArrays(d, out);
    std::set<std::tuple<ULONG, ULONG, ULONG, ULONG>> seen;
    for (ULONG i = 0; d->Connections != NULL && i < d->ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = d->Connections[i];
        if (!EndValid(d, c.FromNode, c.FromNodePin, true) || !EndValid(d, c.ToNode, c.ToNodePin, false)) {
            out << "connection " << i << ": (" << (LONG)c.FromNode << ", " << c.FromNodePin << ") -> ("
                << (LONG)c.ToNode << ", " << c.ToNodePin << ") has an invalid end\n";
        }
        if (!seen.insert({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin}).second) {
            out << "connection " << i << " is a duplicate\n";
        }
    }
    if (d->Connections != NULL && HasNodeCycle(d)) {
        out << "the node connections form a cycle\n";
    }
    return out.str();
}
