// The map of link records, instantiated once in the library: `Synapse::synapse_links` is public, so
// its operations are part of the library's interface, while the protocol behind them stays inside.
#include "engine/engine_access.h"

namespace mplnet {

template class OrderedMap<SynapseWeight>;

}  // namespace mplnet
