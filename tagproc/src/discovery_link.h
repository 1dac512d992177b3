// The processor's hold on the discovery library: started with the processor, ended with it.
#pragma once

namespace qm::tag {

// QBInitialize / QBRelease when the build links the discovery library; without it (a build
// that lacks support/discovery) there is nothing to start and both succeed.
int DiscoveryInitialize();
void DiscoveryRelease();

}  // namespace qm::tag
