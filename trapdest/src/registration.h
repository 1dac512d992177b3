// The two printer steps behind the exports: enter this computer into a free trap destination
// slot, or take it out of every slot holding it.
#pragma once

namespace qm::trapdest {

// Both return the exports' codes (see qntrap.h); `printer` is not null.
int SetTrapDestination(const char* printer);
int ResetTrapDestination(const char* printer);

}  // namespace qm::trapdest
