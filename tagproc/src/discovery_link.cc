// The processor's hold on the discovery library, when the build has one.
#include "discovery_link.h"

#ifdef QM_TAG_WITH_QBAPI
#include "QBAPI.h"
#endif

namespace qm::tag {

#ifdef QM_TAG_WITH_QBAPI
int DiscoveryInitialize() { return QBInitialize(); }
void DiscoveryRelease() { QBRelease(); }
#else
int DiscoveryInitialize() { return 0; }
void DiscoveryRelease() {}
#endif

}  // namespace qm::tag
