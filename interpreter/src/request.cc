// Turning the host's parameter text into request variables.
#include "request.h"

#include <cstring>
#include <string>

#include "utf8.h"

namespace qm::intpr {

namespace {

bool DefinePiece(PageContext& context, std::string_view piece) {
    const size_t eq = piece.find('=');
    std::string name = "$";
    name.append(piece.substr(0, eq));
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
    return context.variables.Define(name, Value::Text(value)) != nullptr;
}

}  // namespace

bool IntprInitialize(PageContext& context, char* params) {
    bool ok = true;
    if (params) {
        const size_t length = std::strlen(params);
        // Every byte of a UTF-8 character is 0x80 or above, so no part of one is ever taken for
        // a "|": valid UTF-8 text is split byte by byte. Anything else is taken as Shift-JIS,
        // whose second bytes can be "|" (0x7C): there a byte of 0x80 or above starts a two-byte
        // character. Shift-JIS text with such a character is never valid UTF-8 (a lead byte
        // followed by an ASCII byte), so the two readings never disagree on a "|" that matters.
        const bool twoByte = !IsValidUtf8(std::string_view(params, length));
        size_t start = 0;
        for (size_t i = 0; i <= length && ok; ++i) {
            const auto c = static_cast<unsigned char>(params[i]);
            if (twoByte && c >= 0x80 && i + 1 < length) {
                ++i;  // the second byte of a two-byte character is never a separator
                continue;
            }
            if (i == length || c == '|') {
                if (i < length) params[i] = '\0';
                ok = DefinePiece(context, std::string_view(params + start, i - start));
                start = i + 1;
            }
        }
    }
    if (ok) ok = context.variables.Define("$ERROR_TAG_LEVEL") != nullptr;
    if (!ok) context.output.Error({}, "IntprInitialize()", Msg::OutOfMemory);
    return ok;
}

}  // namespace qm::intpr
