// Request variables from the host's parameter text.
#pragma once

#include "executor.h"

namespace qm::intpr {

// Splits "NAME=value|NAME=value|..." in place (separators become zero bytes) and defines $NAME
// for each piece, then $ERROR_TAG_LEVEL as NULL. When the text is not valid UTF-8 it is taken as
// Shift-JIS: a byte of 0x80 or above starts a two-byte character whose second byte is never a
// separator. On failure writes "IntprInitialize() Out of memory !" and returns false.
bool IntprInitialize(PageContext& context, char* params);

}  // namespace qm::intpr
